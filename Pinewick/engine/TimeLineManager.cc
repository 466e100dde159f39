#include "Pinewick/engine/TimeLineManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <latch>
#include <optional>
#include <typeinfo>
#include <unordered_set>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/Log.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TLDownloadFile.h"
#include "Pinewick/engine/TLUpload.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/casefold.h"
#include "platform/fd.h"
#include "platform/paths.h"
#include "platform/places.h"
#include "platform/pwnames.h"
#include "platform/utf8.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace tw {
namespace {

constexpr size_t kReplayRead = 2048;
// A record longer than one read (long paths) is read with a growing window up to this size, so a
// legitimate pending move with two long paths is never lost.
constexpr size_t kReplayMaxRecord = 64 * 1024;
constexpr std::string_view kRecordMarker = "}\n\r\n";

// Attribute text of a record, accepting the human-readable dump form written by older versions.
std::optional<std::string> recordAttributes(const std::string& record) {
    auto block = TLEvent::extractBlock(record, "ExtentedAttributes");
    if (!block) return std::nullopt;
    constexpr std::string_view dumpHeader = "Corvane Extended Attributes: ";
    if (block->compare(0, dumpHeader.size(), dumpHeader) == 0) block->erase(0, dumpHeader.size());
    return block;
}

// Keeps bytes that could not be replayed beside the timeline file for inspection.
void keepCorrupt(const std::string& timelinePath, const std::string& bytes) {
    std::string path = timelinePath + ".corrupt-" + std::to_string(::time(nullptr));
    if (!platform::writeFileAtomically(path, bytes, 0600)) {
        log().logFatal("Could not keep unreadable replay commands in " + path);
        return;
    }
    log().logFatal("Unreadable replay commands kept in " + path);
}

}  // namespace

TimeLineManager::TimeLineManager(std::string supportFolder, PartsSource parts)
    : supportFolder_(std::move(supportFolder)),
      partsSource_(std::move(parts)),
      eventSyncQueue_(platform::DispatchQueue::concurrent("com.meridot.tidewell.eventsync")),
      syncQueue_("syncQueue"),
      downloadQueue_("downloadQueue") {
    if (!supportFolder_.empty() && supportFolder_.back() != '/') supportFolder_ += '/';
    // Suspended queues hold their operations until the first resume, like the event list.
    syncQueue_.setSuspended(true);
    downloadQueue_.setSuspended(true);
    loadTimeLine();
    journalThread_ = std::thread([this] { journalWriter(); });
    heldCloses_ = std::make_unique<HeldCloses>([this](const std::string& path) { addCloseEvent(path); },
                                               [this] {
                                                   std::lock_guard lock(wakeMutex_);
                                                   wake_.notify_all();
                                               });
}

TimeLineManager::~TimeLineManager() {
    pauseTimeLine();
    {
        std::unique_lock lock(wakeMutex_);
        wake_.wait(lock, [this] { return !eventQueueRunning_; });
    }
    // Once the loop, which asks it, has ended. What it still holds is dropped, not queued: the change
    // scan finds those files at the next start.
    heldCloses_.reset();
    // A listing pass still running queues what it finds on this timeline, so it must end before the
    // members it uses go.
    do syncQueue_.cancelAllOperations();
    while (!syncQueue_.waitUntilAllOperationsAreFinished(1s));
    {
        std::lock_guard lock(journalMutex_);
        journalStop_ = true;
        journalCv_.notify_all();
    }
    if (journalThread_.joinable()) journalThread_.join();
}

EventContext& TimeLineManager::context() {
    std::call_once(contextOnce_, [this] {
        parts_.emplace(partsSource_());
        context_ = std::make_unique<EventContext>(EventContext{
            *this, parts_->records, parts_->volumes, parts_->server, parts_->statusBar, parts_->restorer});
    });
    return *context_;
}

void TimeLineManager::eventAppend(std::shared_ptr<TLEvent> event) {
    if (!event) return;
    // The record is taken on the producer's thread: the writer never touches a live event. Only deletes
    // and moves have one; other kinds are not asked until shutdown.
    std::optional<std::string> record;
    if (dynamic_cast<TLDelete*>(event.get()) || dynamic_cast<TLMove*>(event.get()))
        record = event->timelineSave();
    const TLEvent* key = event.get();
    eventSyncQueue_->barrierSync([&] {
        if (record) setRecordLocked(key, std::move(*record), JournalPlace::queued);
        eventQueue_.push_back(std::move(event));
    });
    if (record) {
        // The write that makes this record durable; the event waits for that one alone, not for the
        // writes that later drop finished events (a burst of deletes would otherwise wait for a
        // rewrite of the whole file each).
        uint64_t generation = journalChanged();
        eventSyncQueue_->barrierSync([&] {
            if (journalKeys_.count(key)) recordedAt_[key] = generation;
        });
    }
    std::lock_guard lock(wakeMutex_);
    wake_.notify_all();
}

