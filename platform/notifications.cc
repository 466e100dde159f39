#include "platform/notifications.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/diagnostics.h"
#include "platform/overmark.h"

namespace tw::platform {

namespace {

// Whether `value` can go into a match rule as is. Quote escaping differs between the bus daemon and
// sd-bus's own parser, so names with quotes or backslashes are filtered by the handler instead.
bool plainMatchValue(const std::string& value) {
    return value.find('\'') == std::string::npos && value.find('\\') == std::string::npos;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

struct SlotDeleter {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

uint64_t monotonicMicroseconds() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// How long a post may wait for the bus to take its signal. sd_bus_flush would wait for ever on a bus
// daemon that stopped reading.
constexpr int kPostFlushTimeoutMs = 2000;
// How long observe() waits for the daemon to accept its match rule.
constexpr uint64_t kObserveTimeoutUs = 5'000'000;

// Writes out what is queued on `bus`, waiting at most `timeoutMs`. Also reads and drops whatever the
// daemon sent this connection, so its incoming buffer cannot fill up. Negative errno on failure,
// -ETIMEDOUT when the daemon did not take the data in time.
int flushWithin(sd_bus* bus, int timeoutMs) {
    uint64_t deadline = monotonicMicroseconds() + static_cast<uint64_t>(timeoutMs) * 1000u;
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) return r;
        if (r > 0) continue;
        int events = sd_bus_get_events(bus);
        if (events < 0) return events;
        // Until the connection has authenticated and said hello, sent messages wait in the queue
        // without asking for POLLOUT, so "nothing to write" only counts on a ready connection.
        if (sd_bus_is_ready(bus) > 0 && !(events & POLLOUT)) return 0;
        uint64_t now = monotonicMicroseconds();
        if (now >= deadline) return -ETIMEDOUT;
        struct pollfd pfd = {sd_bus_get_fd(bus), static_cast<short>(events), 0};
        int wait = static_cast<int>((deadline - now + 999) / 1000);
        if (::poll(&pfd, 1, wait) < 0 && errno != EINTR) return -errno;
    }
}

}  // namespace

void SdBusUnref::operator()(sd_bus* bus) const {
    sd_bus_close_unref(bus);
}

struct NotificationObserver::Listener {
    std::unique_ptr<sd_bus, SdBusUnref> bus;
    std::unique_ptr<sd_bus_slot, SlotDeleter> slot;  // dropped before `bus`
    Fd stopFd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::atomic<bool> stop{false};
    std::string name;
    NotificationCallback callback;

    ~Listener() { slot.reset(); }

    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Listener*>(userdata);
        const char* name = nullptr;
        const char* object = nullptr;
        if (sd_bus_message_read(m, overmark::kNotificationSignature, &name, &object) < 0 || !name || !object)
            return 0;
        if (!self->name.empty() && self->name != name) return 0;
        if (self->stop.load()) return 0;
        self->callback(name, object);
        return 0;
    }
};

NotificationObserver::~NotificationObserver() {
    cancel();
}

void NotificationObserver::cancel() {
    if (!listener_) return;
    listener_->stop = true;
    uint64_t one = 1;
    ssize_t ignored = ::write(listener_->stopFd.fd, &one, sizeof one);
    (void)ignored;
    if (thread_.joinable()) thread_.join();
    listener_.reset();
}

void NotificationObserver::run() {
    Listener& l = *listener_;
    sd_bus* bus = l.bus.get();
    while (!l.stop.load()) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            reportDiagnostic(DiagnosticLevel::warning,
                             std::string("Notification listener lost its bus: ") + std::strerror(-r));
            return;
        }
        if (r > 0) continue;  // more may be queued already

        struct pollfd fds[2] = {};
        fds[0].fd = sd_bus_get_fd(bus);
        int events = sd_bus_get_events(bus);
        fds[0].events = static_cast<short>(events > 0 ? events : POLLIN);
        fds[1].fd = l.stopFd.fd;
        fds[1].events = POLLIN;
        // The bus may ask to be processed again at a deadline; poll no longer than that (and never
        // more than a second, so a lost wake-up cannot hold the thread for ever).
        int timeoutMs = 1000;
        uint64_t until = 0;
        if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
            uint64_t now = monotonicMicroseconds();
            uint64_t ms = until > now ? (until - now + 999) / 1000 : 0;
            if (ms < static_cast<uint64_t>(timeoutMs)) timeoutMs = static_cast<int>(ms);
        }
        int pr = ::poll(fds, 2, timeoutMs);
        if (pr < 0 && errno != EINTR) {
            reportDiagnostic(DiagnosticLevel::warning,
                             std::string("Notification listener cannot wait: ") + std::strerror(errno));
            return;
        }
    }
}

