// gatewarden's logger: one line per message on standard error (the journal when run as a user service),
// with a UTC time, the level and the text. Lines are written with one write(2) so threads never
// interleave within a line.
//
// Thread-safety: any thread.
#pragma once

namespace gw {

enum class LogLevel { debug = 0, info = 1, warning = 2, error = 3 };

void setLogLevel(LogLevel level);
void logLine(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace gw

#define GW_DEBUG(...) ::gw::logLine(::gw::LogLevel::debug, __VA_ARGS__)
#define GW_INFO(...) ::gw::logLine(::gw::LogLevel::info, __VA_ARGS__)
#define GW_WARN(...) ::gw::logLine(::gw::LogLevel::warning, __VA_ARGS__)
#define GW_ERROR(...) ::gw::logLine(::gw::LogLevel::error, __VA_ARGS__)