void TimeLineManager::setRecordLocked(const TLEvent* event, std::string record, JournalPlace place) {
    auto it = journalKeys_.find(event);
    if (it != journalKeys_.end()) {
        if (it->second.first == place) {
            journal_[it->second] = std::move(record);
            return;
        }
        journal_.erase(it->second);
        journalKeys_.erase(it);
    }
    JournalKey key{place, ++journalOrder_};
    journalKeys_.emplace(event, key);
    journal_.emplace(key, std::move(record));
}

bool TimeLineManager::eraseRecordLocked(const TLEvent* event) {
    auto it = journalKeys_.find(event);
    if (it == journalKeys_.end()) return false;
    journal_.erase(it->second);
    journalKeys_.erase(it);
    return true;
}

std::string TimeLineManager::journalContent() const {
    std::string content;
    eventSyncQueue_->sync([&] {
        // Reports wait while this runs: one allocation for the whole file, not a regrowth (and a copy of
        // everything so far) every few records of a burst's thousands.
        size_t size = 0;
        for (const auto& entry : journal_) size += entry.second.size() + 2;
        content.reserve(size);
        // Set-aside events are older than anything still queued: they replay first (the key's order).
        for (const auto& [key, record] : journal_) {
            content += record;
            content += "\r\n";
        }
    });
    return content;
}

uint64_t TimeLineManager::journalChanged() {
    std::lock_guard lock(journalMutex_);
    uint64_t generation = ++journalWanted_;
    journalCv_.notify_all();
    return generation;
}

void TimeLineManager::journalWriter() {
    // Each write is the whole file: in a burst of thousands of reports, writing as fast as changes came
    // rewrote megabytes many times a second, a third of the client's time while programs ran. Writes
    // are kept this far apart, so that each takes in what came meanwhile; an event waits at most this
    // much longer for its record to be on disk before it runs.
    constexpr auto kLeastGap = 50ms;
    std::chrono::steady_clock::time_point lastWrite;
    std::unique_lock lock(journalMutex_);
    for (;;) {
        journalCv_.wait(lock, [this] { return journalStop_ || journalWanted_ > journalWritten_; });
        if (journalWanted_ == journalWritten_) return;  // stopping with everything written
        journalCv_.wait_until(lock, lastWrite + kLeastGap, [this] { return journalStop_; });
        uint64_t generation = journalWanted_;
        lock.unlock();
        // Everything changed up to `generation` is in the list already, so one write covers it all.
        std::string content = journalContent();
        std::string path = timelinePath();
        std::unique_lock file(journalFileMutex_);
        if (!content.empty()) platform::makeFolders(supportFolder_);
        if (content.empty()) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                log().logFatal("Could not remove the timeline " + path);
        } else if (!platform::writeFileAtomically(path, content, 0600)) {
            // Waiting events still run: holding them back would stop all syncing on a full disk.
            log().logFatal("Could not save the timeline to " + path);
        }
        file.unlock();
        lastWrite = std::chrono::steady_clock::now();
        ++journalWrites_;
        lock.lock();
        journalWritten_ = generation;
        journalCv_.notify_all();
    }
}

bool TimeLineManager::waitForJournal(uint64_t target) {
    std::unique_lock lock(journalMutex_);
    while (journalWritten_ < target) {
        if (suspended_) return false;
        journalCv_.wait_for(lock, 100ms);
    }
    return true;
}

bool TimeLineManager::waitUntilDurable(std::chrono::milliseconds timeout) {
    std::unique_lock lock(journalMutex_);
    return journalCv_.wait_for(lock, timeout, [this] { return journalWritten_ >= journalWanted_; });
}

void TimeLineManager::addUploadEvent(const std::string& path) {
    auto event = std::make_shared<TLUpload>(path, false, *this);
    if (inIgnoreList(event->localPath)) return;
    eventAppend(std::move(event));
}

void TimeLineManager::addCloseEvent(const std::string& path) {
    log().logFunction("-> " + path);
    auto event = std::make_shared<TLUpload>(path, true, *this);
    if (!inIgnoreList(event->localPath)) eventAppend(std::move(event));
    log().logFunction("<- " + path);
}

void TimeLineManager::holdCloseEvent(const std::string& path) {
    heldCloses_->hold(path);
}

size_t TimeLineManager::heldCloseCount() const {
    return heldCloses_ ? heldCloses_->count() : 0;
}

void TimeLineManager::setCloseHold(std::chrono::milliseconds quiet, std::chrono::milliseconds ceiling) {
    heldCloses_->setTimes(quiet, ceiling);
}

