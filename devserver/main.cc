// tidewell-devserver: serves a folder as a synchronisation server until SIGTERM or SIGINT.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "devserver/server.h"

namespace {

const char* kUsage =
    "usage: tidewell-devserver --root DIR --listen HOST:PORT --user NAME:PASSWORD [--user ...]\n"
    "                          [--seed demo] [--faults] [--tls-cert FILE --tls-key FILE]\n"
    "                          [--quota BYTES] [--session-ttl SECONDS] [--versions 1.6,1.5,...]\n"
    "                          [--mappoint NAME[:MODE[:TYPE[:ro]]]] [--quiet]\n"
    "PORT 0 picks a free port. The first line on standard output is \"listening on \" and the base URL.\n";

int usage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "tidewell-devserver: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

bool parseNumber(const std::string& text, long long& out) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    out = std::stoll(text);
    return true;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        size_t at = text.find(sep, pos);
        out.push_back(text.substr(pos, at == std::string::npos ? std::string::npos : at - pos));
        if (at == std::string::npos) break;
        pos = at + 1;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    tw::devserver::ServerConfig config;
    bool haveRoot = false, haveListen = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--root") {
            if (!value(v)) return usage("--root needs a folder");
            config.root = v;
            haveRoot = true;
        } else if (arg == "--listen") {
            if (!value(v)) return usage("--listen needs HOST:PORT");
            size_t colon = v.rfind(':');
            long long port;
            if (colon == std::string::npos || !parseNumber(v.substr(colon + 1), port) || port > 65535)
                return usage("--listen needs HOST:PORT");
            config.host = v.substr(0, colon);
            if (config.host.size() > 2 && config.host.front() == '[' && config.host.back() == ']')
                config.host = config.host.substr(1, config.host.size() - 2);
            config.port = static_cast<int>(port);
            haveListen = true;
        } else if (arg == "--user") {
            if (!value(v)) return usage("--user needs NAME:PASSWORD");
            size_t colon = v.find(':');
            if (colon == std::string::npos || colon == 0) return usage("--user needs NAME:PASSWORD");
            config.users[v.substr(0, colon)] = v.substr(colon + 1);
        } else if (arg == "--seed") {
            if (!value(v) || v != "demo") return usage("the only seed is \"demo\"");
            config.seedDemo = true;
        } else if (arg == "--faults") {
            config.faults = true;
        } else if (arg == "--tls-cert") {
            if (!value(config.tlsCert)) return usage("--tls-cert needs a file");
        } else if (arg == "--tls-key") {
            if (!value(config.tlsKey)) return usage("--tls-key needs a file");
        } else if (arg == "--quota") {
            long long n;
            if (!value(v) || !parseNumber(v, n)) return usage("--quota needs a byte count");
            config.quota = static_cast<uint64_t>(n);
        } else if (arg == "--session-ttl") {
            long long n;
            if (!value(v) || !parseNumber(v, n) || n == 0)
                return usage("--session-ttl needs a number of seconds");
            config.sessionTtlSeconds = n;
        } else if (arg == "--versions") {
            if (!value(v)) return usage("--versions needs a list such as 1.6,1.5");
            config.versions = split(v, ',');
        } else if (arg == "--mappoint") {
            if (!value(v)) return usage("--mappoint needs NAME[:MODE[:TYPE[:ro]]]");
            auto parts = split(v, ':');
            tw::devserver::MappointSettings settings;
            settings.name = parts[0];
            if (parts.size() > 1 && !parts[1].empty()) settings.mode = parts[1] == "INHERIT" ? "" : parts[1];
            if (parts.size() > 2 && !parts[2].empty()) settings.diskType = parts[2];
            if (parts.size() > 3) settings.readOnly = parts[3] == "ro";
            config.mappoints.push_back(settings);
        } else if (arg == "--quiet") {
            config.logRequests = false;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            return usage("unknown option " + arg);
        }
    }
    if (!haveRoot || !haveListen || config.users.empty())
        return usage("--root, --listen and --user are required");
    if (config.tlsCert.empty() != config.tlsKey.empty()) return usage("--tls-cert and --tls-key go together");

    // Signals are taken by one thread with sigwait; every other thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto server = tw::devserver::DevServer::create(config, error);
    if (!server) {
        std::fprintf(stderr, "tidewell-devserver: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s\n", server->baseUrl().c_str());
    std::fflush(stdout);

    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server->stop();
    });
    bool ok = server->run();
    // run() can also end without a signal (listener failure): wake the waiter so it can be joined.
    kill(getpid(), SIGTERM);
    waiter.join();
    server.reset();
    return ok ? 0 : 1;
}
