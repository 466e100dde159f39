#include "Pinewick/engine/PlaceholderOpens.h"

#include <algorithm>
#include <optional>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TLDownloadFile.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/server/ServerFileObject.h"
#include "platform/desktopnotify.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/pwevent.h"

namespace tw {
namespace {

using S = CEAStatus::keys;

// Executable names of the programs that read files only to index, preview or scan them. Reading a
// placeholder would download it: walking a folder of placeholders would bring the whole server down.
constexpr const char* kOnlyLooking[] = {
    // Desktop search indexers
    "tracker-miner-fs", "tracker-miner-fs-3", "tracker-extract", "tracker-extract-3", "localsearch-3",
    "localsearch-extractor-3", "baloo_file", "baloo_file_extractor",
    // Thumbnailers, run by the file managers for every item shown
    "gnome-thumbnail-font", "gdk-pixbuf-thumbnailer", "totem-video-thumbnailer", "evince-thumbnailer",
    "ffmpegthumbnailer", "gsf-office-thumbnailer", "tumblerd", "thumbnail.so", "kioworker", "kio_thumbnail",
    // File-name databases and virus scanners
    "updatedb", "updatedb.plocate", "updatedb.mlocate", "plocate-build", "clamd", "clamscan", "freshclam"};

bool defaultFetch(StatusBarManager& statusBar, const ServerEnvironment& server, const std::string& path) {
    // Bytes written into the placeholder while nobody watched are the user's: they are what opens.
    if (CEAUtils::keepBytesWrittenToPlaceholder(path)) return true;
    {
        CorvaneExtendedAttributes record(path);
        if (record.ceaStatus.status == S::Placeholder) {
            record.ceaStatus.setStatus(S::RequireDownload);
            if (!record.save()) {
                log().logWarning("Cannot download " + path +
                                 " for a program opening it: " + "its record could not be saved");
                return false;
            }
        }
        if (record.ceaStatus.status == S::RequireDownload) {
            ServerFileObject entry = entryFromRecord(platform::lastPathComponent(path), record);
            TLDownloadFile::performAction(statusBar, server, platform::parentFolder(path), entry,
                                          std::nullopt);
        }
    }
    // Downloaded here, or by the timeline's own download meanwhile: either way the content is here.
    auto status = CorvaneExtendedAttributes(path).ceaStatus.status;
    return !CEAStatus::contentOnlyOnServer(status);
}

// Shown from a worker: the notification daemon may take its time to answer.
void notifyWaiting(const std::string& path, const std::string& program) {
    platform::DispatchQueue::global(platform::QoS::utility).async([path, program] {
        platform::DesktopNotification n;
        n.summary = "Downloading “" + platform::lastPathComponent(path) + "”";
        std::string who = program.empty() ? "A program" : "“" + platform::lastPathComponent(program) + "”";
        n.body = who + " opened it and waits until it is here";
        if (auto progress = Transfers::shared().find(path); progress && progress->total > 0)
            n.body += " (" + StatusBarManager::progressText(progress->done, progress->total) + " so far)";
        n.body += ".";
        platform::showDesktopNotification(n);
    });
}

std::int64_t localSize(const std::string& path) {
    auto attributes = platform::attributesOfItem(path, nullptr, false);
    return attributes ? static_cast<std::int64_t>(attributes->size) : -1;
}

}  // namespace

PlaceholderOpens::Fetch PlaceholderOpens::download(StatusBarManager& statusBar,
                                                   const ServerEnvironment& server) {
    return [&statusBar, &server](const std::string& path) { return defaultFetch(statusBar, server, path); };
}

PlaceholderOpens::PlaceholderOpens(const ServerConfigurationDetails& configuration, Fetch fetch,
                                   TellWaiting tellWaiting)
    : configuration_(configuration),
      fetch_(std::move(fetch)),
      tellWaiting_(tellWaiting ? std::move(tellWaiting) : TellWaiting(notifyWaiting)),
      watcher_([this](std::stop_token stop) { watchLimits(stop); }) {}

PlaceholderOpens::~PlaceholderOpens() {
    watcher_.request_stop();
    // A download still running calls back into this object: wait for it to end.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return fetching_.empty(); });
}

bool PlaceholderOpens::onlyLooks(const std::string& program,
                                 const std::vector<std::string>& refusedPrograms) {
    if (program.empty()) return false;
    std::string name = platform::lastPathComponent(program);
    auto listed = [&](const std::string& n) { return n == name || n == program; };
    return std::any_of(std::begin(kOnlyLooking), std::end(kOnlyLooking), listed) ||
           std::any_of(refusedPrograms.begin(), refusedPrograms.end(), listed);
}

const char* PlaceholderOpens::open(const std::string& path, const std::string& program, Answer later) {
    auto settings = configuration_.placeholderReads();
    Limits limits;
    limits.total = std::chrono::milliseconds(static_cast<std::int64_t>(settings.waitSeconds * 1000));
    return open(path, program, std::move(later), settings.refuseAll, settings.refusedPrograms, limits);
}

const char* PlaceholderOpens::open(const std::string& path, const std::string& program, Answer later,
                                   bool refuseAll, const std::vector<std::string>& refusedPrograms,
                                   Limits limits) {
    auto status = CorvaneExtendedAttributes(path).ceaStatus.status;
    if (!CEAStatus::contentOnlyOnServer(status)) return pw::kAnswerAllow;
    // An item in error waits for the user's decision, not for a program's open.
    if (status == S::ErrorPlaceHolder || refuseAll) return pw::kAnswerRefuse;
    if (onlyLooks(program, refusedPrograms)) return pw::kAnswerRefuse;
    auto now = std::chrono::steady_clock::now();
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        auto [it, added] = fetching_.try_emplace(path);
        if (added) {
            start = true;
            it->second.lastProgress = it->second.started = now;
            it->second.program = program;
        }
        it->second.waiters.push_back(Waiter{std::move(later), now + limits.total, limits});
    }
    changed_.notify_all();
    if (start) {
        log().logAudit("Downloading " + path + " for " +
                       (program.empty() ? std::string("a program") : program) + " opening it");
        platform::DispatchQueue::global(platform::QoS::userInitiated).async([this, path] {
            bool here = fetch_(path);
            finish(path, here);
        });
    }
    return pw::kAnswerDownloading;
}