void TimeLineManager::addCreateFolder(const std::string& path, bool contentFollows) {
    auto event = std::make_shared<TLCreateFolder>(path);
    event->contentFollows = contentFollows;
    if (event->precheck(*this)) eventAppend(std::move(event));
}

void TimeLineManager::addDeleteEvent(const std::string& path, const CorvaneExtendedAttributes& xAttrs) {
    heldCloses_->releaseAt({path});
    heldCloses_->noteActivity();
    auto event = std::make_shared<TLDelete>(path, xAttrs);
    if (event->precheck(context())) eventAppend(std::move(event));
}

void TimeLineManager::addMoveEvent(const std::string& from, const std::string& to,
                                   const CorvaneExtendedAttributes& xAttrs) {
    heldCloses_->releaseAt({from, to});
    heldCloses_->noteActivity();
    auto event = std::make_shared<TLMove>(from, to, xAttrs);
    event->moveAction = TLMove::moveActions::move;
    if (event->precheck(context())) eventAppend(std::move(event));
}

void TimeLineManager::addDownload(const std::string& path, const ServerFileObject& file) {
    downloadQueue_.addOperation([&context = context(), path, file] {
        TLDownloadFile::performAction(context.statusBar, context.server, path, file, std::nullopt);
    });
}

void TimeLineManager::addOutOfBandDownload(const std::string& localPathSource,
                                           const std::string& localPathDestination) {
    eventAppend(std::make_shared<TLOutOfBandDownload>(localPathSource, localPathDestination));
    log().logAudit("Changing move of file from  " + localPathSource + " to a download to " +
                   localPathDestination + " followed by server delete");
}

void TimeLineManager::addRecoverVolumeEvent(std::shared_ptr<VolumeDetail> volume) {
    if (!volume) return;
    platform::DispatchQueue::global(platform::QoS::background).async([&volumes = context().volumes, volume] {
        volumes.unmountVolume(volume);
    });
}

void TimeLineManager::addGhostCleanupEvent(const std::string& path) {
    log().logDebug("Ghost clean-up of " + path);
}

void TimeLineManager::addExchangeEvent(const std::string& file, const std::string& file2) {
    heldCloses_->releaseAt({file, file2});
    heldCloses_->noteActivity();
    eventAppend(std::make_shared<TLExchange>(std::make_shared<TLUpload>(file, true, *this),
                                             std::make_shared<TLUpload>(file2, true, *this)));
}

void TimeLineManager::addDownloadSync(const std::string& path, const ServerFileObject& file,
                                      bool checkExists) {
    eventAppend(std::make_shared<DownloadSync>(path, file, checkExists));
}

void TimeLineManager::setListingPasses(ListingPasses passes) {
    std::lock_guard lock(passesMutex_);
    passes_ = std::move(passes);
}

void TimeLineManager::requestChangeScan(const std::string& folder) {
    std::function<void(const std::string&)> scan;
    {
        std::lock_guard lock(passesMutex_);
        scan = passes_.scanForChanges;
    }
    if (scan) scan(folder);
}

void TimeLineManager::addSyncFolderEvent(const std::string& path, bool userRequest) {
    log().logFunction(prettyLog(path + " " + (userRequest ? "true" : "false"), __FILE__,
                                "addSyncFolderEvent(path:userRequest:)"));
    if (path == "/") {
        syncQueue_.addOperation([this] {
            std::function<void(EventContext&)> pass;
            {
                std::lock_guard lock(passesMutex_);
                pass = passes_.syncMappoints;
            }
            if (pass)
                pass(context());
            else
                log().logDebug("Listing of all mappoints requested");
        });
        return;
    }
    syncQueue_.addOperation(
        [this, path, userRequest] {
            std::function<void(EventContext&, const std::string&, bool)> pass;
            {
                std::lock_guard lock(passesMutex_);
                pass = passes_.performSync;
            }
            if (pass)
                pass(context(), path, userRequest);
            else
                log().logDebug("Listing requested for " + path);
        },
        userRequest ? platform::OperationQueue::Priority::high : platform::OperationQueue::Priority::normal);
}

void TimeLineManager::addListing(
    const std::string& path, double freshSeconds, bool urgent,
    std::function<void(ListingOutcome, std::chrono::steady_clock::duration)> done) {
    syncQueue_.addOperation(
        [this, path, freshSeconds, done = std::move(done)] {
            std::function<ListingOutcome(EventContext&, const std::string&, double)> list;
            std::function<void(EventContext&, const std::string&, bool)> automatic;
            {
                std::lock_guard lock(passesMutex_);
                list = passes_.listFolder;
                automatic = passes_.performSync;
            }
            auto started = std::chrono::steady_clock::now();
            ListingOutcome outcome = ListingOutcome::failed;
            if (list) {
                outcome = list(context(), path, freshSeconds);
            } else if (automatic) {
                automatic(context(), path, false);
                outcome = ListingOutcome::compared;
            } else {
                log().logDebug("Listing requested for " + path);
            }
            if (done) done(outcome, std::chrono::steady_clock::now() - started);
        },
        urgent ? platform::OperationQueue::Priority::high : platform::OperationQueue::Priority::normal);
}

