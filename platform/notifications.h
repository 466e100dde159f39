// Distributed notifications between Tidewell and its file-manager extension, carried as D-Bus signals on
// the session bus at the object, interface and member that platform/overmark.h names, with arguments
// (s name, s object), where an empty object means none. Nothing is answered; a notification nobody listens to
// is simply dropped.
//
// Without a session bus, posting reports one warning per center (see platform/diagnostics.h) and does
// nothing, and observers never fire (`connected()` says so).
//
// Thread-safety: `post` may be called from any thread (one connection, guarded by a mutex). Each
// observer owns its own connection and listener thread; callbacks run on that thread, one at a time.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct sd_bus;

namespace tw::platform {

// Closes a bus connection. Nothing is flushed: posts flush within their own time limit, and a flush
// here could wait without end on a daemon that stopped reading.
struct SdBusUnref {
    void operator()(sd_bus* bus) const;
};

// Opens a new connection to the bus at `address` (a D-Bus address); without one, to the user's session
// bus, or the system bus when `systemBus`. Null, with a negative errno in *rc, on failure.
std::unique_ptr<sd_bus, SdBusUnref> openBusConnection(const std::string& address, bool systemBus, int* rc);

using NotificationCallback = std::function<void(const std::string& name, const std::string& object)>;

// A running observation. Dropping it stops the listener thread (promptly: it does not wait for a
// time-out) and no callback runs after the destructor returns.
class NotificationObserver {
public:
    ~NotificationObserver();
    NotificationObserver(const NotificationObserver&) = delete;
    NotificationObserver& operator=(const NotificationObserver&) = delete;

    // False when no bus could be reached: the observer will never fire.
    bool connected() const { return connected_; }
    // Stops listening now; the destructor then has nothing left to do.
    void cancel();

private:
    friend class DistributedNotificationCenter;
    NotificationObserver() = default;
    void run();

    struct Listener;
    std::unique_ptr<Listener> listener_;
    bool connected_ = false;
    std::thread thread_;
};

class DistributedNotificationCenter {
public:
    // The process-wide center on the user's session bus. Never destroyed.
    static DistributedNotificationCenter& defaultCenter();

    // A center on the bus at `busAddress` (a D-Bus address such as "unix:path=/run/user/1000/bus");
    // an empty address means the session bus of the environment.
    explicit DistributedNotificationCenter(std::string busAddress = "");
    ~DistributedNotificationCenter();
    DistributedNotificationCenter(const DistributedNotificationCenter&) = delete;
    DistributedNotificationCenter& operator=(const DistributedNotificationCenter&) = delete;

    // Sends the notification and flushes it to the bus before returning. False when there is no bus or
    // the signal could not be sent.
    bool post(const std::string& name, const std::string& object = "");

    // Calls `callback` for every notification named `name` (every notification when `name` is empty).
    // Once this returns, notifications posted afterwards are seen. Never null.
    std::unique_ptr<NotificationObserver> observe(const std::string& name, NotificationCallback callback);

private:
    // Opens a new connection to this center's bus; null (with a negative errno in *rc) on failure.
    std::unique_ptr<sd_bus, SdBusUnref> openBus(int* rc) const;

    std::string address_;
    std::mutex postMutex_;  // guards postBus_ and warned_
    std::unique_ptr<sd_bus, SdBusUnref> postBus_;
    bool warned_ = false;
};

// Shorthands for the default center.
inline bool postNotification(const std::string& name, const std::string& object = "") {
    return DistributedNotificationCenter::defaultCenter().post(name, object);
}
inline std::unique_ptr<NotificationObserver> observeNotifications(const std::string& name,
                                                                  NotificationCallback callback) {
    return DistributedNotificationCenter::defaultCenter().observe(name, std::move(callback));
}

}  // namespace tw::platform
