// The system's sleep and wake announcements: logind's signal
// org.freedesktop.login1.Manager.PrepareForSleep(b) on the system bus, true before the machine
// suspends and false after it resumed.
//
// Without a system bus (containers, some CI machines) the observer never fires; that is reported once
// as a debug diagnostic (platform/diagnostics.h), not as an error.
//
// Thread-safety: the callback runs on the observer's own listener thread, one call at a time. Dropping
// the observer stops that thread promptly; no callback runs after the destructor returns.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tw::platform {

inline constexpr const char* kLogindName = "org.freedesktop.login1";
inline constexpr const char* kLogindPath = "/org/freedesktop/login1";
inline constexpr const char* kLogindManagerInterface = "org.freedesktop.login1.Manager";
inline constexpr const char* kPrepareForSleepMember = "PrepareForSleep";

class SleepWakeObserver {
public:
    // `goingToSleep` is true before the machine sleeps, false after it woke.
    using Callback = std::function<void(bool goingToSleep)>;

    // Listens on the system bus, or on the bus at `busAddress` when given (tests use a private bus on
    // which they own the logind name). Never null; see `connected()`.
    static std::unique_ptr<SleepWakeObserver> start(Callback callback, const std::string& busAddress = "");

    ~SleepWakeObserver();
    SleepWakeObserver(const SleepWakeObserver&) = delete;
    SleepWakeObserver& operator=(const SleepWakeObserver&) = delete;

    // False when no bus could be reached or the match was refused: the callback will never run.
    bool connected() const;

private:
    SleepWakeObserver();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tw::platform
