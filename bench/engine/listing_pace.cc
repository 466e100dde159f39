// The pace of listings that bring server changes down, for trees of 1,000, 10,000 and 100,000 folders
// (or the sizes given), on simulated time with the program's own pace (default settings: three a second
// at most, every folder within an hour): the listings a second the rotation sends, and the longest a
// change in the folder compared longest ago waits before a listing sees it. Against the baseline of
// the consistency check as it was, one folder a minute when it is over an hour old. Prints; asserts
// nothing.
//
//   bench_listing_pace [FOLDERS ...]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "Pinewick/engine/ListingPace.h"

using namespace std::chrono_literals;
using tw::ListingPace;
using Clock = ListingPace::Clock;

namespace {

struct Result {
    double perSecond = 0;    // listings a second, in the steady state
    double longestWait = 0;  // seconds the least recently compared folder waited for its listing
};

// A line of folders, oldest first, as the consistency check keeps it: a folder compared goes to the back.
Result simulate(uint64_t folders, Clock::duration length) {
    Clock::time_point start{};
    Clock::time_point now = start;
    // Every folder compared once, spread over the last hour, as in the steady state.
    std::deque<std::pair<uint64_t, Clock::time_point>> line;
    for (uint64_t i = 0; i < folders; ++i)
        line.emplace_back(
            i, start - std::chrono::duration_cast<Clock::duration>(
                           3600s * (static_cast<double>(folders - i) / static_cast<double>(folders))));
    uint64_t listings = 0;
    double longest = 0;
    ListingPace::Parts p;
    p.list = [&](const std::string&, double, bool,
                 std::function<void(tw::ListingOutcome, Clock::duration)> done) {
        done(tw::ListingOutcome::compared, 50ms);
    };
    p.oldestDue = [&](std::chrono::seconds staleAfter,
                      const std::function<bool(const std::string&)>&) -> std::optional<std::string> {
        if (line.empty() || now - line.front().second <= staleAfter) return std::nullopt;
        auto [id, at] = line.front();
        line.pop_front();
        longest = std::max(longest, std::chrono::duration<double>(now - at).count());
        line.emplace_back(id, now);
        ++listings;
        return "/v/f" + std::to_string(id);
    };
    p.folders = [&] { return folders; };
    p.mayContact = [] { return true; };
    p.lowBattery = [] { return false; };
    p.settings = [] { return ListingPace::Settings{}; };
    ListingPace pace(p);
    for (auto end = start + length; now < end;) {
        now += ListingPace::kStep;
        pace.step(now);
    }
    return {static_cast<double>(listings) / std::chrono::duration<double>(length).count(), longest};
}

// The consistency check as it was: one folder a minute, when it is over an hour old.
Result baseline(uint64_t folders) {
    // It lists at most 60 folders an hour: a folder waits for the whole line.
    double perSecond = std::min<double>(1.0 / 60, static_cast<double>(folders) / 3600);
    return {perSecond, std::max(3600.0, static_cast<double>(folders) * 60)};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint64_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {1'000, 10'000, 100'000};
    std::printf("%10s %14s %18s %16s %20s\n", "folders", "listings/s", "longest wait (s)",
                "check: listings/s", "check: longest (s)");
    for (uint64_t n : sizes) {
        auto r = simulate(n, 3h);
        auto b = baseline(n);
        std::printf("%10llu %14.2f %18.0f %16.3f %20.0f\n", static_cast<unsigned long long>(n), r.perSecond,
                    r.longestWait, b.perSecond, b.longestWait);
    }
    return 0;
}
