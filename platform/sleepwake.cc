#include "platform/sleepwake.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/diagnostics.h"
#include "platform/fd.h"
#include "platform/notifications.h"

namespace tw::platform {
namespace {

struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

// How long adding the match may wait for the bus daemon.
constexpr uint64_t kMatchTimeoutUs = 5'000'000;

}  // namespace

struct SleepWakeObserver::Impl {
    Callback callback;
    std::unique_ptr<sd_bus, SdBusUnref> bus;
    std::unique_ptr<sd_bus_slot, SlotUnref> slot;  // dropped before `bus`
    UniqueFd stopFd;
    std::atomic<bool> stop{false};
    bool connected = false;
    std::thread thread;

    ~Impl() {
        stop = true;
        if (stopFd.valid()) {
            uint64_t one = 1;
            ssize_t ignored = ::write(stopFd.get(), &one, sizeof one);
            (void)ignored;
        }
        if (thread.joinable()) thread.join();
        slot.reset();
    }

    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        int sleeping = 0;
        if (sd_bus_message_read(m, "b", &sleeping) < 0) return 0;
        if (self->stop.load()) return 0;
        self->callback(sleeping != 0);
        return 0;
    }

    void run() {
        sd_bus* b = bus.get();
        while (!stop.load()) {
            int r = sd_bus_process(b, nullptr);
            if (r < 0) {
                reportDiagnostic(DiagnosticLevel::warning,
                                 std::string("Sleep and wake listener lost its bus: ") + std::strerror(-r));
                return;
            }
            if (r > 0) continue;
            struct pollfd fds[2] = {};
            fds[0].fd = sd_bus_get_fd(b);
            int events = sd_bus_get_events(b);
            fds[0].events = static_cast<short>(events > 0 ? events : POLLIN);
            fds[1].fd = stopFd.get();
            fds[1].events = POLLIN;
            // A second at most, so a wake-up the bus asked for by deadline is never missed for long.
            if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
                reportDiagnostic(DiagnosticLevel::warning,
                                 std::string("Sleep and wake listener cannot wait: ") + std::strerror(errno));
                return;
            }
        }
    }
};

SleepWakeObserver::SleepWakeObserver() : impl_(std::make_unique<Impl>()) {}
SleepWakeObserver::~SleepWakeObserver() = default;
bool SleepWakeObserver::connected() const {
    return impl_->connected;
}

std::unique_ptr<SleepWakeObserver> SleepWakeObserver::start(Callback callback,
                                                            const std::string& busAddress) {
    std::unique_ptr<SleepWakeObserver> observer(new SleepWakeObserver());
    Impl& impl = *observer->impl_;
    impl.callback = std::move(callback);
    impl.stopFd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl.stopFd.valid()) {
        reportDiagnostic(DiagnosticLevel::warning,
                         std::string("Sleep and wake listener: eventfd: ") + std::strerror(errno));
        return observer;
    }

    int r = 0;
    auto bus = openBusConnection(busAddress, true, &r);
    sd_bus* raw = bus.get();
    if (r < 0 || !raw) {
        reportDiagnostic(DiagnosticLevel::debug, std::string("No system bus (") + std::strerror(-r) +
                                                     "): sleep and wake are not observed.");
        return observer;
    }
    impl.bus = std::move(bus);
    sd_bus_set_method_call_timeout(raw, kMatchTimeoutUs);
    std::string rule = std::string("type='signal',sender='") + kLogindName + "',path='" + kLogindPath +
                       "',interface='" + kLogindManagerInterface + "',member='" + kPrepareForSleepMember +
                       "'";
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_match(raw, &slot, rule.c_str(), &Impl::onSignal, &impl);
    if (r < 0) {
        reportDiagnostic(DiagnosticLevel::debug,
                         std::string("Cannot observe sleep and wake: ") + std::strerror(-r));
        return observer;
    }
    impl.slot.reset(slot);
    impl.connected = true;
    impl.thread = std::thread([&impl] { impl.run(); });
    return observer;
}

}  // namespace tw::platform