std::shared_ptr<TLEvent> TimeLineManager::head() const {
    std::shared_ptr<TLEvent> h;
    eventSyncQueue_->sync([&] {
        if (!eventQueue_.empty()) h = eventQueue_.front();
    });
    return h;
}

namespace {

// Events that touch one file and nothing else, so that two on other paths may run side by side: an
// upload, or the delete of an item whose record says it was a file.
bool runsInALane(const std::shared_ptr<TLEvent>& e) {
    if (!e) return false;
    const TLEvent& event = *e;
    if (typeid(event) == typeid(TLUpload)) return true;
    if (typeid(event) != typeid(TLDelete)) return false;
    return static_cast<const TLDelete&>(event).xAttrs.ceaString.getAttribute(CEAString::keys::FileType) ==
           std::string(platform::kFileTypeRegular);
}

const std::string& pathOf(const TLEvent& event) {
    if (auto* upload = dynamic_cast<const TLUpload*>(&event)) return upload->localPath;
    return static_cast<const TLDelete&>(event).localPath;
}

}  // namespace

TimeLineManager::Lanes TimeLineManager::lanesFrom(const std::shared_ptr<TLEvent>& head) const {
    // Long enough to keep every lane busy, short enough that what follows is not held back long.
    constexpr size_t kMostEvents = 64;
    Lanes lanes;
    size_t limit = uploadsAtOnce_.load();
    if (limit < 2 || !runsInALane(head)) return lanes;
    eventSyncQueue_->sync([&] {
        if (eventQueue_.empty() || eventQueue_.front() != head) return;
        // Paths compared as the volume compares names: two spellings of one name are one file.
        std::vector<std::string> names{platform::foldedName(pathOf(*head))};
        lanes.push_back({head});
        size_t events = 1;
        for (size_t i = 1; i < eventQueue_.size() && events < kMostEvents; ++i, ++events) {
            const auto& next = eventQueue_[i];
            if (!runsInALane(next)) break;
            // One set aside waits for its own time.
            if (std::any_of(parked_.begin(), parked_.end(), [&](const Parked& p) { return p.event == next; }))
                break;
            std::string name = platform::foldedName(pathOf(*next));
            auto same = std::find(names.begin(), names.end(), name);
            if (same != names.end()) {
                lanes[static_cast<size_t>(same - names.begin())].push_back(next);
                continue;
            }
            if (lanes.size() == limit) break;
            // A file where a folder was, or the other way round: one must see the other done.
            if (std::any_of(names.begin(), names.end(), [&](const std::string& n) {
                    return platform::isInsideFolder(name, n) || platform::isInsideFolder(n, name);
                }))
                break;
            names.push_back(std::move(name));
            lanes.push_back({next});
        }
    });
    if (lanes.size() == 1 && lanes[0].size() == 1) lanes.clear();
    return lanes;
}

void TimeLineManager::runLane(const std::vector<std::shared_ptr<TLEvent>>& lane, size_t first) {
    for (size_t i = first; i < lane.size(); ++i) {
        const auto& event = lane[i];
        // A pause starts nothing new; what did not start stays queued in its place.
        if (suspended_ || !waitForItsRecord(event.get())) break;
        if (log().enabled(Logger::logLevels::debug)) log().logDebug("Running " + event->description());
        event->performAction(context());
        // It keeps its place and what follows it on its path waits with it.
        if (event->takeRunAgain()) {
            event->takeHandedBack();
            break;
        }
        // Gone from the list and the journal now, not when the slowest lane ends: kept any longer, a
        // quit or a crash meanwhile would replay a delete that was already sent or handed over.
        removeEvent(event);
    }
}

TimeLineManager::HeadRun TimeLineManager::performHead(const std::shared_ptr<TLEvent>& head) {
    head->performAction(context());
    if (!head->takeRunAgain()) {
        // Finished, even if a pause came meanwhile: run again, a delete that was sent or handed to its
        // replacement would act a second time.
        removeEvent(head);
        return HeadRun::finished;
    }
    return head->takeHandedBack() ? HeadRun::handedBack : HeadRun::runAgain;
}

TimeLineManager::HeadRun TimeLineManager::performLanes(const std::shared_ptr<TLEvent>& head,
                                                       const Lanes& lanes) {
    // Each lane ends as its events do: every transfer has its own time-out and watch.
    std::latch done(static_cast<std::ptrdiff_t>(lanes.size() - 1));
    for (size_t i = 1; i < lanes.size(); ++i)
        platform::DispatchQueue::global(platform::QoS::normal).async([this, &lanes, &done, i] {
            runLane(lanes[i], 0);
            done.count_down();
        });
    HeadRun run = performHead(head);
    if (run == HeadRun::finished) runLane(lanes[0], 1);
    done.wait();
    return run;
}

