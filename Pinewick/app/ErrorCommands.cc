#include "Pinewick/app/ErrorCommands.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "platform/dispatch.h"
#include "platform/paths.h"

namespace tw {
namespace {

using Manager = ErrorResolutionManager;

constexpr const char* kResolveUsage =
    "usage: tidewell resolve PATH ACTION [--name NAME] [--rename mine|server]";

std::string choicesOf(const std::vector<Manager::action>& actions, const std::string& separator) {
    std::string out;
    for (auto a : actions) out += (out.empty() ? "" : separator) + std::string(Manager::actionName(a));
    return out;
}

std::string resolveCommandLine(const std::string& path, const std::string& action) {
    return "tidewell resolve " + shellQuoted(path) + " " + action;
}

}  // namespace

std::string shellQuoted(const std::string& path) {
    bool plain = !path.empty();
    for (unsigned char c : path)
        if (!(isalnum(c) || c >= 0x80 ||
              std::string_view("/._-+,:@%=").find(static_cast<char>(c)) != std::string_view::npos))
            plain = false;
    if (plain) return path;
    std::string out = "'";
    for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string errorsText(const std::vector<std::string>& items, const std::vector<std::string>& heldFolders,
                       bool json) {
    nlohmann::json doc;
    doc["items"] = nlohmann::json::array();
    for (const auto& path : items) {
        CorvaneExtendedAttributes record(path);
        nlohmann::json item = {
            {"path", path},
            {"state", CEAStatus::rawValue(record.ceaStatus.status)},
            {"errorStatus", CEAErrorStatus::rawValue(record.ceaErrorStatus.status)},
            {"genre", CEAErrorStatus::rawValue(record.ceaErrorStatus.genre)},
            {"serverSaid", Manager::problemText(path, record)},
            {"actions", nlohmann::json::array()},
        };
        for (auto a : Manager::actionsFor(record))
            item["actions"].push_back(
                {{"action", Manager::actionName(a)}, {"label", Manager::actionLabel(a)}});
        if (!item["actions"].empty()) item["resolve"] = resolveCommandLine(path, "ACTION");
        doc["items"].push_back(std::move(item));
    }
    doc["heldRemovals"] = nlohmann::json::array();
    for (const auto& folder : heldFolders)
        doc["heldRemovals"].push_back(
            {{"folder", folder}, {"confirm", "tidewell confirm-deletes " + shellQuoted(folder)}});
    if (json) return doc.dump(2);

    std::string out;
    size_t count = items.size() + heldFolders.size();
    if (count == 0) return "Nothing needs you.\n";
    out += count == 1 ? "1 item needs you.\n" : std::to_string(count) + " items need you.\n";
    for (const auto& item : doc["items"]) {
        std::string path = item["path"].get<std::string>();
        out += "\n" + path + "\n";
        out += "  " + item["state"].get<std::string>() + ": " + item["errorStatus"].get<std::string>() +
               " (" + item["genre"].get<std::string>() + ")\n";
        out += "  " + item["serverSaid"].get<std::string>() + "\n";
        if (item["actions"].empty()) {
            out += "  Nothing to choose here.\n";
            continue;
        }
        out += "  " + item["resolve"].get<std::string>() + ", where ACTION is\n";
        for (const auto& a : item["actions"]) {
            std::string name = a["action"].get<std::string>();
            out += "    " + name + std::string(name.size() < 18 ? 18 - name.size() : 1, ' ') +
                   a["label"].get<std::string>() +
                   (name == Manager::actionName(Manager::action::keepBoth)
                        ? " (--name NAME, --rename mine|server)"
                        : "") +
                   "\n";
        }
    }
    if (!heldFolders.empty()) {
        out += "\nRemovals held because the server no longer lists the items (nothing was removed):\n";
        for (const auto& h : doc["heldRemovals"])
            out += "  " + h["folder"].get<std::string>() +
                   "\n    to remove them here too: " + h["confirm"].get<std::string>() + "\n";
    }
    return out;
}

platform::CommandReply resolveCommand(ErrorResolutionManager& manager, const std::vector<std::string>& args,
                                      std::chrono::milliseconds wait) {
    if (args.size() < 3) return {false, kResolveUsage};
    const std::string& path = args[1];
    if (path.empty() || path.front() != '/') return {false, "resolve needs a full path"};
    auto action = Manager::actionNamed(args[2]);
    if (!action) {
        std::vector<Manager::action> all(Manager::allActions.begin(), Manager::allActions.end());
        return {false, "\"" + args[2] + "\" is not an action; the actions are " + choicesOf(all, ", ")};
    }
    Manager::Choice choice;
    choice.what = *action;
    for (size_t i = 3; i < args.size(); ++i) {
        if (args[i] == "--name" && i + 1 < args.size() && *action == Manager::action::keepBoth) {
            choice.newName = args[++i];
        } else if (args[i] == "--rename" && i + 1 < args.size() && *action == Manager::action::keepBoth &&
                   (args[i + 1] == "mine" || args[i + 1] == "server")) {
            choice.localTakesNewName = args[++i] == "mine";
        } else {
            return {false, kResolveUsage + std::string(" (--name and --rename go with keep-both)")};
        }
    }

    // Run beside the caller, which gives up waiting long before the command line would: a retried
    // delete of a large folder sends one request per item.
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        Manager::Result result;
    };
    auto shared = std::make_shared<Shared>();
    platform::DispatchQueue::global(platform::QoS::userInitiated).async([shared, &manager, path, choice] {
        auto result = manager.resolveNow(path, choice);
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(result);
        shared->done = true;
        shared->cv.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    if (!shared->cv.wait_for(lock, wait, [&] { return shared->done; }))
        return {true, "Still resolving " + path + "; `tidewell errors` shows when it is done."};
    const auto& r = shared->result;
    bool ok = r.result == Manager::outcome::done;
    return {ok, r.text};
}

platform::DesktopNotification resolveErrorNotification(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    platform::DesktopNotification n;
    n.icon = "dialog-warning";
    std::string name = platform::lastPathComponent(path);
    auto actions = Manager::actionsFor(record);
    if (record.ceaErrorStatus.genre == CEAErrorStatus::genres::None &&
        record.ceaStatus.status != CEAStatus::keys::ErrorRegular &&
        record.ceaStatus.status != CEAStatus::keys::ErrorPlaceHolder) {
        n.summary = "“" + name + "” has nothing to resolve";
        n.body = path + " is not in error.";
        return n;
    }
    n.summary = "“" + name + "” needs you";
    n.body = Manager::problemText(path, record);
    if (actions.empty())
        n.body += "\n\n`tidewell errors` lists everything that needs you.";
    else
        n.body += "\n\nTo resolve it, run:\n" + resolveCommandLine(path, choicesOf(actions, "|")) +
                  "\n(`tidewell errors` explains each choice.)";
    return n;
}

}  // namespace tw
