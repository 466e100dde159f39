#include "Pinewick/volumes/KernelCommunicator.h"

#include <unistd.h>

#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <optional>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/PIDManager.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "platform/places.h"
#include "platform/process.h"
#include "platform/utf8.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

// "0x" and a return code as a signed 32-bit number in lower-case hexadecimal ("0x-1" for -1).
std::string hexCode(pw::IOReturn code) {
    char buf[16];
    if (code < 0)
        snprintf(buf, sizeof buf, "-%x", static_cast<unsigned>(-static_cast<int64_t>(code)));
    else
        snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(code));
    return std::string("0x") + buf;
}

// A path the server cannot carry (not UTF-8) stands for "outside the synchronised tree": it is never
// synchronised, and the change scan shows the user such items as not synchronised.
std::string synchronisable(const std::string& path) {
    return platform::isValidUtf8(path) ? path : std::string();
}

bool knownAction(std::uint8_t a) {
    return (a >= pw::kauth_FILEOP_OPEN && a <= pw::kauth_FILEOP_DELETE) ||
           a == pw::kauth_FILEOP_CREATE_FOLDER || a == pw::kauth_FILEOP_ISGHOST ||
           a == pw::kauth_FILEOP_ISREADONLY || a == pw::kauth_FILEOP_REPORTS_DROPPED ||
           a == pw::kauth_FILEOP_WILL_DELETE;
}

// Wakes the listen loop's back-off sleep when the link is closing.
struct Sleeper {
    std::mutex mutex;
    std::condition_variable cv;
};

}  // namespace

namespace {
std::mutex g_sharedMutex;
std::shared_ptr<KernelCommunicator>& sharedLink() {
    static auto* link = new std::shared_ptr<KernelCommunicator>();
    return *link;
}
}  // namespace

KernelCommunicator& KernelCommunicator::connectShared(Options options) {
    // Made under the lock: a volume asking for `current()` while the link connects waits for it.
    std::lock_guard lock(g_sharedMutex);
    auto& link = sharedLink();
    if (!link) link = std::make_shared<KernelCommunicator>(std::move(options));
    return *link;
}

KernelCommunicator::Options KernelCommunicator::userOptions(
    std::function<std::vector<std::string>()> validApps) {
    return Options{platform::userClientSocketPath(), platform::toolPath("gatewarden"), 5000ms, nullptr,
                   std::move(validApps)};
}

std::shared_ptr<KernelCommunicator> KernelCommunicator::current() {
    std::lock_guard lock(g_sharedMutex);
    return sharedLink();
}

void KernelCommunicator::install(std::shared_ptr<KernelCommunicator> link) {
    std::lock_guard lock(g_sharedMutex);
    sharedLink() = std::move(link);
}

KernelCommunicator::KernelCommunicator(Options options)
    : options_(std::move(options)),
      reports_(platform::DispatchQueue::serial("com.meridot.tidewell.kernelReports")) {
    reconnected_ = options_.reconnected;
    if (!options_.engine) options_.engine = std::make_shared<const EngineLink>();
    openConnection();
}

KernelCommunicator::~KernelCommunicator() {
    closeConnection();
}

void KernelCommunicator::setReconnected(std::function<void()> reconnected) {
    std::lock_guard lock(reconnectedMutex_);
    reconnected_ = std::move(reconnected);
}

