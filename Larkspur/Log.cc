#include "Larkspur/Log.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace gw {
namespace {
std::atomic<int> g_level{static_cast<int>(LogLevel::info)};
const char* levelName(LogLevel l) {
    switch (l) {
        case LogLevel::debug:
            return "DEBUG";
        case LogLevel::info:
            return "INFO";
        case LogLevel::warning:
            return "WARNING";
        case LogLevel::error:
            return "ERROR";
    }
    return "?";
}
}  // namespace

void setLogLevel(LogLevel level) {
    g_level.store(static_cast<int>(level));
}

void logLine(LogLevel level, const char* format, ...) {
    if (static_cast<int>(level) < g_level.load(std::memory_order_relaxed)) return;
    char line[4096];
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    gmtime_r(&tv.tv_sec, &t);
    int n = snprintf(line, sizeof line,
                     "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ gatewarden[%d] %s: ", t.tm_year + 1900,
                     t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                     static_cast<int>(tv.tv_usec / 1000), static_cast<int>(getpid()), levelName(level));
    if (n < 0) return;
    va_list ap;
    va_start(ap, format);
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
    if (len > sizeof line - 2) len = sizeof line - 2;
    line[len++] = '\n';
    ssize_t w = write(STDERR_FILENO, line, len);
    (void)w;
}

}  // namespace gw
