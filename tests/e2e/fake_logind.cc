// Stands in for logind on a bus of a test run's own, so that the client the run starts (pointed at that
// bus as its system bus) can be put to sleep and woken: owns logind's name, says "ready", then for each
// line "sleep" or "wake" on standard input emits PrepareForSleep(true) or (false) from logind's manager
// object and answers "ok" (or "failed"). Ends at the end of its input.
//
// Usage: tw-fake-logind BUS-ADDRESS
#include <systemd/sd-bus.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace {

struct BusCloser {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tw-fake-logind BUS-ADDRESS\n");
        return 2;
    }
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) return 1;
    std::unique_ptr<sd_bus, BusCloser> bus(raw);
    if (sd_bus_set_address(raw, argv[1]) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0 ||
        sd_bus_request_name(raw, "org.freedesktop.login1", 0) < 0) {
        std::fprintf(stderr, "tw-fake-logind: cannot own org.freedesktop.login1 on %s\n", argv[1]);
        return 1;
    }
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line != "sleep" && line != "wake") {
            std::cout << "unknown" << std::endl;
            continue;
        }
        int r = sd_bus_emit_signal(raw, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                   "PrepareForSleep", "b", static_cast<int>(line == "sleep"));
        if (r >= 0) r = sd_bus_flush(raw);
        std::cout << (r >= 0 ? "ok" : "failed") << std::endl;
    }
    return 0;
}
