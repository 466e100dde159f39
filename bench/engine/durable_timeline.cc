// What keeping Timeline.txt current costs a burst of queued deletes (an "rm -r" of many files).
// Goal: queueing N deletes until all are on disk costs at most 2 seconds more than queueing the same
// events without a record (N = 10,000). Prints both times, the difference and the number of writes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/TimeLineManager.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// The same event without a record: the baseline pays for everything but the file.
class UnsavedDelete : public tw::TLDelete {
public:
    using tw::TLDelete::TLDelete;
    std::optional<std::string> timelineSave() override { return std::nullopt; }
};

template <class Event>
double queueBurst(const std::string& folder, int count, uint64_t* writes) {
    tw::TimeLineManager timeline(
        folder, tw::TimeLineManager::sharedParts());  // paused: nothing runs, as while offline
    tw::CorvaneExtendedAttributes record(std::string("/nonexistent"), "State: Regular\nRevision: 12\n");
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i)
        timeline.eventAppend(std::make_shared<Event>(
            "/media/tidewell/Team/projects/2026/a fairly long folder name/file-" + std::to_string(i) + ".txt",
            record));
    if (!timeline.waitUntilDurable(120s)) std::fprintf(stderr, "timeline not durable after 120 s\n");
    auto elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    if (writes) *writes = timeline.timelineWrites();
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    tw::Logger::sharedInstance().setLogLevel(tw::Logger::logLevels::off);
    char base[] = "/tmp/tw-bench-XXXXXX";
    if (!mkdtemp(base)) return 1;
    std::string a = std::string(base) + "/baseline/", b = std::string(base) + "/durable/";
    uint64_t writes = 0;
    double baseline = queueBurst<UnsavedDelete>(a, count, nullptr);
    double durable = queueBurst<tw::TLDelete>(b, count, &writes);
    std::printf(
        "%d deletes: without file %.3f s, durable %.3f s, extra %.3f s, %llu writes of Timeline.txt\n", count,
        baseline, durable, durable - baseline, static_cast<unsigned long long>(writes));
    std::string cleanup = std::string("rm -rf ") + base;
    return std::system(cleanup.c_str()) == 0 && durable - baseline <= 2.0 ? 0 : 1;
}
