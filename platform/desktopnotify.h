// Desktop notifications (the bubbles a desktop shows), sent to the notification daemon with
// org.freedesktop.Notifications.Notify on the user's session bus.
//
// Without a session bus, or when no notification daemon answers (a headless machine), nothing is shown
// and the call says so by returning none; callers that must reach the user log as well.
//
// Thread-safety: may be called from any thread; each call uses its own short-lived connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tw::platform {

inline constexpr const char* kNotificationsName = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kNotificationsInterface = "org.freedesktop.Notifications";

struct DesktopNotification {
    std::string appName = "Tidewell";
    std::string icon;     // icon name or file URI; "" for the daemon's default
    std::string summary;  // the one-line title
    std::string body;     // the text below it
    // How long it stays up; negative: the daemon decides.
    std::chrono::milliseconds expireTimeout{-1};
};

// Shows `notification`; returns the id the daemon gave it, or none when no daemon took it. Waits at
// most `timeout` for the daemon's answer. `busAddress` names a bus other than the session bus (tests).
std::optional<uint32_t> showDesktopNotification(const DesktopNotification& notification,
                                                const std::string& busAddress = "",
                                                std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace tw::platform
