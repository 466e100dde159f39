// tidewell: the synchronisation client. Without a command it is the desktop application (the engine
// with a tray icon and windows; without a display, as --headless); with --headless it runs the engine in
// the foreground; every other command is a thin client of the running instance over the session bus,
// except `login`, which works without one.
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Pinewick/app/AppDelegate.h"
#include "Pinewick/app/Engine.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/ui/DesktopShell.h"
#include "platform/busservice.h"
#include "platform/defaults.h"
#include "platform/keychain.h"
#include "platform/notifications.h"
#include "platform/overmark.h"

namespace {

const char* kUsage =
    "usage: tidewell [--headless]\n"
    "       tidewell login [--server HOST[:PORT]] [--protocol https|http] [--user NAME]\n"
    "       tidewell status [--json]\n"
    "       tidewell pause | resume\n"
    "       tidewell volumes | mount NAME | unmount NAME\n"
    "       tidewell sync [PATH] [--no-wait]\n"
    "       tidewell confirm-deletes FOLDER\n"
    "       tidewell errors [--json]\n"
    "       tidewell resolve PATH ACTION [--name NAME] [--rename mine|server]\n"
    "       tidewell open PATH\n"
    "       tidewell download PATH | remove-download PATH\n"
    "       tidewell script COMMAND\n"
    "       tidewell quit\n"
    "Without a command tidewell runs the desktop application (tray icon, windows); --headless runs\n"
    "the client in the foreground without windows. sync lists PATH and every folder under it (every\n"
    "mappoint without a path) and waits until that is done. confirm-deletes removes what the server no "
    "longer\n"
    "lists in FOLDER; errors lists each item that needs you with the ACTIONs resolve can take for it\n"
    "(keep-mine, keep-server, keep-both, keep-server-copy, retry-delete, retry-quota).\n"
    "script COMMAND (idle, uploading or downloading) prints true or false.\n"
    "The password of `login` is read from the terminal, or one line from standard input.\n";

int usage(int status) {
    (status == 0 ? std::cout : std::cerr) << kUsage;
    return status;
}

// One line from standard input; from a terminal without echo, after a prompt on standard error.
std::optional<std::string> readPassword(const std::string& prompt) {
    bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        fprintf(stderr, "%s", prompt.c_str());
        fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fprintf(stderr, "\n");
    }
    if (!got) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool plausibleHost(const std::string& server) {
    if (server.empty() || server.size() > 255) return false;
    for (char c : server)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' ||
              c == ']'))
            return false;
    return true;
}

int login(const std::vector<std::string>& args) {
    // The client wired as the running one is, never started: a logon needs only the configuration (an
    // administrator may fix the server and the user) and the server layer.
    tw::Engine engine;
    auto& config = engine.configuration();
    config.readConfig();
    auto& credentials = engine.credentials();
    std::string server = !config.server.empty() ? config.server : credentials.serverName();
    std::string user = !config.user.empty() ? config.user : credentials.userName();
    std::string protocol = tw::platform::Defaults::standard().stringValue("serverprotocol").value_or("https");
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--server" && i + 1 < args.size())
            server = args[++i];
        else if (args[i] == "--user" && i + 1 < args.size())
            user = args[++i];
        else if (args[i] == "--protocol" && i + 1 < args.size())
            protocol = args[++i];
        else
            return usage(2);
    }
    if (protocol != "https" && protocol != "http") {
        std::cerr << "tidewell: the protocol is https or http, not \"" << protocol << "\"\n";
        return 2;
    }
    if (!plausibleHost(server)) {
        std::cerr << "tidewell: \"" << server
                  << "\" is not a server address (HOST or HOST:PORT); give --server\n";
        return 2;
    }
    if (user.empty()) {
        const char* u = getenv("USER");
        user = u ? u : "";
    }
    if (user.empty()) {
        std::cerr << "tidewell: no user name; give --user\n";
        return 2;
    }
    auto password = readPassword("Password for " + user + " at " + server + ": ");
    if (!password || password->empty()) {
        std::cerr << "tidewell: no password given\n";
        return 1;
    }
    credentials.setServerProtocol(protocol);
    auto result = credentials.attemptLogin(server, user, *password);
    if (result != tw::serverError::noError) {
        std::cerr << tw::ServerCredentials::resultText(result) << "\n";
        return 1;
    }
    // One account at a time: the login pane replaces what was stored before.
    auto& keychain = credentials.environment().keychainInUse();
    std::vector<tw::platform::keychain::Item> old;
    if (keychain.findItems("Tidewell", "Tidewell Server Password", old) == tw::platform::keychain::Status::ok)
        for (const auto& item : old)
            if (item.service != server || item.account != user)
                keychain.deleteItem(item.service, item.account);
    if (keychain.addItem({server, user, "Tidewell", "Tidewell Server Password"}, *password) !=
        tw::platform::keychain::Status::ok) {
        std::cerr << "tidewell: the password was accepted but could not be stored (" << keychain.kind()
                  << ")\n";
        return 1;
    }
    if (!tw::platform::Defaults::standard().set("serverprotocol", protocol))
        std::cerr << "tidewell: could not store the protocol; the next start uses https\n";
    std::cout << "Logged in to " << server << " as " << user << "\n";
    auto r = tw::platform::callControl({"login-changed"}, std::chrono::seconds(30));
    if (r.reached) std::cout << r.reply.text << "\n";
    return 0;
}

int remote(const std::vector<std::string>& args) {
    auto r = tw::platform::callControl(args);
    if (!r.reached) {
        std::cerr << "tidewell: no running instance answers (" << r.error << ")\n";
        return 1;
    }
    if (!r.reply.text.empty())
        (r.reply.ok ? std::cout : std::cerr) << r.reply.text << (r.reply.text.back() == '\n' ? "" : "\n");
    return r.reply.ok ? 0 : 1;
}

