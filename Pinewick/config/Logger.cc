#include "Pinewick/config/Logger.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/diagnostics.h"
#include "platform/fd.h"
#include "platform/paths.h"
#include "platform/places.h"

namespace tw {

std::optional<Logger::logLevels> Logger::levelFromRaw(int raw) {
    if (raw < 0 || raw > 5) return std::nullopt;
    return static_cast<logLevels>(raw);
}

Logger& Logger::sharedInstance() {
    static Logger* shared = [] {
        auto* logger = new Logger(platform::stateHome() + "/Meridot", logLevels::warning);
        // A developer's or a support person's switch for one run: the shipped threshold stays warning.
        if (const char* wanted = std::getenv("TIDEWELL_LOG_LEVEL"))
            if (auto level = levelFromRaw(std::atoi(wanted))) logger->setLogLevel(*level);
        // The platform layers sit below the logger; their reports come here once it exists.
        platform::setDiagnosticSink([logger](platform::DiagnosticLevel level, const std::string& message) {
            switch (level) {
                case platform::DiagnosticLevel::fatal:
                    logger->logFatal(message);
                    break;
                case platform::DiagnosticLevel::warning:
                    logger->logWarning(message);
                    break;
                case platform::DiagnosticLevel::debug:
                    logger->logDebug(message);
                    break;
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
    fd_.reset(::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd_) reportNoFile("cannot open", errno);
}

Logger::~Logger() {
    flush();
}

void Logger::reportNoFile(const char* what, int err) {
    // The file is where every other failure is told, so this one goes to standard error (and standard
    // output, where the lines now go) in the log's own form.
    std::string line = logTimestamp() + "   Fatal: The log " + what + " " + logPath_ + ": " +
                       std::strerror(err) + "; lines go to standard output only\n";
    platform::writeAll(STDERR_FILENO, line);
    if (echoStdout_) platform::writeAll(STDOUT_FILENO, line);
}

void Logger::flush() {
    logQueue_->sync([] {});
}

void Logger::logAudit(const std::string& message) {
    if (!enabled(logLevels::audit)) return;
    log("  Audit", message);
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
    // Stamped when the caller logs, not when the queue gets to it.
    logQueue_->async(
        [this, tag, stamp = logTimestamp(), m = std::move(message)] { writeLine(stamp, tag, m); });
}

void Logger::writeLine(const std::string& stamp, const char* tag, const std::string& message) {
    ++logLineCount_;
    std::string line;
    line.reserve(stamp.size() + 1 + std::strlen(tag) + 2 + message.size() + 1);
    line.append(stamp).append(" ").append(tag).append(": ").append(message).push_back('\n');
    if (fd_) platform::writeAll(fd_.get(), line);  // the log never fails its caller
    if (echoStdout_) platform::writeAll(STDOUT_FILENO, line);
    // Rotating right here, rather than queueing the rotation behind lines already waiting, makes the
    // boundary exact: the next line written is the first line of the new file.
    if (logLineCount_ % rotateEvery_ == 0) rotateLogs();
}

void Logger::rotateLogs() {
    fd_.reset();
    std::string base = logPath_.substr(0, logPath_.size() - 4);  // without ".log"
    auto gen = [&](int n) { return base + "-" + std::to_string(n) + ".log"; };
    ::unlink(gen(5).c_str());
    for (int n = 4; n >= 1; --n) ::rename(gen(n).c_str(), gen(n + 1).c_str());
    ::rename(logPath_.c_str(), gen(1).c_str());
    fd_.reset(::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (!fd_) reportNoFile("cannot reopen", errno);
}

std::string prettyLog(const std::string& message, const std::string& filename,
                      const std::string& functionName) {
    return platform::lastPathComponent(filename) + " " + functionName + " " + message;
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