std::optional<TimeLineManager::ItemClaim> TimeLineManager::claimItems(
    std::vector<std::pair<uint64_t, uint64_t>> items) {
    std::erase_if(items, [](const auto& item) { return item.second == 0; });
    std::sort(items.begin(), items.end());
    items.erase(std::unique(items.begin(), items.end()), items.end());
    std::lock_guard lock(claimsMutex_);
    for (const auto& item : items)
        if (claimed_.count(item)) return std::nullopt;
    claimed_.insert(items.begin(), items.end());
    return ItemClaim(this, std::move(items));
}

void TimeLineManager::releaseClaim(const std::vector<std::pair<uint64_t, uint64_t>>& items) {
    std::lock_guard lock(claimsMutex_);
    for (const auto& item : items) claimed_.erase(item);
}

TimeLineManager::ItemClaim::~ItemClaim() {
    if (owner_) owner_->releaseClaim(items_);
}

std::unique_lock<std::mutex> TimeLineManager::lockRecord(const std::string& path) {
    return std::unique_lock(recordLocks_[std::hash<std::string>{}(path) % recordLocks_.size()]);
}

bool TimeLineManager::waitForItsRecord(const TLEvent* event) {
    bool recorded = false;
    uint64_t target = 0;
    eventSyncQueue_->sync([&] {
        recorded = journalKeys_.count(event) != 0;
        auto at = recordedAt_.find(event);
        if (at != recordedAt_.end()) target = at->second;
    });
    if (!recorded) return true;
    if (target == 0) {
        // Recorded otherwise (replayed, or its generation not noted yet): whatever is wanted now.
        std::lock_guard lock(journalMutex_);
        target = journalWanted_;
    }
    // Not before its record is on disk: a crash while it runs must find it there.
    return waitForJournal(target);
}

void TimeLineManager::removeEvent(const std::shared_ptr<TLEvent>& event) {
    std::shared_ptr<TLEvent> done;  // released outside the lock
    bool recorded = false;
    eventSyncQueue_->barrierSync([&] {
        auto it = std::find(eventQueue_.begin(), eventQueue_.end(), event);
        if (it == eventQueue_.end()) return;
        done = std::move(*it);
        eventQueue_.erase(it);
        recorded = eraseRecordLocked(event.get());
        recordedAt_.erase(event.get());
        // One set aside that finished when it was tried again is no longer waiting.
        std::erase_if(parked_, [&](const Parked& p) { return p.event == event; });
    });
    // Dropped from the file in the background: a crash before that replays a finished event, which
    // finds its work done (a delete recognises the hand-over it made) and sends nothing.
    if (recorded) journalChanged();
}

void TimeLineManager::parkHead(int attempts) {
    std::string description, reason;
    eventSyncQueue_->barrierSync([&] {
        if (eventQueue_.empty()) return;
        std::shared_ptr<TLEvent> event = std::move(eventQueue_.front());
        eventQueue_.pop_front();
        description = event->description();
        reason = event->waitReason();
        // Back from an earlier setting aside: it keeps its place among the others and waits longer.
        for (auto it = parked_.begin(); it != parked_.end(); ++it) {
            if (it->event != event) continue;
            it->rounds++;
            it->attempts += attempts;
            auto wait = parkedRetryDelay_.load() * (1 << std::min(it->rounds, 5));
            it->nextTry = std::chrono::steady_clock::now() +
                          std::min<std::chrono::milliseconds>(wait, std::chrono::minutes(30));
            return;
        }
        // Its record moves with it, ahead of everything queued, as it replays first.
        auto keyed = journalKeys_.find(event.get());
        if (keyed != journalKeys_.end()) {
            std::string record = std::move(journal_[keyed->second]);
            setRecordLocked(event.get(), std::move(record), JournalPlace::parked);
        }
        parked_.push_back(Parked{std::move(event),
                                 std::chrono::steady_clock::now() + parkedRetryDelay_.load(), 0, attempts});
    });
    auto firstLine = description.substr(0, description.find('\r'));
    log().logWarning(firstLine + " waits: " + reason + " after " + std::to_string(attempts) +
                     " tries; what comes after it goes on meanwhile (tidewell status)");
}

bool TimeLineManager::unparkDue() {
    bool moved = false;
    eventSyncQueue_->barrierSync([&] {
        auto now = std::chrono::steady_clock::now();
        for (auto& p : parked_) {
            if (p.nextTry > now) continue;
            // Stays listed as waiting while it is tried again; goes at the head, in its old order.
            bool queued = false;
            for (const auto& e : eventQueue_) queued = queued || e == p.event;
            if (queued) continue;
            eventQueue_.push_front(p.event);
            p.nextTry = std::chrono::steady_clock::time_point::max();
            moved = true;
            return;
        }
    });
    return moved;
}

