// gatewarden: the per-user file-watcher daemon. Hosts every synchronised folder as a FUSE mount, runs
// the filter in the mount's handlers and serves the application through the user-client socket.
//
//   gatewarden [--foreground] [--socket PATH] [--control-socket PATH] [--verbose]
//
// SIGTERM or SIGINT unmounts everything it mounted and ends it. Under systemd (Type=notify) it reports
// itself ready once both sockets listen.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <string>

#include "Larkspur/Brindle.h"
#include "Larkspur/DriverService.h"
#include "Larkspur/Log.h"
#include "Larkspur/Volumes.h"
#include "platform/userclient.h"
#include "platform/volpath.h"

namespace {
const char* kUsage = "usage: gatewarden [--foreground] [--socket PATH] [--control-socket PATH] [--verbose]\n";

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
        "  --help                 print this help\n"
        "  --version              print the version\n"
        "\n"
        "SIGTERM or SIGINT unmounts every volume it mounted, then it ends.\n",
        stdout);
}
}  // namespace

int main(int argc, char** argv) {
    bool foreground = false;
    std::string socketPath, controlPath;
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
        else {
            usage();
            return 2;
        }
    }
    if (socketPath.empty()) socketPath = tw::platform::userClientSocketPath();
    if (controlPath.empty()) controlPath = tw::platform::gatewardenControlSocketPath();

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

    gw::Brindle filter;
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
    // No more commands, and nobody waits for an answer while the mounts go away.
    driver.stop();
    filter.clientClosed();
    if (!volumes.stop()) {
        // A detached mount with open files keeps its session thread busy until they close; ending
        // the process closes our end of the connection, which ends the session in the kernel.
        GW_WARN("Stopping with busy mounts; their open files will fail from now on");
        fflush(stderr);
        _exit(0);
    }
    filter.BrindleStop();
    GW_INFO("Stopped");
    return 0;
}