bool KernelCommunicator::connectOnce(pw::IOReturn* error) {
    pw::IOReturn err = pw::kNoServiceFound;
    std::unique_ptr<platform::UserClient> client = platform::UserClient::connect(options_.socketPath, &err);
    if (!client && !options_.gatewardenPath.empty() && !closing_) {
        // Nobody serves the socket: start the watcher installed beside us and give it time to listen.
        std::string why;
        std::string logFile = platform::stateHome() + "/Meridot/gatewarden.log";
        platform::makeFolders(platform::stateHome() + "/Meridot");
        if (::access(options_.gatewardenPath.c_str(), X_OK) != 0) {
            log().logWarning("No file watcher to start at " + options_.gatewardenPath);
        } else if (!platform::spawnDetached(
                       {options_.gatewardenPath, "--foreground", "--socket", options_.socketPath}, &why,
                       logFile)) {
            log().logWarning("Could not start the file watcher " + options_.gatewardenPath + ": " + why);
        } else {
            log().logWarning("Started the file watcher " + options_.gatewardenPath);
            auto deadline = std::chrono::steady_clock::now() + options_.startWait;
            while (!client && std::chrono::steady_clock::now() < deadline && !closing_) {
                std::this_thread::sleep_for(50ms);
                client = platform::UserClient::connect(options_.socketPath, &err);
            }
        }
    }
    if (!client) {
        if (error) *error = err;
        return false;
    }
    pw::IOReturn code = client->openConnection();
    if (code != pw::kIOReturnSuccess) {
        if (error) *error = code;
        return false;
    }
    std::shared_ptr<platform::UserClient> commands = platform::UserClient::connect(options_.socketPath);
    std::lock_guard lock(clientMutex_);
    client_ = std::shared_ptr<platform::UserClient>(std::move(client));
    commands_ = std::move(commands);
    connected_ = true;
    return true;
}

bool KernelCommunicator::openConnection() {
    TW_TRACE_IN("openConnection()");
    pw::IOReturn error = pw::kNoServiceFound;
    if (!connectOnce(&error)) {
        log().logFatal("Kernel Driver connection failure with error: " + std::to_string(error));
        // The application does not run without its file watcher.
        if (auto link = options_.engine; link->terminate)
            platform::MainQueue::shared().async(link->terminate);
        TW_TRACE_OUT("openConnection()");
        return false;
    }
    startLogging();
    TW_TRACE_OUT("openConnection()");
    return true;
}

pw::IOReturn KernelCommunicator::send(pw::SendActions action, const std::string& path1,
                                      const std::string& path2) {
    auto record = platform::formSendStructure(action, path1, path2);
    if (!record) return pw::kIOReturnBadArgument;  // a path of 1024 bytes or more does not fit
    std::shared_ptr<platform::UserClient> client, commands;
    {
        std::lock_guard lock(clientMutex_);
        client = client_;
        commands = commands_;
    }
    if (!client) return pw::kIOReturnNotAttached;
    if (commands) {
        pw::IOReturn code = commands->send(*record);
        if (code != pw::kIOReturnNotOpen && code != pw::kIOReturnNotAttached && code != pw::kIOReturnTimeout)
            return code;
        // A watcher that takes commands only from the holder's own connection, or does not serve this
        // one: from now on everything goes the one way (a command sent twice is harmless).
        std::lock_guard lock(clientMutex_);
        if (commands_ == commands) commands_.reset();
    }
    return client->send(*record);
}

void KernelCommunicator::startLogging() {
    char pid[32];
    snprintf(pid, sizeof pid, "%2X", static_cast<unsigned>(getpid()));
    send(pw::sa_StartWatching, pid, "");
    running_ = true;
    if (!listenThread_.joinable()) listenThread_ = std::thread([this] { listen(); });
}

void KernelCommunicator::stopLogging() {
    send(pw::sa_StopWatching, "", "");
    running_ = false;
}

void KernelCommunicator::closeConnection() {
    closing_ = true;
    if (connected_) {
        stopLogging();
        std::shared_ptr<platform::UserClient> client;
        {
            std::lock_guard lock(clientMutex_);
            client.swap(client_);
            commands_.reset();
        }
        if (client) client->closeConnection();
        connected_ = false;
    }
    running_ = false;
    // The loop ends within one read (the watcher answers an empty read within a second).
    if (listenThread_.joinable() && listenThread_.get_id() != std::this_thread::get_id())
        listenThread_.join();
    // Every report read before the close reaches the engine before the link is gone.
    reports_->sync([] {});
}