std::vector<TimeLineManager::WaitingEvent> TimeLineManager::waitingEvents() const {
    std::vector<WaitingEvent> out;
    eventSyncQueue_->sync([&] {
        for (const auto& p : parked_) {
            std::string d = p.event->description();
            out.push_back({d.substr(0, d.find('\r')), p.event->waitReason(), p.attempts});
        }
    });
    return out;
}

size_t TimeLineManager::eventCount() const {
    size_t n = 0;
    eventSyncQueue_->sync([&] { n = eventQueue_.size(); });
    return n;
}

std::vector<std::shared_ptr<TLEvent>> TimeLineManager::pendingEvents() const {
    std::vector<std::shared_ptr<TLEvent>> out;
    eventSyncQueue_->sync([&] {
        for (const auto& p : parked_) out.push_back(p.event);
        for (const auto& e : eventQueue_)
            if (std::find_if(parked_.begin(), parked_.end(), [&](const Parked& p) { return p.event == e; }) ==
                parked_.end())
                out.push_back(e);
    });
    return out;
}

std::vector<std::shared_ptr<TLEvent>> TimeLineManager::events() const {
    std::vector<std::shared_ptr<TLEvent>> out;
    eventSyncQueue_->sync([&] { out.assign(eventQueue_.begin(), eventQueue_.end()); });
    return out;
}

bool TimeLineManager::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(wakeMutex_);
    return wake_.wait_for(lock, timeout, [this] {
        return idle_ && !eventRunning_ && eventCount() == 0 && heldCloses_->count() == 0;
    });
}

void TimeLineManager::pauseTimeLine() {
    std::lock_guard control(controlMutex_);
    syncQueue_.setSuspended(true);
    downloadQueue_.setSuspended(true);
    std::lock_guard lock(wakeMutex_);
    suspended_ = true;
    wake_.notify_all();
}

void TimeLineManager::resumeTimeLine() {
    std::lock_guard control(controlMutex_);
    syncQueue_.setSuspended(false);
    downloadQueue_.setSuspended(false);
    std::lock_guard lock(wakeMutex_);
    suspended_ = false;
    wake_.notify_all();
    // A loop a pause is still winding down sees this resume when it ends and goes on; only the loop
    // itself, under this lock, decides that it ends.
    if (!eventQueueRunning_) runEventQueue();
}

void TimeLineManager::runEventQueue() {
    log().logFunction(prettyLog("->", __FILE__, "runEventQueue()"));
    eventQueueRunning_ = true;
    platform::DispatchQueue::global(platform::QoS::normal).async([this] { loop(); });
    log().logFunction(prettyLog("<-", __FILE__, "runEventQueue()"));
}

void TimeLineManager::loop() {
    for (;;) {
        runUntilPaused();
        std::lock_guard lock(wakeMutex_);
        if (!suspended_) continue;
        eventQueueRunning_ = false;
        wake_.notify_all();
        return;
    }
}

void TimeLineManager::runUntilPaused() {
    int runsAtHead = 0;
    const TLEvent* lastHead = nullptr;
    while (!suspended_) {
        if (heldCloses_->busy()) {
            // Programs are still writing: what they removed and renamed goes with what they wrote.
            idle_ = false;
            std::unique_lock lock(wakeMutex_);
            wake_.wait_for(lock, 50ms, [this] { return suspended_.load(); });
            continue;
        }
        unparkDue();
        std::shared_ptr<TLEvent> event = head();
        if (!event) {
            std::unique_lock lock(wakeMutex_);
            if (!idle_) {
                ++idleAutomationCount_;
                idle_ = true;
                wake_.notify_all();
            }
            // An append or a pause wakes the loop at once; the time-out is only a safety net.
            wake_.wait_for(lock, 1s, [this] { return suspended_ || eventCount() != 0; });
            continue;
        }
        idle_ = false;
        if (!waitForItsRecord(event.get())) break;
        auto lanes = lanesFrom(event);
        eventRunning_ = true;
        if (log().enabled(Logger::logLevels::debug)) log().logDebug("Running " + event->description());
        HeadRun run = lanes.empty() ? performHead(event) : performLanes(event, lanes);
        {
            std::lock_guard lock(wakeMutex_);
            eventRunning_ = false;
            wake_.notify_all();
        }
        if (event.get() != lastHead) runsAtHead = 0;
        lastHead = event.get();
        bool wasParked = false;
        eventSyncQueue_->sync([&] {
            for (const auto& p : parked_)
                if (p.event == event) wasParked = true;
        });
        event.reset();
        // Paused while it ran: an event cut short stays first and runs again from the start after
        // resume; one that finished is gone already.
        if (suspended_) break;
        if (run == HeadRun::handedBack) {
            // Another lane held its item; that one has ended now. A moment's rest keeps an item that
            // stays claimed (a file renamed back and forth) from spinning the loop.
            std::unique_lock lock(wakeMutex_);
            wake_.wait_for(lock, 20ms, [this] { return suspended_.load(); });
            continue;
        }
        if (run == HeadRun::runAgain) {
            // Its work did not reach the server. A few more tries in order; past that (a server or a
            // proxy that never gives a usable answer) it is set aside so that everything after it can
            // go on, and tried again later.
            // While the server cannot be reached at all, nothing behind it could go on either: the
            // tries are not counted, and it keeps its place.
            auto& env = context().server;
            bool reachable = env.networkAvailable() && env.allowServerCommunication();
            if (reachable) ++runsAtHead;
            if (reachable && (runsAtHead >= kRunsAtHead || wasParked)) {
                parkHead(runsAtHead);
                runsAtHead = 0;
                lastHead = nullptr;
                continue;
            }
            std::unique_lock lock(wakeMutex_);
            wake_.wait_for(lock, runAgainDelay(), [this] { return suspended_.load(); });
            continue;
        }
        runsAtHead = 0;
        lastHead = nullptr;
    }
}

