#include "Pinewick/engine/TreeSync.h"

#include <sys/stat.h>

#include <filesystem>

#include "Pinewick/config/Log.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

// Jobs that ended are forgotten past this many, oldest first.
constexpr size_t kJobsKept = 16;
// Once its listings have ended, a round waits at most this long for the work they queued.
constexpr auto kSettleAtMost = 60s;

}  // namespace

TreeSync::TreeSync(Parts parts) : parts_(std::move(parts)), alive_(std::make_shared<Alive>()) {
    alive_->self = this;
}

TreeSync::~TreeSync() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [id, job] : jobs_) threads.push_back(std::move(job.thread));
    }
    changed_.notify_all();
    for (auto& t : threads)
        if (t.joinable()) t.join();
    std::lock_guard lock(alive_->mutex);
    alive_->self = nullptr;
}

uint64_t TreeSync::start(const std::string& folder) {
    std::vector<std::thread> ended;
    uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = next_++;
        // Ended jobs beyond a few are forgotten; their threads are done (or about to return).
        while (jobs_.size() >= kJobsKept && jobs_.begin()->second.progress.done) {
            ended.push_back(std::move(jobs_.begin()->second.thread));
            jobs_.erase(jobs_.begin());
        }
        auto& job = jobs_[id];
        job.folder = folder == "/" ? "" : folder;
        job.thread = std::thread([this, id] { run(id); });
    }
    for (auto& t : ended)
        if (t.joinable()) t.join();
    return id;
}

std::optional<TreeSync::Progress> TreeSync::progress(uint64_t job) const {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(job);
    if (it == jobs_.end()) return std::nullopt;
    return it->second.progress;
}

std::vector<std::string> TreeSync::walk(const std::string& root) const {
    std::vector<std::string> folders;
    // The root was asked for by name (a volume's own folder among them): only what it holds is sifted.
    struct stat st {};
    if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return folders;
    folders.push_back(root);
    std::error_code ec;
    auto options = std::filesystem::directory_options::skip_permission_denied;
    for (std::filesystem::recursive_directory_iterator it(root, options, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
        std::string path = it->path().string();
        if (parts_.ignored && parts_.ignored(path)) {
            it.disable_recursion_pending();
            continue;
        }
        folders.push_back(std::move(path));
    }
    return folders;
}

void TreeSync::run(uint64_t id) {
    std::string folder;
    {
        std::lock_guard lock(mutex_);
        folder = jobs_[id].folder;
    }
    for (size_t round = 0; round < kRounds; ++round) {
        std::vector<std::string> roots;
        if (!folder.empty())
            roots.push_back(folder);
        else if (parts_.roots)
            roots = parts_.roots();
        std::vector<std::string> fresh;
        for (const auto& root : roots)
            for (auto& f : walk(root)) fresh.push_back(std::move(f));
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            auto& job = jobs_[id];
            std::erase_if(fresh, [&](const std::string& f) { return !job.seen.insert(f).second; });
            job.progress.known = job.seen.size();
            job.waiting += fresh.size();
        }
        // Nothing new since the last round: the listings brought nothing else down.
        if (fresh.empty()) break;
        std::weak_ptr<Alive> weak = alive_;
        for (const auto& f : fresh) {
            if (!parts_.list) break;
            parts_.list(f, 0, true, [weak, id](ListingOutcome outcome, std::chrono::steady_clock::duration) {
                auto alive = weak.lock();
                if (!alive) return;
                std::lock_guard own(alive->mutex);
                TreeSync* self = alive->self;
                if (!self) return;
                {
                    std::lock_guard lock(self->mutex_);
                    auto& job = self->jobs_[id];
                    --job.waiting;
                    (outcome == ListingOutcome::failed ? job.progress.failed : job.progress.listed) += 1;
                }
                self->changed_.notify_all();
            });
        }
        {
            std::unique_lock lock(mutex_);
            if (!parts_.list) jobs_[id].waiting = 0;
            changed_.wait(lock, [&] { return stopping_ || jobs_[id].waiting == 0; });
            if (stopping_) return;
        }
        // The listings queued their work (new folders among it) on the timeline: it runs before the
        // tree is walked again.
        if (parts_.settle) parts_.settle(kSettleAtMost);
    }
    {
        std::lock_guard lock(mutex_);
        auto& job = jobs_[id];
        job.progress.done = true;
        log().logAudit("Listing of " + (folder.empty() ? std::string("every mappoint") : folder) +
                       " done: " + std::to_string(job.progress.listed) + " folders listed, " +
                       std::to_string(job.progress.failed) + " failed");
    }
    changed_.notify_all();
}

}  // namespace tw