pw::IOReturn KernelCommunicator::addWatchPath(const std::string& path) {
    {
        std::lock_guard lock(watchMutex_);
        bool known = false;
        for (const auto& p : watchPaths_) known = known || p == path;
        if (!known) watchPaths_.push_back(path);
    }
    pw::IOReturn code = send(pw::sa_AddWatchPath, path, pw::kReadWrite);
    if (code != pw::kIOReturnSuccess)
        log().logFatal("Failed to add path \"" + path + "\" to watch list. Error: " + hexCode(code));
    return code;
}

void KernelCommunicator::acknowledgeDelete(const std::string& path, bool readOnly) {
    answer(path, readOnly ? pw::kAnswerRefuse : pw::kAnswerAllow);
}

void KernelCommunicator::answer(const std::string& path, const char* text) {
    pw::IOReturn code = send(pw::sa_AcknowledgeDelete, path, text);
    if (code != pw::kIOReturnSuccess)
        log().logFatal("Failed to acknowledge delete of \"" + path + "\". Error: " + hexCode(code));
}

bool KernelCommunicator::reconnect() {
    log().logFatal("Kernel Driver connection lost; starting the file watcher again");
    auto link = options_.engine;
    if (link->pauseTimeLine) link->pauseTimeLine();
    {
        std::lock_guard lock(clientMutex_);
        client_.reset();
        commands_.reset();
    }
    connected_ = false;
    int attempts = 0;
    while (!closing_) {
        pw::IOReturn error = pw::kNoServiceFound;
        if (connectOnce(&error)) break;
        if (++attempts % 10 == 1)
            log().logFatal("Kernel Driver connection failure with error: " + std::to_string(error));
        std::this_thread::sleep_for(1s);
    }
    if (closing_) return false;
    char pid[32];
    snprintf(pid, sizeof pid, "%2X", static_cast<unsigned>(getpid()));
    send(pw::sa_StartWatching, pid, "");
    std::vector<std::string> paths;
    {
        std::lock_guard lock(watchMutex_);
        paths = watchPaths_;
    }
    for (const auto& p : paths) addWatchPath(p);
    ++reconnects_;
    std::function<void()> remount;
    {
        std::lock_guard lock(reconnectedMutex_);
        remount = reconnected_;
    }
    // Remounting runs tools and touches the volumes; the loop must stay free to answer questions.
    platform::DispatchQueue::global().async([remount, link] {
        // The dead watcher's mounts still answer from the kernel's attribute cache for a second; only
        // after it do they show as gone, so that the remount replaces them instead of trusting them.
        std::this_thread::sleep_for(1500ms);
        if (remount) remount();
        // While no watcher ran (and in the dead one's queue) changes went unreported.
        if (link->scanForChanges) link->scanForChanges("");
        if (link->triggerChanges) link->triggerChanges();
    });
    log().logWarning("Kernel Driver connection restored");
    return true;
}

void KernelCommunicator::listen() {
    auto interval = std::chrono::microseconds(1000000);
    Sleeper sleeper;
    // Reports are read a batch at a time; a watcher that predates batches is read one at a time.
    bool batches = true;
    std::vector<pw::_pwevent> records;
    while (running_ && !closing_) {
        std::shared_ptr<platform::UserClient> client;
        {
            std::lock_guard lock(clientMutex_);
            client = client_;
        }
        auto started = std::chrono::steady_clock::now();
        pw::IOReturn code = pw::kIOReturnNotAttached;
        if (client && batches) {
            code = client->receiveMany(records);
            if (code == pw::kIOReturnUnsupported) {
                batches = false;
                continue;
            }
        } else if (client) {
            records.resize(1);
            code = client->receive(records[0]);
            if (records[0].action == pw::no_MESSAGE) records.clear();
        }
        ++reads_;
        if (code == pw::kIOReturnNotAttached || code == pw::kIOReturnTimeout) {
            if (closing_ || !reconnect()) break;
            batches = true;  // the watcher may be another one now
            interval = std::chrono::microseconds(1);
            continue;
        }
        if (code != pw::kIOReturnSuccess) records.clear();
        if (records.empty()) {
            // The watcher holds an empty read for up to a second; time spent waiting there counts
            // against the back-off, so a question asked after a quiet spell is read at once.
            auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - started);
            if (waited < interval) {
                std::unique_lock lock(sleeper.mutex);
                sleeper.cv.wait_for(lock, interval - waited, [this] { return closing_ || !running_; });
            }
            interval = std::min(interval * 2, std::chrono::microseconds(1000000));
            continue;
        }
        for (const auto& record : records) {
            if (!knownAction(record.action)) continue;
            handle(record.action, platform::fieldText(record.path1), platform::fieldText(record.path2));
            ++handled_;
        }
        interval = std::chrono::microseconds(1);
    }
}

