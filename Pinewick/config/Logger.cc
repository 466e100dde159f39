#include "Pinewick/config/Logger.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/diagnostics.h"
#include "platform/fd.h"
#include "platform/places.h"

namespace tw {

std::optional<Logger::logLevels> Logger::levelFromRaw(int raw) {
    if (raw < 0 || raw > 5) return std::nullopt;
    return static_cast<logLevels>(raw);
}

Logger& Logger::sharedInstance() {
    static Logger* shared = [] {
        auto* logger = new Logger(platform::stateHome() + "/Meridot", logLevels::warning);
        // The platform layers sit below the logger; their reports come here once it exists.
        platform::setDiagnosticSink([logger](platform::DiagnosticLevel level, const std::string& message) {
            switch (level) {
                case platform::DiagnosticLevel::fatal: logger->logFatal(message); break;
                case platform::DiagnosticLevel::warning: logger->logWarning(message); break;
                case platform::DiagnosticLevel::debug: logger->logDebug(message); break;
            }
        });
        return logger;
    }();
    return *shared;
}

Logger::Logger(std::string folder, logLevels level, int64_t rotateEvery, bool echoStdout)
    : logQueue_(platform::DispatchQueue::serial("com.meridot.tidewell.AuditLog")),
      logLevel_(level),
      rotateEvery_(rotateEvery > 0 ? rotateEvery : kRotateEvery),
      echoStdout_(echoStdout) {
    platform::makeFolders(folder);  // failure leaves the log on standard output only
    logPath_ = folder + "/Tidewell.log";
    // Appending across runs: earlier content stays until the next rotation.
    fd_ = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

Logger::~Logger() {
    flush();
    if (fd_ >= 0) ::close(fd_);
}

void Logger::flush() {
    logQueue_->sync([] {});
}

void Logger::logAudit(const std::string& message) {
    if (!enabled(logLevels::audit)) return;
    log("  Audit", logTimestamp() + " " + message);
}
void Logger::logFatal(const std::string& message) {
    if (!enabled(logLevels::fatal)) return;
    log("  Fatal", message);
}
void Logger::logWarning(const std::string& message) {
    if (!enabled(logLevels::warning)) return;
    log("Warning", message);
}
void Logger::logDebug(const std::string& message) {
    if (!enabled(logLevels::debug)) return;
    log("**DEBUG", message);
}
void Logger::logFunction(const std::string& message) {
    if (!enabled(logLevels::function)) return;
    log("", message);
}

void Logger::log(const char* tag, std::string message) {
    logQueue_->async([this, tag, m = std::move(message)] { writeLine(tag, m); });
}


void Logger::writeLine(const char* tag, const std::string& message) {
    ++logLineCount_;
    std::string line;
    line.reserve(std::strlen(tag) + 2 + message.size() + 1);
    line.append(tag).append(": ").append(message).push_back('\n');
    if (fd_ >= 0) platform::writeAll(fd_, line);  // the log never fails its caller
    if (echoStdout_) platform::writeAll(STDOUT_FILENO, line);
    // Rotating right here, rather than queueing the rotation behind lines already waiting, makes the
    // boundary exact: the next line written is the first line of the new file.
    if (logLineCount_ % rotateEvery_ == 0) rotateLogs();
}

void Logger::rotateLogs() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    std::string base = logPath_.substr(0, logPath_.size() - 4);  // without ".log"
    auto gen = [&](int n) { return base + "-" + std::to_string(n) + ".log"; };
    ::unlink(gen(5).c_str());
    for (int n = 4; n >= 1; --n) ::rename(gen(n).c_str(), gen(n + 1).c_str());
    ::rename(logPath_.c_str(), gen(1).c_str());
    fd_ = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

std::string prettyLog(const std::string& message, const std::string& filename, const std::string& functionName) {
    auto slash = filename.find_last_of('/');
    std::string last = slash == std::string::npos ? filename : filename.substr(slash + 1);
    return last + " " + functionName + " " + message;
}

std::string logTimestamp() {
    time_t now = time(nullptr);
    struct tm tmv;
    gmtime_r(&now, &tmv);
    char buf[40];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tmv);
    return buf;
}

}  // namespace tw
