#include "Larkspur/Brindle.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>

#include "Larkspur/Log.h"
#include "platform/casefold.h"
#include "platform/pwnames.h"
#include "platform/unixsocket.h"
#include "platform/utf8.h"

namespace gw {

using namespace tw::pw;

namespace {

// Process names whose reads and writes are never questioned, only decided from the records: programs
// that read files to index, preview or scan them (names as the kernel keeps them, at most 15 bytes).
// A placeholder is refused to them: reading it would download it. Matched exactly.
constexpr const char* kIndexerNames[] = {
    // Search indexers
    "mdworker", "tracker-miner-f", "tracker-extract", "localsearch-3", "localsearch-ext", "baloo_file",
    "baloo_file_extr",
    // Thumbnailers the file managers run for every item shown (names as the kernel cuts them)
    "gdk-pixbuf-thum", "totem-video-thu", "evince-thumbnai", "ffmpegthumbnail", "gsf-office-thum",
    "gnome-thumbnail", "tumblerd", "kioworker", "kio_thumbnail",
    // File-name databases and virus scanners
    "updatedb", "updatedb.plocat", "updatedb.mlocat", "plocate-build", "clamd", "clamscan"};

// An open waiting for content being fetched ends when the application says so; should it never say,
// this ends the wait instead.
constexpr auto kContentWaitCap = std::chrono::hours(1);
// How long an expired question that was read waits for its late answer before it is forgotten.
constexpr auto kTombstoneLife = std::chrono::seconds(60);
// A refusal made without the application is logged once per path in this time.
constexpr auto kRefusalLogInterval = std::chrono::seconds(60);
// Paths whose last refusal is remembered; beyond it refusals are logged only in summary, so a program
// walking a tree of placeholders cannot grow the table without bound.
constexpr std::size_t kRefusalLogPaths = 4096;

std::string readSmallFile(const std::string& path) {
    tw::platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    char buf[2048];
    ssize_t n;
    do {
        n = ::read(fd.get(), buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

// Where `path` lies inside `folder`, names compared as the mount compares them: the rest after the
// folder, starting with "/". None when it lies elsewhere; the folder itself is inside only with a slash
// after it, as a listing reports it.
std::optional<std::string_view> restInside(std::string_view path, std::string_view folder) {
    auto rest = tw::platform::restBelowFolderIgnoringCase(path, folder);
    if (!rest || rest->empty()) return std::nullopt;
    return rest;
}

// Whether `rest`, a path's rest inside the watch folder `watchPath`, lies in one of its `ignore`
// folders. Each of those is the watch path and more, so only the more is compared: the watch path,
// whose names may need folding, is compared once for all.
bool ignoredInside(std::string_view watchPath, const std::vector<std::string>& ignore,
                   std::string_view rest) {
    for (const auto& i : ignore)
        if (restInside(rest, std::string_view(i).substr(watchPath.size()))) return true;
    return false;
}

}  // namespace

// The thread's process from a pidfd (kernels from 6.13): three system calls, where reading
// /proc/TID/status has the kernel format some fifty lines for each file operation. 0 when the kernel
// cannot say so; the caller then reads /proc.
static pid_t tgidFromPidfd(pid_t tid) {
    // As the kernel states them; the C library's headers here predate both.
    struct PidfdInfo {
        std::uint64_t mask;
        std::uint64_t cgroupid;
        std::uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
        std::int32_t exitCode;
    };
    static_assert(sizeof(PidfdInfo) == 64, "the first size the kernel accepts");
    constexpr unsigned kPidfdThread = O_EXCL;
    constexpr unsigned long kGetInfo = _IOWR(0xFF, 11, PidfdInfo);
    static std::atomic<bool> unsupported{false};
    if (unsupported.load(std::memory_order_relaxed)) return 0;
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, tid, kPidfdThread));
    if (fd < 0) {
        if (errno == EINVAL || errno == ENOSYS) unsupported = true;
        return 0;
    }
    PidfdInfo info{};
    int rc = ::ioctl(fd, kGetInfo, &info);
    int err = errno;
    ::close(fd);
    if (rc != 0) {
        if (err == ENOTTY || err == EINVAL) unsupported = true;
        return 0;
    }
    return static_cast<pid_t>(info.tgid);
}

pid_t Caller::tgid() {
    if (!tgid_) {
        tgid_ = 0;
        if (tid_ > 0) tgid_ = tgidFromPidfd(tid_);
        if (*tgid_ == 0 && tid_ > 0) {
            std::string status = readSmallFile("/proc/" + std::to_string(tid_) + "/status");
            auto at = status.find("\nTgid:");
            if (at != std::string::npos)
                tgid_ = static_cast<pid_t>(strtol(status.c_str() + at + 6, nullptr, 10));
            // The leader's status names the process itself, which saves reading its comm later.
            if (*tgid_ == tid_ && status.compare(0, 5, "Name:") == 0) {
                auto start = status.find_first_not_of(" \t", 5);
                auto end = status.find('\n');
                if (start != std::string::npos && end != std::string::npos && start <= end)
                    comm_ = status.substr(start, end - start);
            }
        }
    }
    return *tgid_;
}

const std::string& Caller::comm() {
    if (!comm_) {
        pid_t p = tgid();
        if (!comm_) {
            std::string c = p > 0 ? readSmallFile("/proc/" + std::to_string(p) + "/comm") : std::string();
            while (!c.empty() && c.back() == '\n') c.pop_back();
            comm_ = std::move(c);
        }
    }
    return *comm_;
}

std::string CV_intToHexString(std::uint32_t value) {
    char buf[16];
    snprintf(buf, sizeof buf, "%x", value);
    return buf;
}

std::uint32_t CV_hexStringToInt(std::string_view text) {
    std::uint32_t v = 0;
    // "%2X" pads a one-digit id with a space; the padding is not a digit.
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    for (char c : text) {
        if (c == '\0') break;
        std::uint32_t digit =
            c < ':' ? static_cast<std::uint32_t>(c - '0') : static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
        v = v * 16 + digit;
    }
    return v;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    return out;
}

struct Brindle::Question {
    std::string path;
    std::condition_variable answered;  // waits under eventLock_
    bool settled = false;              // an answer arrived (or the questions were released)
    Answer answer = Answer::allow;     // once settled
    bool fetching = false;             // answered "being fetched": waits for a second answer
    const char* released = nullptr;    // why nobody will answer, when the questions were released
    bool expired = false;              // the asker gave up waiting
    std::chrono::steady_clock::time_point expiredAt;
};

struct Brindle::Pending {
    _pwevent record;
    std::shared_ptr<Question> question;  // null for reports
};

Brindle::Brindle(std::chrono::milliseconds answerTimeout, std::size_t maxQueued)
    : answerTimeout_(answerTimeout), maxQueued_(maxQueued) {}

Brindle::~Brindle() {
    BrindleStop();
}

void Brindle::BrindleHandleCommand(const _pwevent& record) {
    if (record.userClient != pwuc_Brindle) {
        GW_WARN("Ignoring a command of client family %u", record.userClient);
        return;
    }
    // A text without a terminator inside its field is longer than the field can carry; acting on
    // its first 1024 bytes would act on another path.
    bool path1Fits = memchr(record.path1, 0, kPathFieldSize) != nullptr;
    bool path2Fits = memchr(record.path2, 0, kPathFieldSize) != nullptr;
    std::string path1 = path1Fits ? std::string(record.path1) : std::string();
    switch (record.action) {
        case sa_AddWatchPath:
            if (!path1Fits) {
                GW_WARN("Refusing a watch path that does not fit its field");
                return;
            }
            AddWatchPath(path1);
            return;
        case sa_RemoveWatchPath:
            GW_DEBUG("Remove-watch-path command ignored");
            return;
        case sa_StartWatching:
            if (!path1Fits) {
                GW_WARN("Refusing a start command with an unterminated process id");
                return;
            }
            ignorePid_.store(static_cast<pid_t>(CV_hexStringToInt(path1)), std::memory_order_release);
            active_.store(true, std::memory_order_release);
            GW_INFO("Watching started; ignoring process %d", static_cast<int>(ignorePid()));
            return;
        case sa_StopWatching:
            releaseAllQuestions("watching stopped");
            GW_INFO("Watching stopped");
            return;
        case sa_AcknowledgeDelete:
            if (!path1Fits || !path2Fits) {
                GW_WARN("Ignoring an answer with an unterminated text");
                return;
            }
            {
                std::string_view text(record.path2);
                Answer a = text == kAnswerRefuse        ? Answer::refuse
                           : text == kAnswerDownloading ? Answer::fetching
                           : text == kAnswerFailed      ? Answer::failed
                           : text == kAnswerTimedOut    ? Answer::timedOut
                                                        : Answer::allow;
                acknowledge(path1, a);
                return;
            }
        default:
            GW_WARN("Ignoring a command with unknown action %u", record.action);
            return;
    }
}

void Brindle::BrindleEventRead(_pwevent& out, std::chrono::microseconds wait,
                               const std::function<bool()>& stopWaiting) {
    if (BrindleEventReadMany(&out, 1, wait, stopWaiting) == 0) memset(&out, 0, sizeof out);
}

std::size_t Brindle::BrindleEventReadMany(_pwevent* out, std::size_t max, std::chrono::microseconds wait,
                                          const std::function<bool()>& stopWaiting) {
    std::size_t taken = 0;
    std::unique_lock lock(eventLock_);
    auto deadline = std::chrono::steady_clock::now() + wait;
    auto stopped = [&] { return stopWaiting && stopWaiting(); };
    while (taken < max) {
        if (stopped()) break;
        // Only the first is waited for: the rest is what came meanwhile.
        if (eventList_.empty() && (taken > 0 || !eventQueued_.wait_until(lock, deadline, [&] {
                return !eventList_.empty() || stopped();
            })))
            break;
        if (stopped()) break;  // the reader is no longer wanted: an event stays for the next one
        Pending p = std::move(eventList_.front());
        eventList_.pop_front();
        queueDroppedNoticeLocked();  // taking one out made room
        if (p.question) {
            if (p.question->expired || p.question->settled) continue;  // its asker has gone on
            awaiting_.push_back(p.question);
        }
        out[taken++] = p.record;
    }
    return taken;
}

void Brindle::wakeReaders() {
    // Taking the lock orders the caller's change of the readers' condition before their next look at it.
    std::lock_guard lock(eventLock_);
    eventQueued_.notify_all();
}

void Brindle::releaseAllQuestions(const char* why) {
    active_.store(false, std::memory_order_release);
    std::lock_guard lock(eventLock_);
    size_t released = 0;
    auto release = [&](const std::shared_ptr<Question>& q) {
        if (q && !q->settled && !q->expired) {
            q->settled = true;
            q->answer = Answer::allow;
            q->released = why;
            q->answered.notify_all();
            ++released;
        }
    };
    for (auto& q : awaiting_) release(q);
    awaiting_.clear();
    for (auto& p : eventList_) release(p.question);
    eventList_.erase(std::remove_if(eventList_.begin(), eventList_.end(),
                                    [](const Pending& p) { return p.question != nullptr; }),
                     eventList_.end());
    queueDroppedNoticeLocked();
    if (released) GW_INFO("%s: %zu waiting operations are decided from their records", why, released);
}

void Brindle::BrindleStop() {
    releaseAllQuestions("driver stopping");
    {
        std::lock_guard lock(eventLock_);
        eventList_.clear();
        dropped_ = {};
    }
    std::unique_lock lock(watchLock_);
    for (const auto& w : watchList_) {
        for (const auto& i : w.ignore) GW_DEBUG("Removing %s from ignore list", printable(i).c_str());
        GW_DEBUG("Removing %s from Watch list", printable(w.path).c_str());
    }
    watchList_.clear();
}

void Brindle::clientClosed() {
    releaseAllQuestions("application gone");
}

bool Brindle::AddWatchPath(std::string_view path) {
    if (path.empty() || path[0] != '/') {
        GW_WARN("Refusing watch path \"%s\": not an absolute path", printable(path).c_str());
        return false;
    }
    if (path.size() >= kPathFieldSize) {
        GW_WARN("Refusing a watch path of %zu bytes: longer than a path field", path.size());
        return false;
    }
    WatchPath node;
    node.path.assign(path);
    if (node.path.back() != '/') node.path.push_back('/');
    std::unique_lock lock(watchLock_);
    for (const auto& w : watchList_) {
        if (tw::platform::sameNameIgnoringCase(w.path, node.path)) return true;  // already watched
    }
    for (const char* folder : kVolumeSystemFolders)
        node.ignore.insert(node.ignore.begin(), node.path + folder + "/");
    GW_INFO("Added %s to watch list", printable(node.path).c_str());
    watchList_.push_back(std::move(node));
    return true;
}

bool Brindle::InterestingFile(std::string_view path) const {
    std::shared_lock lock(watchLock_);
    for (auto w = watchList_.rbegin(); w != watchList_.rend(); ++w) {
        auto rest = restInside(path, w->path);
        if (!rest) continue;
        return !ignoredInside(w->path, w->ignore, *rest);
    }
    return false;
}

std::optional<std::string> Brindle::watchFolderOf(std::string_view path) const {
    std::shared_lock lock(watchLock_);
    for (auto w = watchList_.rbegin(); w != watchList_.rend(); ++w) {
        auto rest = restInside(path, w->path);
        if (!rest) continue;
        if (ignoredInside(w->path, w->ignore, *rest)) return std::nullopt;
        return w->path.substr(0, w->path.size() - 1);
    }
    return std::nullopt;
}

bool Brindle::isIndexer(const std::string& comm) {
    for (const char* n : kIndexerNames)
        if (comm == n) return true;
    return false;
}

bool Brindle::ignoredCaller(Caller& caller) const {
    pid_t ignore = ignorePid();
    return ignore != 0 && caller.tgid() == ignore;
}

bool Brindle::refusesLink(Caller& caller, std::string_view path) const {
    return active() && InterestingFile(path) && !ignoredCaller(caller);
}

int Brindle::refusesNewName(Caller& caller, std::string_view path, std::string_view name) {
    bool badName = !tw::platform::isValidUtf8(name);
    // The application sees the path in a record field, which keeps a terminator.
    bool tooLong = path.size() >= kPathFieldSize;
    if ((!badName && !tooLong) || !InterestingFile(path) || ignoredCaller(caller)) return 0;
    if (badName)
        GW_INFO("Refusing the name \"%s\": it is not UTF-8, so it could never be synchronised",
                printable(name).c_str());
    else
        GW_INFO("Refusing \"%s...\": its path of %zu bytes is too long to be synchronised",
                printable(path.substr(0, 200)).c_str(), path.size());
    return badName ? EILSEQ : ENAMETOOLONG;
}

int Brindle::BrindleActiveListener(Access access, Caller& caller, std::string_view path,
                                   ItemRecords* records) {
    if (access == Access::listDirectory) {
        if (!active()) return 0;
        std::string withSlash(path);
        withSlash.push_back('/');
        auto folder = watchFolderOf(withSlash);
        if (folder && !ignoredCaller(caller))
            QueueInformation(kauth_FILEOP_OPEN, path,
                             CV_intToHexString(static_cast<std::uint32_t>(caller.tgid())), *folder);
        return 0;
    }
    // The application stopped, or never started since this daemon did: its mounts are still
    // synchronised folders whose records stand, whether or not the watch list names them yet.
    if (!active()) return decideAlone(access, caller, path, records, "watching is inactive");
    if (!InterestingFile(path) || ignoredCaller(caller)) return 0;
    const char* why = nullptr;
    if (access == Access::deleteItem) {
        // Decided here from the item's record, as the application would: asking costs a round trip
        // through the application, which, to answer, would look the item up in the very folder this
        // operation holds locked. The application gets what it needs for the delete as a report.
        if (records) {
            if (auto announcement = records->announcement()) {
                if (int err = decideAlone(access, caller, path, records, "the record says so")) return err;
                QueueInformation(kauth_FILEOP_WILL_DELETE, path, *announcement,
                                 watchFolderOf(path).value_or(""));
                return 0;
            }
        }
        Answer a = askApplication(kauth_FILEOP_DELETE, path, "", &why);
        if (a == Answer::none) return decideAlone(access, caller, path, records, why);
        return a == Answer::refuse ? EROFS : 0;
    }
    // Indexers are never asked (nor reported), but content that is not here is no more theirs to
    // read as empty bytes than anyone's: their reads are decided from the record.
    if (isIndexer(caller.comm())) return decideAlone(access, caller, path, records, "indexer");
    // Writes and new names are decided from the records alone: they need nothing the application has
    // beyond them. Only content that is not here needs the application (it alone can fetch it).
    if (records) {
        bool reads = access == Access::readData || access == Access::readWriteData;
        if (!reads || records->item().content != ItemRecord::Content::notLocal)
            return decideAlone(access, caller, path, records, "the record says so");
    }
    if (access == Access::readData || access == Access::readWriteData) {
        Answer a = askApplication(kauth_FILEOP_ISGHOST, path,
                                  CV_intToHexString(static_cast<std::uint32_t>(caller.tgid())), &why);
        if (a == Answer::none) return decideAlone(access, caller, path, records, why);
        if (a == Answer::refuse) return EPERM;
        // Never empty bytes in place of content that could not be had.
        if (a == Answer::failed) return EIO;
        if (a == Answer::timedOut) return ETIMEDOUT;
        // The write side of a read-write open is the record's, as every write is: the answer stood for
        // the content (the application lets it be read once it is here), the read-only flag says the rest.
        if (records && access == Access::readWriteData) {
            if (!records->item().readOnly) return 0;
            logRefusal(path, "a write of a read-only item", "the record says so");
            return EROFS;
        }
    }
    // Without records (only the filter's own tests call it so): opening for reading and writing asks
    // both, as a read-only item must not be changed through a descriptor that can also read.
    if (access == Access::writeData || access == Access::readWriteData) {
        Answer a = askApplication(kauth_FILEOP_ISREADONLY, path, "", &why);
        if (a == Answer::none) return decideAlone(Access::writeData, caller, path, records, why);
        if (a == Answer::refuse) return EROFS;
    }
    if (access == Access::createItem) {
        Answer a = askApplication(kauth_FILEOP_ISREADONLY, path, kNewItem, &why);
        if (a == Answer::none) return decideAlone(access, caller, path, records, why);
        if (a == Answer::refuse) return EROFS;
    }
    return 0;
}

int Brindle::decideWithoutApplication(Access access, Caller& caller, std::string_view path,
                                      ItemRecords* records, const char* why) {
    if (access == Access::listDirectory) return 0;
    return decideAlone(access, caller, path, records, why);
}

int Brindle::decideAlone(Access access, Caller& caller, std::string_view path, ItemRecords* records,
                         const char* why) {
    if (!records) return 0;
    // As the application answers: a read needs the content here; a write needs an item the server
    // lets the user change, with its content here; an item it never classified (a new file) is
    // writable where its folder is; a new name needs a folder that is not read-only; a delete, an
    // item that is not read-only.
    int err = 0;
    const char* what = "";
    auto writeRefusal = [&](const ItemRecord& item) {
        if (item.readOnly) return "a write of a read-only item";
        if (item.content == ItemRecord::Content::notLocal)
            return "a write of an item whose content is not here";
        if (item.content == ItemRecord::Content::unclassified && records->folder().readOnly)
            return "a write in a read-only folder";
        return static_cast<const char*>(nullptr);
    };
    switch (access) {
        case Access::readData:
        case Access::readWriteData: {
            ItemRecord item = records->item();
            if (item.content == ItemRecord::Content::notLocal) {
                err = EPERM;
                what = "a read of an item whose content is not here";
            } else if (access == Access::readWriteData) {
                if (const char* w = writeRefusal(item)) {
                    err = EROFS;
                    what = w;
                }
            }
            break;
        }
        case Access::writeData:
            if (const char* w = writeRefusal(records->item())) {
                err = EROFS;
                what = w;
            }
            break;
        case Access::createItem:
            if (records->folder().readOnly) {
                err = EROFS;
                what = "a new item in a read-only folder";
            }
            break;
        case Access::deleteItem:
            if (records->item().readOnly) {
                err = EROFS;
                what = "a removal of a read-only item";
            }
            break;
        case Access::listDirectory:
            break;
    }
    // The application's own operations (its downloads into placeholders) always pass; asked last,
    // because it costs a look into /proc and most operations are not refused.
    if (err == 0 || ignoredCaller(caller)) return 0;
    logRefusal(path, what, why);
    return err;
}

void Brindle::logRefusal(std::string_view path, const char* what, const char* why) {
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(refusalLogMutex_);
        if (refusalLogged_.size() >= kRefusalLogPaths) {
            for (auto it = refusalLogged_.begin(); it != refusalLogged_.end();)
                it = now - it->second >= kRefusalLogInterval ? refusalLogged_.erase(it) : std::next(it);
        }
        auto it = refusalLogged_.find(std::string(path));
        if (it != refusalLogged_.end()) {
            if (now - it->second < kRefusalLogInterval) return;
            it->second = now;
        } else if (refusalLogged_.size() < kRefusalLogPaths) {
            refusalLogged_.emplace(std::string(path), now);
        } else {
            // Too many paths refused within a minute to remember each: one line a minute for all of them.
            static std::atomic<std::int64_t> lastSummary{0};
            std::int64_t seconds =
                std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
            std::int64_t last = lastSummary.load();
            if (seconds - last < 60 || !lastSummary.compare_exchange_strong(last, seconds)) return;
            GW_WARN("Refusing operations on many items without the application; not logged one by one");
            return;
        }
    }
    GW_WARN("Refused %s: \"%s\" (%s; decided from its record)", what, printable(path.substr(0, 1100)).c_str(),
            why);
}

void Brindle::BrindlePassiveListener(ReceiveActions op, Caller& caller, std::string_view path1,
                                     std::string_view path2) {
    if (!active()) return;
    std::optional<std::string> folder;
    switch (op) {
        case kauth_FILEOP_RENAME:
        case kauth_FILEOP_EXCHANGE:
            folder = watchFolderOf(path1);
            if (!folder) folder = watchFolderOf(path2);
            break;
        case kauth_FILEOP_DELETE:
        case kauth_FILEOP_CLOSE:
        case kauth_FILEOP_CREATE_FOLDER:
            folder = watchFolderOf(path1);
            break;
        default:
            return;
    }
    if (!folder || ignoredCaller(caller)) return;
    QueueInformation(op, path1, path2, *folder);
}

void Brindle::noteDroppedLocked(std::string_view folder) {
    if (!dropped_.pending) {
        dropped_.pending = true;
        dropped_.folder.assign(folder);
        dropped_.count = 0;
    } else if (dropped_.folder != folder) {
        dropped_.folder.clear();  // more than one folder: the application looks at all of them
    }
    ++dropped_.count;
}

void Brindle::queueDroppedNoticeLocked() {
    if (!dropped_.pending || eventList_.size() >= maxQueued_) return;
    Pending p;
    memset(&p.record, 0, sizeof p.record);
    p.record.userClient = pwuc_Brindle;
    p.record.action = kauth_FILEOP_REPORTS_DROPPED;
    memcpy(p.record.path1, dropped_.folder.data(), dropped_.folder.size());  // fits: a watch path does
    eventList_.push_back(std::move(p));
    eventQueued_.notify_all();
    GW_INFO("%zu reports were lost; the application is told to look for changes in %s itself", dropped_.count,
            dropped_.folder.empty() ? "every watched folder" : printable(dropped_.folder).c_str());
    dropped_ = {};
}

bool Brindle::QueueInformation(ReceiveActions action, std::string_view path1, std::string_view path2,
                               std::string_view folder) {
    bool fits = path1.size() < kPathFieldSize && path2.size() < kPathFieldSize;
    Pending p;
    memset(&p.record, 0, sizeof p.record);
    if (fits) {
        p.record.userClient = pwuc_Brindle;
        p.record.action = action;
        memcpy(p.record.path1, path1.data(), path1.size());
        memcpy(p.record.path2, path2.data(), path2.size());
    }
    std::lock_guard lock(eventLock_);
    if (!active()) return false;
    // A folder being listed changes nothing: a listing report that cannot be handed over loses no
    // change, and telling the application to look for lost ones would have it list the folder again,
    // which reports another listing that does not fit, for ever.
    const bool change = action != kauth_FILEOP_OPEN;
    if (!fits && !change) return false;
    if (!fits) {
        GW_WARN("Not reporting action %u for \"%s...\": a path does not fit its field", action,
                printable(path1.substr(0, 200)).c_str());
        noteDroppedLocked(folder);
        queueDroppedNoticeLocked();
        return false;
    }
    // A notice still waiting for room goes ahead of this report: the application learns of the gap
    // before what came after it.
    queueDroppedNoticeLocked();
    if (eventList_.size() >= maxQueued_) {
        if (!change) return false;
        if (!dropped_.pending)
            GW_WARN("Event queue full (%zu events); reports are dropped until the application reads",
                    eventList_.size());
        noteDroppedLocked(folder);
        return false;
    }
    eventList_.push_back(std::move(p));
    eventQueued_.notify_all();
    return true;
}

Brindle::Answer Brindle::askApplication(ReceiveActions action, std::string_view path, std::string_view path2,
                                        const char** why) {
    if (path.size() >= kPathFieldSize || path2.size() >= kPathFieldSize) {
        GW_WARN("Not asking about \"%s...\": the path does not fit its field",
                printable(path.substr(0, 200)).c_str());
        *why = "the path does not fit a record field";
        return Answer::none;
    }
    auto q = std::make_shared<Question>();
    q->path.assign(path);
    Pending p;
    memset(&p.record, 0, sizeof p.record);
    p.record.userClient = pwuc_Brindle;
    p.record.action = action;
    memcpy(p.record.path1, path.data(), path.size());
    memcpy(p.record.path2, path2.data(), path2.size());
    p.question = q;

    std::unique_lock lock(eventLock_);
    if (!active()) {
        *why = "watching is inactive";
        return Answer::none;
    }
    queueDroppedNoticeLocked();
    if (eventList_.size() >= maxQueued_) {
        // Logged once per spell with the reports dropped alongside, and with the decision if it refuses.
        GW_DEBUG("Event queue full; not asking about \"%s\"", printable(path).c_str());
        *why = "the event queue is full";
        return Answer::none;
    }
    eventList_.push_back(std::move(p));
    eventQueued_.notify_all();
    auto deadline = std::chrono::steady_clock::now() + answerTimeout_;
    bool waitingForContent = false;
    for (;;) {
        if (q->answered.wait_until(lock, deadline,
                                   [&] { return q->settled || (q->fetching && !waitingForContent); })) {
            if (q->settled) {
                if (q->released) {
                    *why = q->released;
                    return Answer::none;
                }
                return q->answer;
            }
            // The content is being fetched: the application answers again once it is here, or when
            // the open has waited as long as it may (a limit it keeps); this bound only outlives it.
            waitingForContent = true;
            deadline = std::chrono::steady_clock::now() + kContentWaitCap;
            continue;
        }
        break;
    }
    q->expired = true;
    q->expiredAt = std::chrono::steady_clock::now();
    GW_WARN("No answer within %lld ms for action %u on \"%s\"; deciding from its record",
            static_cast<long long>(answerTimeout_.count()), action, printable(path).c_str());
    *why = "no answer in time";
    return Answer::none;
}

void Brindle::acknowledge(const std::string& path, Answer answer) {
    std::lock_guard lock(eventLock_);
    auto now = std::chrono::steady_clock::now();
    // Forget expired questions whose answer is long overdue.
    awaiting_.erase(std::remove_if(awaiting_.begin(), awaiting_.end(),
                                   [&](const std::shared_ptr<Question>& q) {
                                       return q->expired && now - q->expiredAt > kTombstoneLife;
                                   }),
                    awaiting_.end());
    // The application sends an empty path when it could not decode ours; it still answers in order.
    // A first answer settles the oldest question about the path still without one; the answer that
    // ends a wait for content, the oldest question waiting so.
    bool ending = answer != Answer::fetching;
    auto it = path.empty()
                  ? awaiting_.begin()
                  : std::find_if(awaiting_.begin(), awaiting_.end(), [&](const std::shared_ptr<Question>& q) {
                        return q->path == path && (!q->fetching || ending);
                    });
    if (ending && !path.empty()) {
        auto fetching =
            std::find_if(awaiting_.begin(), awaiting_.end(),
                         [&](const std::shared_ptr<Question>& q) { return q->path == path && q->fetching; });
        if (fetching != awaiting_.end()) it = fetching;
    }
    if (it == awaiting_.end()) {
        GW_WARN("Answer for \"%s\" matches no question read", printable(path).c_str());
        return;
    }
    std::shared_ptr<Question> q = *it;
    if (answer == Answer::fetching) {
        // Stays in line for the answer that ends the wait.
        if (!q->expired) {
            q->fetching = true;
            q->answered.notify_all();
        }
        return;
    }
    awaiting_.erase(it);
    if (q->expired) {
        GW_INFO("Late answer for \"%s\" arrived after the operation went on", printable(path).c_str());
        return;
    }
    q->settled = true;
    q->answer = answer;
    q->answered.notify_all();
}

std::size_t Brindle::queuedEvents() const {
    std::lock_guard lock(eventLock_);
    return eventList_.size();
}

}  // namespace gw