void KernelCommunicator::handle(std::uint8_t action, const std::string& rawPath1,
                                const std::string& rawPath2) {
    // Questions are answered for the very bytes asked about, whatever they are: the watcher matches
    // its answer by them and would otherwise wait out its time-out.
    const std::string& path1 = rawPath1;
    const std::string& path2 = rawPath2;
    switch (action) {
        case pw::kauth_FILEOP_DELETE:
            if (path2.empty()) {
                // The watcher holds the delete until this answer: a read-only item is refused. The
                // record travels with the reports, so the report of this delete or rename finds it.
                auto record = std::make_shared<CorvaneExtendedAttributes>(path1);
                bool readOnly = record->ceaBool.getAttribute(CEABool::keys::ReadOnly);
                acknowledgeDelete(path1, readOnly);
                reports_->async(
                    [this, path1, record] { deleteList.insert_or_assign(path1, std::move(*record)); });
                return;
            }
            break;
        case pw::kauth_FILEOP_ISGHOST: {
            CorvaneExtendedAttributes record(path1);
            auto link = options_.engine;
            if (!CEAStatus::contentOnlyOnServer(record.ceaStatus.status) || !link->openPlaceholder) {
                acknowledgeDelete(path1, CEAStatus::contentOnlyOnServer(record.ceaStatus.status));
                return;
            }
            // The answer that ends the wait may be ready before the first is sent: it waits for it, as
            // the watcher takes them in that order. It goes through the link of the moment; a link
            // replaced meanwhile took its questions with it.
            auto firstSent = std::make_shared<std::promise<void>>();
            std::shared_future<void> sent = firstSent->get_future().share();
            auto later = [path1, sent](const char* answer) {
                sent.wait();
                if (auto current = KernelCommunicator::current()) current->answer(path1, answer);
            };
            const char* first = link->openPlaceholder(path1, PIDManager::pidName(path2), std::move(later));
            answer(path1, first);
            firstSent->set_value();
            return;
        }
        case pw::kauth_FILEOP_ISREADONLY: {
            // A name being created cannot be looked up until this answer (its folder is locked for the
            // create): it is unclassified by definition, so only its folder's record decides.
            std::optional<CorvaneExtendedAttributes> record;
            if (path2 != pw::kNewItem) record.emplace(path1);
            if (!record || record->ceaStatus.status == CEAStatus::keys::Unknown) {
                // An item the client has never classified (a new file) is writable where its folder is.
                CorvaneExtendedAttributes parent(platform::parentFolder(path1));
                acknowledgeDelete(path1, parent.ceaBool.getAttribute(CEABool::keys::ReadOnly));
                return;
            }
            acknowledgeDelete(path1, record->ceaBool.getAttribute(CEABool::keys::ReadOnly) ||
                                         CEAStatus::contentOnlyOnServer(record->ceaStatus.status));
            return;
        }
        default:
            break;
    }
    // Reports name items to synchronise; a name that is not UTF-8 names none. A rename or an exchange
    // with one such side still concerns the other, as a move into or out of the synchronised tree.
    const bool pair = action == pw::kauth_FILEOP_RENAME || action == pw::kauth_FILEOP_EXCHANGE;
    std::string to1 = synchronisable(rawPath1);
    std::string to2 = pair ? synchronisable(rawPath2) : rawPath2;
    if (to1.size() != rawPath1.size() && (!pair || to2.empty())) return;
    // Reports are turned into engine work on their own queue, in the order read. Doing that work here
    // would stall the answers: queueing an upload saves the file's record, and while the watcher holds
    // a rename of that very file for an answer, the kernel keeps the file locked against the save.
    reports_->async([this, action, to1, to2] { report(action, to1, to2); });
}

