// Latency from eventAppend to the start of performAction on an idle, running timeline.
// Goal: median under 1 ms. Prints the distribution; the comparison baseline is a bare semaphore
// hand-off between two threads measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/TimeLineManager.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

class StampEvent : public tw::TLEvent {
public:
    explicit StampEvent(tw::platform::Semaphore& s, Clock::time_point& at) : started_(s), at_(at) {}
    void performAction(tw::EventContext&) override {
        at_ = Clock::now();
        started_.signal();
    }

private:
    tw::platform::Semaphore& started_;
    Clock::time_point& at_;
};

void report(const char* what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us[static_cast<size_t>(p * (us.size() - 1))]; };
    std::printf("%-28s n=%zu  median %.1f us  p90 %.1f us  p99 %.1f us  max %.1f us\n", what, us.size(),
                pct(0.5), pct(0.9), pct(0.99), us.back());
}

}  // namespace

int main(int argc, char** argv) {
    int samples = argc > 1 ? std::atoi(argv[1]) : 500;
    tw::Logger::sharedInstance().setLogLevel(tw::Logger::logLevels::off);
    char dir[] = "/tmp/tw-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::vector<double> timeline, baseline;
    {
        tw::TimeLineManager t(std::string(dir) + "/", tw::TimeLineManager::sharedParts());
        t.resumeTimeLine();
        tw::platform::Semaphore started;
        for (int i = 0; i < samples; ++i) {
            t.waitUntilIdle(5s);
            std::this_thread::sleep_for(200us);  // let the loop go back to waiting
            Clock::time_point at;
            auto t0 = Clock::now();
            t.eventAppend(std::make_shared<StampEvent>(started, at));
            started.wait();
            timeline.push_back(std::chrono::duration<double, std::micro>(at - t0).count());
        }
        t.waitUntilIdle(5s);
    }
    {
        tw::platform::Semaphore go, done;
        Clock::time_point at;
        std::thread th([&] {
            for (int i = 0; i < samples; ++i) {
                go.wait();
                at = Clock::now();
                done.signal();
            }
        });
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(200us);
            auto t0 = Clock::now();
            go.signal();
            done.wait();
            baseline.push_back(std::chrono::duration<double, std::micro>(at - t0).count());
        }
        th.join();
    }
    report("eventAppend -> performAction", timeline);
    report("semaphore hand-off baseline", baseline);
    std::sort(timeline.begin(), timeline.end());
    double median = timeline[timeline.size() / 2];
    std::printf("goal: median under 1000 us: %s\n", median < 1000 ? "met" : "NOT met");
    std::string cmd = std::string("rm -rf ") + dir;
    return std::system(cmd.c_str()) == 0 ? 0 : 0;
}