// `tidewell sync [PATH] [--no-wait]`: starts the listing of the tree in the running instance and,
// unless told not to wait, follows it until it is done, showing its progress.
int syncTree(std::vector<std::string> args) {
    bool wait = true;
    std::erase_if(args, [&](const std::string& a) {
        if (a != "--no-wait") return false;
        wait = false;
        return true;
    });
    if (args.size() > 2) return usage(2);
    auto r = tw::platform::callControl(args);
    if (!r.reached) {
        std::cerr << "tidewell: no running instance answers (" << r.error << ")\n";
        return 1;
    }
    const std::string& text = r.reply.text;
    if (!r.reply.ok || !wait) {
        (r.reply.ok ? std::cout : std::cerr) << text << "\n";
        return r.reply.ok ? 0 : 1;
    }
    // "job N: ..."
    std::string job = text.rfind("job ", 0) == 0 ? text.substr(4, text.find(':') - 4) : "";
    std::cout << text << "\n";
    if (job.empty()) return 0;
    bool terminal = isatty(STDOUT_FILENO);
    std::string last;
    for (;;) {
        auto p = tw::platform::callControl({"sync-progress", job});
        if (!p.reached || !p.reply.ok) {
            std::cerr << "\ntidewell: the running instance no longer answers for the listing\n";
            return 1;
        }
        std::istringstream in(p.reply.text);
        std::string state;
        size_t listed = 0, failed = 0, known = 0;
        in >> state >> listed >> failed >> known;
        std::string line = std::to_string(listed + failed) + " of " + std::to_string(known) +
                           " folders listed" + (failed ? " (" + std::to_string(failed) + " failed)" : "");
        if (terminal)
            std::cout << "\r" << line << "   " << std::flush;
        else if (state == "done" && line != last)
            std::cout << line << "\n";
        last = line;
        if (state == "done") {
            if (terminal) std::cout << "\n";
            std::cout << "Done.\n";
            return failed ? 1 : 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

// A path as the running instance needs it: absolute, without "." and ".." steps (links are kept, as the
// file manager would name them).
// The running instance knows items by their absolute paths (no trailing "/").
std::string fullPath(const std::string& path) {
    std::error_code error;
    auto full = std::filesystem::absolute(path, error);
    if (error) return path;
    std::string p = full.lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// What the file manager's context menu posts; nobody answers it.
int postRequest(const std::string& verb, const std::string& path) {
    const char* name =
        verb == "download" ? tw::overmark::kDownloadNotification : tw::overmark::kRemoveDownloadNotification;
    if (!tw::platform::postNotification(name, fullPath(path))) {
        std::cerr << "tidewell: no session bus to send the request on\n";
        return 3;
    }
    return 0;
}

}  // namespace

// The engine with the tray, the preferences and the resolution windows on Qt's loop.
int runDesktop(int argc, char** argv) {
    QApplication application(argc, argv);
    // Before the engine starts: what it queues for the main queue from then on runs from Qt's loop.
    tw::ui::DesktopShell::prepareApplication();
    std::unique_ptr<tw::ui::DesktopShell> shell;
    tw::AppDelegate::Options options;
    options.engine.requestCredentials = [] { return tw::ui::DesktopShell::requestCredentials(); };
    options.didFinishLaunching = [&shell](tw::Engine& engine) {
        shell = std::make_unique<tw::ui::DesktopShell>(engine.parts());
        shell->start();
    };
    options.mainLoop = [] { QApplication::exec(); };
    options.willTerminate = [&shell] {
        if (shell) shell->stop();
    };
    tw::AppDelegate app(options);
    return app.run();
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        if (tw::ui::DesktopShell::displayAvailable()) return runDesktop(argc, argv);
        std::cerr
            << "tidewell: no display to show the tray icon on; running without windows (as --headless)\n";
    }
    if (args.empty() || args[0] == "--headless") {
        if (args.size() > 1) return usage(2);
        tw::AppDelegate app({});
        return app.run();
    }
    const std::string& verb = args[0];
    if (verb == "--help" || verb == "help" || verb == "-h") return usage(0);
    if (verb == "login") return login(args);
    if (verb == "script") {
        if (args.size() != 2) return usage(2);
        auto answer = tw::platform::callScripting(args[1]);
        if (!answer) {
            std::cerr << "tidewell: no running instance answers\n";
            return 3;
        }
        std::cout << (*answer ? "true" : "false") << "\n";
        return *answer ? 0 : 1;
    }
    if (verb == "sync") {
        for (size_t i = 1; i < args.size(); ++i)
            if (args[i] != "--no-wait") args[i] = fullPath(args[i]);
        return syncTree(args);
    }
    if (verb == "confirm-deletes" && args.size() == 2) args[1] = fullPath(args[1]);
    if (verb == "confirm-deletes" && args.size() == 2) return remote(args);
    if ((verb == "download" || verb == "remove-download") && args.size() == 2)
        return postRequest(verb, args[1]);
    if (verb == "open" && args.size() == 2) args[1] = fullPath(args[1]);
    if (verb == "resolve") {
        if (args.size() < 3) return usage(2);
        args[1] = fullPath(args[1]);
        return remote(args);
    }
    if (verb == "errors" && (args.size() == 1 || (args.size() == 2 && args[1] == "--json")))
        return remote(args);
    if ((verb == "status" && args.size() <= 2 && (args.size() == 1 || args[1] == "--json")) ||
        ((verb == "pause" || verb == "resume" || verb == "volumes" || verb == "quit") && args.size() == 1) ||
        ((verb == "mount" || verb == "unmount" || verb == "open") && args.size() == 2))
        return remote(args);
    return usage(2);
}