void KernelCommunicator::report(std::uint8_t action, const std::string& path1, const std::string& path2) {
    auto link = options_.engine;
    switch (action) {
        case pw::kauth_FILEOP_OPEN: {
            std::string exe = PIDManager::pidName(path2);
            if (!exe.empty() && options_.validApps)
                for (const auto& app : options_.validApps()) {
                    if (app == exe) {
                        if (link->addSyncFolderEvent) link->addSyncFolderEvent(path1, true);
                        return;
                    }
                }
            if (link->folderInUse) link->folderInUse(path1, exe);
            return;
        }
        case pw::kauth_FILEOP_CLOSE:
            if (link->addCloseEvent) link->addCloseEvent(path1);
            return;
        case pw::kauth_FILEOP_RENAME: {
            // A destination that was replaced is gone now; its record must not stand for a later item
            // there (the metadata database keeps its revision for the move).
            if (path2 != path1 && !path2.empty()) deleteList.erase(path2);
            auto it = path1.empty() ? deleteList.end() : deleteList.find(path1);
            if (it != deleteList.end()) {
                // A safe-save: the item announced for deletion is being moved, so it keeps its record.
                CorvaneExtendedAttributes record = std::move(it->second);
                deleteList.erase(it);
                if (link->addMoveEvent) link->addMoveEvent(path1, path2, record);
            } else {
                CorvaneExtendedAttributes record(path1);
                if (link->addMoveEvent) link->addMoveEvent(path1, path2, record);
            }
            return;
        }
        case pw::kauth_FILEOP_EXCHANGE:
            // Swapped with a name that is never synchronised, the other side simply has new content.
            if (path1.empty() || path2.empty()) {
                if (link->addCloseEvent) link->addCloseEvent(path1.empty() ? path2 : path1);
                return;
            }
            if (link->addExchangeEvent) link->addExchangeEvent(path1, path2);
            return;
        case pw::kauth_FILEOP_DELETE: {
            auto it = deleteList.find(path1);
            if (it == deleteList.end()) return;
            CorvaneExtendedAttributes record = std::move(it->second);
            deleteList.erase(it);
            if (link->addDeleteEvent) link->addDeleteEvent(path1, record);
            return;
        }
        case pw::kauth_FILEOP_CREATE_FOLDER:
            if (link->addCreateFolderEvent) link->addCreateFolderEvent(path1);
            return;
        case pw::kauth_FILEOP_WILL_DELETE: {
            // The watcher decided the delete (or rename) itself and sends the record it will need: as
            // a delete question's answer would have stored it, without touching the item, whose folder
            // the operation holds locked.
            auto eol = path2.find('\n');
            CorvaneExtendedAttributes record(
                path1, eol == std::string::npos ? std::string() : path2.substr(eol + 1));
            unsigned long long device = 0, number = 0;
            if (sscanf(path2.c_str(), "%llu %llu", &device, &number) == 2) {
                record.volumeNumber = device;
                record.fileNumber = number;
            }
            deleteList.insert_or_assign(path1, std::move(record));
            return;
        }
        case pw::kauth_FILEOP_REPORTS_DROPPED:
            // Queued here, behind the reports read before it; the scan itself runs elsewhere, so this
            // queue (and the listen loop ahead of it) stays free.
            log().logWarning("The file watcher lost reports of changes in " +
                             (path1.empty() ? std::string("every watched folder") : path1) +
                             "; looking for them");
            if (link->scanForChanges) link->scanForChanges(path1);
            return;
        default:
            return;
    }
}

}  // namespace tw
