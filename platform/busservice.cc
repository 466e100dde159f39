#include "platform/busservice.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/fd.h"
#include "platform/notifications.h"

namespace tw::platform {

struct BusService::State {
    ControlHandler control;
    ScriptingHandler scripting;
    std::unique_ptr<sd_bus, SdBusUnref> bus;
    sd_bus_slot* controlSlot = nullptr;
    sd_bus_slot* scriptingSlot = nullptr;
    UniqueFd stop{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::string name;

    ~State() {
        if (controlSlot) sd_bus_slot_unref(controlSlot);
        if (scriptingSlot) sd_bus_slot_unref(scriptingSlot);
    }

    static int onCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<State*>(userdata);
        char** strv = nullptr;
        int r = sd_bus_message_read_strv(m, &strv);
        if (r < 0) return r;
        std::vector<std::string> args;
        for (char** p = strv; p && *p; ++p) {
            args.emplace_back(*p);
            free(*p);
        }
        free(strv);
        CommandReply reply = self->control ? self->control(args) : CommandReply{false, "not served"};
        return sd_bus_reply_method_return(m, "bs", reply.ok ? 1 : 0, reply.text.c_str());
    }

    static int onCommand(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<State*>(userdata);
        const char* command = nullptr;
        int r = sd_bus_message_read(m, "s", &command);
        if (r < 0) return r;
        bool answer = self->scripting ? self->scripting(command ? command : "") : false;
        return sd_bus_reply_method_return(m, "b", answer ? 1 : 0);
    }

    void run() {
        for (;;) {
            int r;
            do {
                r = sd_bus_process(bus.get(), nullptr);
            } while (r > 0);
            if (r < 0 && r != -EINTR) return;  // the bus went away
            pollfd fds[2] = {{sd_bus_get_fd(bus.get()), static_cast<short>(sd_bus_get_events(bus.get())), 0},
                             {stop.get(), POLLIN, 0}};
            uint64_t usec = 0;
            int timeout = -1;
            if (sd_bus_get_timeout(bus.get(), &usec) > 0 && usec != UINT64_MAX) {
                struct timespec ts;
                clock_gettime(CLOCK_MONOTONIC, &ts);
                uint64_t now =
                    static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
                timeout = usec > now ? static_cast<int>((usec - now + 999) / 1000) : 0;
            }
            if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
            if (fds[1].revents & POLLIN) return;
        }
    }
};

namespace {

const sd_bus_vtable kControlVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Call", "as", "bs", &BusService::State::onCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable kScriptingVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Command", "s", "b", &BusService::State::onCommand, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

std::unique_ptr<sd_bus, SdBusUnref> openSessionBus(std::string* error) {
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    if (r < 0) {
        if (error) *error = std::string("no session bus: ") + std::strerror(-r);
        return nullptr;
    }
    return std::unique_ptr<sd_bus, SdBusUnref>(raw);
}

std::string busErrorText(const sd_bus_error& e, int r) {
    if (e.message) return e.message;
    if (e.name) return e.name;
    return std::strerror(-r);
}

}  // namespace

std::unique_ptr<BusService> BusService::start(ControlHandler control, ScriptingHandler scripting,
                                              std::string* error, const std::string& name) {
    auto state = std::make_unique<State>();
    state->control = std::move(control);
    state->scripting = std::move(scripting);
    state->name = name;
    if (!state->stop) {
        if (error) *error = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    state->bus = openSessionBus(error);
    if (!state->bus) return nullptr;
    int r = sd_bus_add_object_vtable(state->bus.get(), &state->controlSlot, kBusObjectPath, kControlInterface,
                                     kControlVtable, state.get());
    if (r >= 0)
        r = sd_bus_add_object_vtable(state->bus.get(), &state->scriptingSlot, kBusObjectPath,
                                     kScriptingInterface, kScriptingVtable, state.get());
    if (r < 0) {
        if (error) *error = std::string("cannot serve the object: ") + std::strerror(-r);
        return nullptr;
    }
    // Not queued: if another instance has the name, we are the second one.
    r = sd_bus_request_name(state->bus.get(), name.c_str(), 0);
    if (r < 0) {
        if (error)
            *error = r == -EEXIST ? "the name " + name + " is taken by another instance"
                                  : "cannot take the name " + name + ": " + std::strerror(-r);
        return nullptr;
    }
    std::unique_ptr<BusService> service(new BusService());
    service->state_ = std::move(state);
    service->thread_ = std::thread([s = service->state_.get()] { s->run(); });
    return service;
}

BusService::~BusService() {
    if (!state_) return;
    uint64_t one = 1;
    ssize_t ignored = ::write(state_->stop.get(), &one, sizeof one);
    (void)ignored;
    if (thread_.joinable()) thread_.join();
    sd_bus_release_name(state_->bus.get(), state_->name.c_str());
}

BusCallResult callControl(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                          const std::string& name) {
    BusCallResult result;
    auto bus = openSessionBus(&result.error);
    if (!bus) return result;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &raw, name.c_str(), kBusObjectPath, kControlInterface,
                                           "Call");
    if (r < 0) {
        result.error = std::strerror(-r);
        return result;
    }
    std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> call(raw, &sd_bus_message_unref);
    std::vector<char*> strv;
    for (const auto& a : args) strv.push_back(const_cast<char*>(a.c_str()));
    strv.push_back(nullptr);
    r = sd_bus_message_append_strv(call.get(), strv.data());
    if (r < 0) {
        result.error = std::strerror(-r);
        return result;
    }
    sd_bus_error err = SD_BUS_ERROR_NULL;
    sd_bus_message* replyRaw = nullptr;
    r = sd_bus_call(bus.get(), call.get(), static_cast<uint64_t>(timeout.count()) * 1000u, &err, &replyRaw);
    std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> reply(replyRaw, &sd_bus_message_unref);
    if (r < 0) {
        result.error = busErrorText(err, r);
        sd_bus_error_free(&err);
        return result;
    }
    int ok = 0;
    const char* text = nullptr;
    r = sd_bus_message_read(reply.get(), "bs", &ok, &text);
    if (r < 0) {
        result.error = std::string("unreadable answer: ") + std::strerror(-r);
        return result;
    }
    result.reached = true;
    result.reply.ok = ok != 0;
    result.reply.text = text ? text : "";
    return result;
}

std::optional<bool> callScripting(const std::string& command, std::chrono::milliseconds timeout,
                                  const std::string& name) {
    std::string error;
    auto bus = openSessionBus(&error);
    if (!bus) return std::nullopt;
    sd_bus_error err = SD_BUS_ERROR_NULL;
    sd_bus_message* replyRaw = nullptr;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &raw, name.c_str(), kBusObjectPath, kScriptingInterface,
                                           "Command");
    if (r < 0) return std::nullopt;
    std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> call(raw, &sd_bus_message_unref);
    if (sd_bus_message_append(call.get(), "s", command.c_str()) < 0) return std::nullopt;
    r = sd_bus_call(bus.get(), call.get(), static_cast<uint64_t>(timeout.count()) * 1000u, &err, &replyRaw);
    sd_bus_error_free(&err);
    std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> reply(replyRaw, &sd_bus_message_unref);
    if (r < 0) return std::nullopt;
    int answer = 0;
    if (sd_bus_message_read(reply.get(), "b", &answer) < 0) return std::nullopt;
    return answer != 0;
}

}  // namespace tw::platform
