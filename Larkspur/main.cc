// gatewarden: the per-user file-watcher daemon. Hosts every synchronised folder as a FUSE mount, runs
// the filter in the mount's handlers and serves the application through the user-client socket.
//
//   gatewarden [--foreground] [--socket PATH] [--control-socket PATH] [--verbose]
//              [--answer-timeout MILLISECONDS] [--max-queued EVENTS]
//
// SIGTERM or SIGINT takes every volume out of the tree and ends it; volumes with files still open are
// detached lazily and served until those files close, for at most kStopGrace (a second signal ends it
// at once). Under systemd (Type=notify) it reports itself ready once both sockets listen.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "Larkspur/Brindle.h"
#include "Larkspur/DriverService.h"
#include "Larkspur/Log.h"
#include "Larkspur/Volumes.h"
#include "platform/userclient.h"
#include "platform/volpath.h"

namespace {
const char* kUsage =
    "usage: gatewarden [--foreground] [--socket PATH] [--control-socket PATH] [--verbose]\n"
    "                  [--answer-timeout MILLISECONDS] [--max-queued EVENTS]\n";

// How long a stopping daemon keeps serving files still open on its volumes. The session is stopping
// too (logout, shutdown), so the programs holding them are being told to end and save: an editor
// writes its file and closes it within a few seconds, and each write it makes before we leave reaches
// the backing folder. Well under systemd's stop time-out (90 s), so that we leave on our own; after it
// the kernel ends the sessions when the process exits, and only a program that kept a file open that
// long sees its next operation fail.
constexpr auto kStopGrace = std::chrono::seconds(10);

// A decimal count within [min, max]; strtoull alone would take "-1" for a huge number.
bool parseCount(const char* text, unsigned long long min, unsigned long long max, unsigned long long& out) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    out = strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' && out >= min && out <= max;
}

void usage() {
    fputs(kUsage, stderr);
}

void help() {
    fputs(kUsage, stdout);
    fputs(
        "\n"
        "The per-user file watcher of Tidewell. It hosts every synchronised folder as a FUSE mount,\n"
        "asks the application before a watched file is read, changed or removed, and reports what\n"
        "changed. The application starts it when no watcher answers; the systemd user unit\n"
        "gatewarden.service can run it instead. It runs as the user who owns the volumes; for a user\n"
        "other than root, mounting goes through fusermount3.\n"
        "\n"
        "Options:\n"
        "  --foreground           stay in the foreground (the unit and tests use this)\n"
        "  --socket PATH          the application's socket\n"
        "                         (default $XDG_RUNTIME_DIR/com_corvane_PW_driver.sock)\n"
        "  --control-socket PATH  the socket of the volume tools (tidewell-hdiutil)\n"
        "  --verbose              log debug messages\n"
        "  --answer-timeout MS    how long an operation waits for the application's answer\n"
        "                         before it is decided from the item's record (default 10000)\n"
        "  --max-queued EVENTS    events kept for an application that does not read them\n"
        "                         (default 65536)\n"
        "  --help                 print this help\n"
        "  --version              print the version\n"
        "\n"
        "SIGTERM or SIGINT unmounts every volume it mounted, then it ends. A volume with files still\n"
        "open is detached at once and served until they are closed, for at most 10 seconds; a second\n"
        "signal ends it at once.\n",
        stdout);
}
}  // namespace

int main(int argc, char** argv) {
    bool foreground = false;
    std::string socketPath, controlPath;
    unsigned long long answerTimeoutMs = 10000, maxQueued = 65536;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            help();
            return 0;
        }
        if (a == "--version") {
            printf("gatewarden %s\n", TIDEWELL_VERSION);
            return 0;
        }
        if (a == "--foreground")
            foreground = true;
        else if (a == "--verbose")
            gw::setLogLevel(gw::LogLevel::debug);
        else if (a == "--socket" && i + 1 < argc)
            socketPath = argv[++i];
        else if (a == "--control-socket" && i + 1 < argc)
            controlPath = argv[++i];
        else if (a == "--answer-timeout" && i + 1 < argc &&
                 parseCount(argv[i + 1], 1, 3600000, answerTimeoutMs))
            ++i;
        else if (a == "--max-queued" && i + 1 < argc && parseCount(argv[i + 1], 1, 1u << 24, maxQueued))
            ++i;
        else {
            usage();
            return 2;
        }
    }
    if (socketPath.empty()) socketPath = tw::platform::userClientSocketPath();
    if (controlPath.empty()) controlPath = tw::platform::gatewardenControlSocketPath();

    // Every item the kernel knows on a mount holds a descriptor of its backing file: a walk of a large
    // volume (a scan, a backup, a search) needs far more than the usual soft limit of 1024 or so.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0)
            GW_WARN("Cannot raise the open-files limit: %s", strerror(errno));
    }

    // Signals are taken by sigwait below; every thread made from here on inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!foreground) {
        if (daemon(0, 1) < 0) {
            GW_ERROR("Cannot become a daemon: %s", strerror(errno));
            return 1;
        }
    }

    gw::Brindle filter(std::chrono::milliseconds(answerTimeoutMs), static_cast<std::size_t>(maxQueued));
    gw::DriverService driver(filter);
    gw::Volumes volumes(filter);
    if (!driver.listen(socketPath) || !volumes.listen(controlPath)) return 1;
    driver.start();
    volumes.start();
    GW_INFO("Serving %s and %s", socketPath.c_str(), controlPath.c_str());
    sd_notify(0, "READY=1");

    int sig = 0;
    while (sigwait(&set, &sig) != 0 || sig == SIGHUP) {
    }
    GW_INFO("Signal %d: unmounting and stopping", sig);
    sd_notify(0, "STOPPING=1");
    // No more commands, and nobody waits for an answer while the mounts go away: from here on every
    // question is decided from the item's record.
    driver.stop();
    filter.clientClosed();
    volumes.detachAll();
    bool again = false;
    auto secondSignal = [&] {
        timespec none{0, 0};
        int s = sigtimedwait(&set, nullptr, &none);
        again = again || s == SIGTERM || s == SIGINT;
        return again;
    };
    if (!volumes.waitForSessions(std::chrono::steady_clock::now() + kStopGrace, secondSignal)) {
        // Leaving closes our end of each connection, which ends the session in the kernel: only
        // programs that still hold files there see their next operation fail.
        for (const auto& m : volumes.lingering())
            GW_WARN("Leaving with files still open on %s (%s); their next operation fails", m.c_str(),
                    again ? "stopped again" : "not closed in time");
        fflush(stderr);
        _exit(0);
    }
    filter.BrindleStop();
    GW_INFO("Stopped");
    return 0;
}