bool TimeLineManager::inIgnoreList(const std::string& path) {
    context();
    return inIgnoreList(path, parts_->volumes, parts_->exclusions);
}

bool TimeLineManager::staysHereOnly(const std::string& path) {
    return inIgnoreList(path) || !ServerCommunicator::pathFitsServer(path);
}

bool TimeLineManager::inIgnoreList(const std::string& path, VolumeManager& volumes, ExclusionManager& rules) {
    std::string rel = volumes.ignoreMount(path);
    if (rel == path) return true;
    if (rules.evaluateRules(rel, 0, rules.excludeDirectories())) return true;
    if (rules.evaluateRules(rel, 0, rules.excludeFiles())) return true;

    auto starts = [&](std::string_view p) { return rel.compare(0, p.size(), p) == 0; };
    auto ends = [](const std::string& s, std::string_view p) {
        return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
    };
    auto contains = [&](std::string_view p) { return rel.find(p) != std::string::npos; };
    auto topLevel = [&](std::string_view name) {
        return rel == name || (starts(name) && rel.size() > name.size() && rel[name.size()] == '/');
    };

    if (ends(path, ".DS_Store")) return true;
    for (std::string_view name : pw::kVolumeSystemFolders)
        if (topLevel(name)) return true;
    for (std::string_view name : {".Trashes", ".Trash"})
        if (topLevel(name)) return true;
    // A Linux file manager's per-user trash at the top of a mount (".Trash-1000").
    if (starts(".Trash-")) return true;
    // The volume's icon and the desktop entry pointing at it (VolumeIcon.h), with the temporary files
    // they are written through: this machine's dress for the volume, not the user's files.
    if (starts(".VolumeIcon.")) return true;
    if (rel == ".directory" || starts(".directory.tmp-")) return true;
    if (starts("Icon?")) return true;
    if (contains(".download/")) return true;
    if (contains("/.com.google.")) return true;
    if (ends(rel, ".crdownload")) return true;
    if (ends(rel, ".part")) return true;
    if (contains("/~$")) return true;
    return contains("/.localized/");
}