void PlaceholderOpens::finish(const std::string& path, bool here) {
    std::vector<Waiter> waiters;
    {
        std::lock_guard lock(mutex_);
        auto it = fetching_.find(path);
        if (it != fetching_.end()) {
            waiters = std::move(it->second.waiters);
            fetching_.erase(it);
        }
        // Under the lock: once the list is empty the destructor may go on and take the condition.
        changed_.notify_all();
    }
    if (!here) log().logWarning("Could not download " + path + " for the program opening it");
    for (auto& w : waiters) w.answer(here ? pw::kAnswerAllow : pw::kAnswerFailed);
}

void PlaceholderOpens::watchLimits(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (fetching_.empty()) {
            changed_.wait(lock, stop, [this] { return !fetching_.empty(); });
            continue;
        }
        changed_.wait_for(lock, stop, std::chrono::milliseconds(250), [] { return false; });
        std::vector<std::string> paths;
        for (const auto& [path, f] : fetching_) paths.push_back(path);
        // Sizes are read without the lock: reading one goes through the mount.
        lock.unlock();
        std::vector<std::int64_t> sizes;
        for (const auto& p : paths) sizes.push_back(localSize(p));
        lock.lock();
        auto now = std::chrono::steady_clock::now();
        std::vector<Answer> expired;
        std::vector<std::pair<std::string, std::string>> longWaits;
        for (size_t i = 0; i < paths.size(); ++i) {
            auto it = fetching_.find(paths[i]);
            if (it == fetching_.end()) continue;
            Fetching& f = it->second;
            if (!f.told && !f.waiters.empty() && now - f.started >= kLongWait) {
                f.told = true;
                longWaits.emplace_back(paths[i], f.program);
            }
            if (sizes[i] > f.size) {
                f.size = sizes[i];
                f.lastProgress = now;
            }
            auto& ws = f.waiters;
            for (auto w = ws.begin(); w != ws.end();) {
                if (now >= w->deadline || now - f.lastProgress >= w->limits.stalled) {
                    expired.push_back(std::move(w->answer));
                    w = ws.erase(w);
                } else {
                    ++w;
                }
            }
        }
        if (!longWaits.empty()) {
            lock.unlock();
            for (const auto& [path, program] : longWaits) tellWaiting_(path, program);
            lock.lock();
        }
        if (expired.empty()) continue;
        lock.unlock();
        log().logWarning(
            "An open of a file being downloaded waited as long as it may; "
            "the download goes on");
        for (auto& a : expired) a(pw::kAnswerTimedOut);
        lock.lock();
    }
}

std::size_t PlaceholderOpens::waiting() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [path, f] : fetching_) n += f.waiters.size();
    return n;
}

}  // namespace tw
