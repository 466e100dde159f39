#include "platform/desktopnotify.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>

#include "platform/diagnostics.h"
#include "platform/notifications.h"

namespace tw::platform {
namespace {

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct ErrorFree {
    void operator()(sd_bus_error* e) const { sd_bus_error_free(e); }
};

}  // namespace

std::optional<uint32_t> showDesktopNotification(const DesktopNotification& n, const std::string& busAddress,
                                                std::chrono::milliseconds timeout) {
    int r = 0;
    auto bus = openBusConnection(busAddress, false, &r);
    if (!bus) {
        reportDiagnostic(DiagnosticLevel::debug, std::string("No session bus (") + std::strerror(-r) +
                                                     "): desktop notification not shown.");
        return std::nullopt;
    }
    sd_bus_message* rawCall = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &rawCall, kNotificationsName, kNotificationsPath,
                                       kNotificationsInterface, "Notify");
    if (r < 0) return std::nullopt;
    std::unique_ptr<sd_bus_message, MessageUnref> call(rawCall);
    // Notify(app_name s, replaces_id u, app_icon s, summary s, body s, actions as, hints a{sv},
    // expire_timeout i) -> id u
    r = sd_bus_message_append(call.get(), "susss", n.appName.c_str(), uint32_t{0}, n.icon.c_str(),
                              n.summary.c_str(), n.body.c_str());
    if (r >= 0) r = sd_bus_message_append_strv(call.get(), nullptr);
    if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_close_container(call.get());
    if (r >= 0) r = sd_bus_message_append(call.get(), "i", static_cast<int32_t>(n.expireTimeout.count()));
    if (r < 0) {
        reportDiagnostic(DiagnosticLevel::warning,
                         std::string("Cannot build a desktop notification: ") + std::strerror(-r));
        return std::nullopt;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::unique_ptr<sd_bus_error, ErrorFree> errorGuard(&error);
    sd_bus_message* rawReply = nullptr;
    uint64_t usec =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    r = sd_bus_call(bus.get(), call.get(), usec, &error, &rawReply);
    std::unique_ptr<sd_bus_message, MessageUnref> reply(rawReply);
    if (r < 0) {
        reportDiagnostic(DiagnosticLevel::debug, std::string("No notification daemon answered: ") +
                                                     (error.message ? error.message : std::strerror(-r)));
        return std::nullopt;
    }
    uint32_t id = 0;
    if (sd_bus_message_read(reply.get(), "u", &id) < 0) return std::nullopt;
    return id;
}

}  // namespace tw::platform