void TimeLineManager::saveTimeLine() {
    // Queued now, so that they are written with the rest; reports that still come go straight on.
    heldCloses_->releaseAllAndStopHolding();
    pauseTimeLine();
    std::lock_guard control(controlMutex_);
    bool anyWaiting = false;
    eventSyncQueue_->sync([&] { anyWaiting = !parked_.empty(); });
    if (eventCount() == 0 && !anyWaiting) return;
    {
        // The running event ends by itself; a pause never interrupts it.
        std::unique_lock lock(wakeMutex_);
        wake_.wait(lock, [this] { return !eventRunning_; });
    }
    // Nothing runs now, so every event can be asked for its record afresh; the writer, which keeps the
    // file current anyway, then writes it once more and shutdown waits for that write.
    std::vector<std::pair<const TLEvent*, std::optional<std::string>>> fresh;
    for (const auto& event : events()) fresh.emplace_back(event.get(), event->timelineSave());
    std::vector<std::shared_ptr<TLEvent>> waiting;
    eventSyncQueue_->sync([&] {
        for (const auto& p : parked_) waiting.push_back(p.event);
    });
    for (const auto& event : waiting) fresh.emplace_back(event.get(), event->timelineSave());
    eventSyncQueue_->barrierSync([&] {
        std::unordered_map<const TLEvent*, std::optional<std::string>> byEvent(fresh.begin(), fresh.end());
        // Every record is placed afresh in queue order, as most events only now have one; one appended
        // meanwhile keeps what it was given.
        auto place = [&](const TLEvent* event, JournalPlace where) {
            auto it = byEvent.find(event);
            std::optional<std::string> record;
            if (it != byEvent.end()) {
                record = std::move(it->second);
                byEvent.erase(it);
            } else if (auto keyed = journalKeys_.find(event); keyed != journalKeys_.end()) {
                record = journal_[keyed->second];
            } else {
                return;
            }
            eraseRecordLocked(event);
            if (record)
                setRecordLocked(event, std::move(*record), where);
            else
                recordedAt_.erase(event);
        };
        std::unordered_set<const TLEvent*> parked;
        for (const auto& p : parked_) {
            parked.insert(p.event.get());
            place(p.event.get(), JournalPlace::parked);
        }
        for (const auto& event : eventQueue_)
            if (!parked.count(event.get())) place(event.get(), JournalPlace::queued);
    });
    journalChanged();
    if (!waitUntilDurable(10s)) {
        log().logFatal("Could not save the timeline to " + timelinePath());
        return;
    }
    // Pending work without a record still leaves a (then empty) file, as it always did.
    std::lock_guard file(journalFileMutex_);
    if (fs::exists(timelinePath())) return;
    // (The folder is made with the first record; uploads alone write none.)
    platform::makeFolders(supportFolder_);
    if (!platform::writeFileAtomically(timelinePath(), "", 0600))
        log().logFatal("Could not save the timeline to " + timelinePath());
}

ReplayResult TimeLineManager::readReplay(int fd) {
    ReplayResult result;
    struct stat st;
    off_t size = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    off_t offset = 0;
    std::string buf;
    while (offset < size) {
        // Find the end marker in raw bytes, so a read boundary inside a multi-byte character of a later
        // record can never make this one look corrupt.
        size_t window = kReplayRead;
        size_t markerAt = std::string::npos;
        for (;;) {
            buf.resize(window);
            ssize_t n = ::pread(fd, buf.data(), window, offset);
            if (n < 0 && errno == EINTR) continue;
            buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
            markerAt = buf.find(kRecordMarker);
            if (markerAt != std::string::npos || offset + static_cast<off_t>(buf.size()) >= size ||
                window >= kReplayMaxRecord || n <= 0)
                break;
            window *= 2;
        }
        if (markerAt == std::string::npos) {
            // No record can be read here: keep the rest for inspection and stop.
            log().logFatal("Corruption of replay commands detected");
            std::string rest(static_cast<size_t>(size - offset), '\0');
            ssize_t n = ::pread(fd, rest.data(), rest.size(), offset);
            rest.resize(n > 0 ? static_cast<size_t>(n) : 0);
            result.unreadable += rest;
            break;
        }
        std::string record = buf.substr(0, markerAt + kRecordMarker.size());
        offset += static_cast<off_t>(record.size());
        if (!platform::isValidUtf8(record)) {
            log().logFatal("Corruption of replay commands detected");
            result.unreadable += record;
            continue;
        }
        if (record.rfind("Delete {\n", 0) == 0) {
            auto p = TLEvent::extractLine(record, "Path");
            auto attrs = recordAttributes(record);
            if (p && attrs) {
                result.events.push_back(
                    std::make_shared<TLDelete>(*p, CorvaneExtendedAttributes(*p, *attrs)));
                continue;
            }
        } else if (record.rfind("Move {\n", 0) == 0) {
            auto from = TLEvent::extractLine(record, "From");
            auto to = TLEvent::extractLine(record, "To");
            auto attrs = recordAttributes(record);
            if (from && to && attrs) {
                result.events.push_back(
                    std::make_shared<TLMove>(*from, *to, CorvaneExtendedAttributes(*to, *attrs)));
                continue;
            }
        }
        log().logFatal("Replay Command detected unknown event " + record);
        result.unreadable += record;
    }
    return result;
}

void TimeLineManager::loadTimeLine() {
    std::string path = timelinePath();
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return;
    ReplayResult replay = readReplay(fd.get());
    fd.reset();
    std::string content;
    for (auto& e : replay.events) {
        auto record = e->timelineSave();
        if (record) {
            content += *record + "\r\n";
            setRecordLocked(e.get(), std::move(*record), JournalPlace::queued);
        }
        eventQueue_.push_back(std::move(e));
    }
    if (!replay.unreadable.empty()) keepCorrupt(path, replay.unreadable);
    // The file stays until the replayed events have run; only what could be read is kept in it.
    if (content.empty()) {
        ::unlink(path.c_str());
    } else if (replay.unreadable.empty()) {
        // Already exactly these records.
    } else if (!platform::writeFileAtomically(path, content, 0600)) {
        log().logFatal("Could not save the timeline to " + path);
    }
}

}  // namespace tw
