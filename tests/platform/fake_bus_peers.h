// Test support: peers on the test's private session bus that stand in for system services — logind
// announcing sleep and wake, and a desktop notification daemon. Test processes run side by side, and on
// one shared bus another test's logind would reach this one's observers; so the bus is the process's own
// (PrivateSessionBus), or the environment's when dbus-daemon cannot be started. `sessionBusAddress()` is
// empty without either, and tests then skip.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/private_bus.h"

namespace tw::test {

inline std::string sessionBusAddress() {
    PrivateSessionBus::start();
    const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return a ? a : "";
}

struct BusCloser {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

// A connection to the session bus that owns `name`; null when there is no bus or the name is taken.
inline BusPtr busOwning(const std::string& name) {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) return nullptr;
    BusPtr bus(raw);
    if (sd_bus_request_name(raw, name.c_str(), 0) < 0) return nullptr;
    return bus;
}

// Plays logind: owns its name and emits PrepareForSleep(b) from its manager object.
class FakeLogind {
public:
    bool start() {
        bus_ = busOwning("org.freedesktop.login1");
        return bus_ != nullptr;
    }
    bool prepareForSleep(bool sleeping) {
        int r = sd_bus_emit_signal(bus_.get(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                   "PrepareForSleep", "b", static_cast<int>(sleeping));
        return r >= 0 && sd_bus_flush(bus_.get()) >= 0;
    }

private:
    BusPtr bus_;
};

// Plays the notification daemon: answers Notify with increasing ids and keeps what it was asked.
class FakeNotificationDaemon {
public:
    struct Call {
        std::string appName, icon, summary, body;
        int32_t expireTimeout = 0;
    };

    ~FakeNotificationDaemon() { stop(); }

    bool start() {
        bus_ = busOwning("org.freedesktop.Notifications");
        if (!bus_) return false;
        sd_bus_slot* slot = nullptr;
        if (sd_bus_add_object(bus_.get(), &slot, "/org/freedesktop/Notifications",
                              &FakeNotificationDaemon::onCall, this) < 0)
            return false;
        slot_ = slot;
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void stop() {
        if (thread_.joinable()) {
            stop_ = true;
            uint64_t one = 1;
            ssize_t ignored = ::write(stopFd_, &one, sizeof one);
            (void)ignored;
            thread_.join();
        }
        if (slot_) slot_ = sd_bus_slot_unref(slot_);
        if (stopFd_ >= 0) ::close(stopFd_);
        stopFd_ = -1;
        bus_.reset();
    }
    std::vector<Call> calls() {
        std::lock_guard l(mutex_);
        return calls_;
    }
    // Waits until `n` calls arrived or `timeoutMs` passed.
    bool waitForCalls(size_t n, int timeoutMs = 10000) {
        std::unique_lock l(mutex_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return calls_.size() >= n; });
    }

private:
    static int onCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeNotificationDaemon*>(userdata);
        if (!sd_bus_message_is_method_call(m, "org.freedesktop.Notifications", "Notify")) return 0;
        const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
        uint32_t replaces = 0;
        if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0) return 0;
        sd_bus_message_skip(m, "asa{sv}");
        int32_t timeout = 0;
        sd_bus_message_read(m, "i", &timeout);
        uint32_t id;
        {
            std::lock_guard l(self->mutex_);
            self->calls_.push_back({app, icon, summary, body, timeout});
            id = static_cast<uint32_t>(self->calls_.size());
        }
        self->cv_.notify_all();
        return sd_bus_reply_method_return(m, "u", id);
    }
    void run() {
        while (!stop_) {
            int r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0) return;
            if (r > 0) continue;
            pollfd fds[2] = {
                {sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0},
                {stopFd_, POLLIN, 0}};
            ::poll(fds, 2, 200);
        }
    }

    BusPtr bus_;
    sd_bus_slot* slot_ = nullptr;
    int stopFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

}  // namespace tw::test
