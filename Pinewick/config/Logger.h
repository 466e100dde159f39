// The application's single text log. Lines go to Tidewell.log under the user's state folder and, in the
// same form, to standard output. The file rotates after every `rotateEvery` lines written by this
// process, keeping five older generations (Tidewell-1.log is the newest of them).
//
// Every line has one form: the time it was logged ("2026-12-07 10:00:00 +0000", UTC), a space, the
// level's tag, ": ", the message and a line feed.
//
// Thread-safety: the level operations may be called from any thread; they never wait for the write.
// Writes and rotation run on one serial queue, so lines never interleave and keep their queueing order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/fd.h"

namespace tw {

class Logger {
public:
    enum class logLevels : int { off = 0, audit = 1, fatal = 2, warning = 3, debug = 4, function = 5 };
    static std::optional<logLevels> levelFromRaw(int raw);

    static constexpr int64_t kRotateEvery = 100000;

    // The process-wide logger: folder $XDG_STATE_HOME/Meridot, threshold `warning`. Never destroyed.
    static Logger& sharedInstance();

    // A logger writing `folder`/Tidewell.log (tests use their own folder and threshold).
    Logger(std::string folder, logLevels level, int64_t rotateEvery = kRotateEvery, bool echoStdout = true);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void logAudit(const std::string& message);
    void logFatal(const std::string& message);
    void logWarning(const std::string& message);
    void logDebug(const std::string& message);
    void logFunction(const std::string& message);

    // Whether a level operation would write anything (lets callers skip building costly messages).
    bool enabled(logLevels level) const {
        return static_cast<int>(level) <= static_cast<int>(logLevel_.load());
    }
    void setLogLevel(logLevels level) { logLevel_ = level; }
    logLevels logLevel() const { return logLevel_; }
    const std::string& logPath() const { return logPath_; }
    // Waits until every line queued so far has been written (tests, shutdown).
    void flush();

private:
    void log(const char* tag, std::string message);
    void writeLine(const std::string& stamp, const char* tag, const std::string& message);
    void rotateLogs();
    // Says, outside the file, that the file could not be opened.
    void reportNoFile(const char* what, int err);

    std::shared_ptr<platform::DispatchQueue> logQueue_;
    platform::UniqueFd fd_;     // current log file, invalid when it could not be opened; logQueue_ only
    int64_t logLineCount_ = 0;  // lines written by this process; logQueue_ only
    std::string logPath_;       // full path of the current log file
    std::atomic<logLevels> logLevel_;
    int64_t rotateEvery_;
    bool echoStdout_;
};

// The text of a function-trace line: last path component of `filename`, a space, `functionName`, a
// space, `message`.
std::string prettyLog(const std::string& message, const std::string& filename,
                      const std::string& functionName);

// The current time as the log writes it: "2026-12-07 10:00:00 +0000".
std::string logTimestamp();

}  // namespace tw

// Function-trace lines (prettyLog) for the enclosing function, `fn`: entry and exit, or any text. The
// text is only built when the log takes function traces, so a trace costs nothing otherwise.
#define TW_TRACE(text, fn)                                                                     \
    do {                                                                                       \
        if (::tw::Logger::sharedInstance().enabled(::tw::Logger::logLevels::function))         \
            ::tw::Logger::sharedInstance().logFunction(::tw::prettyLog((text), __FILE__, fn)); \
    } while (0)
#define TW_TRACE_IN(fn) TW_TRACE("->", fn)
#define TW_TRACE_OUT(fn) TW_TRACE("<-", fn)