DistributedNotificationCenter& DistributedNotificationCenter::defaultCenter() {
    // Never destroyed: posts may come from threads still running during exit.
    static DistributedNotificationCenter* center = new DistributedNotificationCenter();
    return *center;
}

DistributedNotificationCenter::DistributedNotificationCenter(std::string busAddress)
    : address_(std::move(busAddress)) {}

DistributedNotificationCenter::~DistributedNotificationCenter() = default;

std::unique_ptr<sd_bus, SdBusUnref> openBusConnection(const std::string& address, bool systemBus, int* rc) {
    sd_bus* raw = nullptr;
    int r = 0;
    if (address.empty()) {
        r = systemBus ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
    } else {
        r = sd_bus_new(&raw);
        std::unique_ptr<sd_bus, SdBusUnref> guard(raw);
        if (r >= 0) r = sd_bus_set_address(raw, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
        if (r >= 0) r = sd_bus_start(raw);
        if (r >= 0)
            guard.release();
        else
            raw = nullptr;
    }
    *rc = r;
    if (r < 0) return nullptr;
    return std::unique_ptr<sd_bus, SdBusUnref>(raw);
}

std::unique_ptr<sd_bus, SdBusUnref> DistributedNotificationCenter::openBus(int* rc) const {
    return openBusConnection(address_, false, rc);
}

bool DistributedNotificationCenter::post(const std::string& name, const std::string& object) {
    std::lock_guard<std::mutex> lock(postMutex_);
    // A connection that broke (bus restarted) is replaced once per post.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int r = 0;
        if (!postBus_) {
            postBus_ = openBus(&r);
            if (!postBus_) {
                if (!warned_) {
                    warned_ = true;
                    reportDiagnostic(DiagnosticLevel::warning, std::string("No D-Bus session bus (") +
                                                                   std::strerror(-r) +
                                                                   "): distributed notifications such as " +
                                                                   name + " are not delivered.");
                }
                return false;
            }
        }
        r = sd_bus_emit_signal(postBus_.get(), overmark::kNotificationObjectPath,
                               overmark::kNotificationInterface, overmark::kNotificationMember,
                               overmark::kNotificationSignature, name.c_str(), object.c_str());
        if (r >= 0) r = flushWithin(postBus_.get(), kPostFlushTimeoutMs);
        if (r >= 0) return true;
        postBus_.reset();
        // A broken connection is worth one new try; a daemon that does not read is not.
        if (attempt == 1 || r == -ETIMEDOUT) {
            reportDiagnostic(DiagnosticLevel::warning,
                             "Could not post notification " + name + ": " + std::strerror(-r));
            return false;
        }
    }
    return false;
}

std::unique_ptr<NotificationObserver> DistributedNotificationCenter::observe(const std::string& name,
                                                                             NotificationCallback callback) {
    std::unique_ptr<NotificationObserver> observer(new NotificationObserver());
    auto listener = std::make_unique<NotificationObserver::Listener>();
    listener->name = name;
    listener->callback = std::move(callback);
    if (listener->stopFd.fd < 0) return observer;

    int r = 0;
    listener->bus = openBus(&r);
    if (!listener->bus) return observer;

    // Adding the match waits for the daemon's answer; do not let a stuck daemon hold the caller long.
    sd_bus_set_method_call_timeout(listener->bus.get(), kObserveTimeoutUs);
    std::string rule = std::string("type='signal',path='") + overmark::kNotificationObjectPath +
                       "',interface='" + overmark::kNotificationInterface + "',member='" +
                       overmark::kNotificationMember + "'";
    if (!name.empty() && plainMatchValue(name)) rule += ",arg0='" + name + "'";
    sd_bus_slot* slot = nullptr;
    // Synchronous: when it returns, the bus daemon routes matching signals to this connection.
    r = sd_bus_add_match(listener->bus.get(), &slot, rule.c_str(), &NotificationObserver::Listener::onSignal,
                         listener.get());
    if (r < 0) {
        reportDiagnostic(DiagnosticLevel::warning,
                         std::string("Cannot observe notifications: ") + std::strerror(-r));
        return observer;
    }
    listener->slot.reset(slot);
    observer->listener_ = std::move(listener);
    observer->connected_ = true;
    observer->thread_ = std::thread([raw = observer.get()] { raw->run(); });
    return observer;
}

}  // namespace tw::platform
