// The platform facilities behind the run state: network reachability, logind's sleep and wake signal
// and desktop notifications, the bus ones against peers on the test's private session bus.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "fake_bus_peers.h"
#include "platform/desktopnotify.h"
#include "platform/diagnostics.h"
#include "platform/reachability.h"
#include "platform/sleepwake.h"

using namespace std::chrono_literals;
namespace p = tw::platform;

// ---- Reachability

TEST(Reachability, Ipv4DefaultRouteNeedsZeroDestinationZeroMaskAndUp) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    EXPECT_TRUE(p::ipv4TableHasDefaultRoute(
        header + "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"));
    // Only a subnet route: the machine reaches its neighbours, not the world.
    EXPECT_FALSE(p::ipv4TableHasDefaultRoute(
        header + "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"));
    // A default route that is not up does not count.
    EXPECT_FALSE(p::ipv4TableHasDefaultRoute(
        header + "eth0\t00000000\t0102A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n"));
    // The header line itself never reads as a route.
    EXPECT_FALSE(p::ipv4TableHasDefaultRoute(header));
    EXPECT_FALSE(p::ipv4TableHasDefaultRoute(""));
}

TEST(Reachability, Ipv6DefaultRouteIgnoresTheKernelsUnreachableEntryOnLoopback) {
    const std::string zero(32, '0');
    std::string real = zero + " 00 " + zero +
                       " 00 fe800000000000000000000000000001 00000400 00000001 00000000 00000003 wlan0\n";
    std::string unreachable =
        zero + " 00 " + zero + " 00 " + zero + " ffffffff 00000001 00000000 00200200       lo\n";
    std::string subnet = "20010db8000000000000000000000000 40 " + zero + " 00 " + zero +
                         " 00000100 00000001 00000000 00000001 wlan0\n";
    EXPECT_TRUE(p::ipv6TableHasDefaultRoute(real));
    EXPECT_FALSE(p::ipv6TableHasDefaultRoute(unreachable));
    EXPECT_FALSE(p::ipv6TableHasDefaultRoute(subnet + unreachable));
    EXPECT_TRUE(p::ipv6TableHasDefaultRoute(subnet + unreachable + real));
}

TEST(Reachability, OverrideReplacesTheSystemsAnswerUntilRemoved) {
    bool system = p::systemNetworkReachable();
    p::setReachabilityOverride([] { return false; });
    EXPECT_FALSE(p::networkReachable());
    p::setReachabilityOverride([] { return true; });
    EXPECT_TRUE(p::networkReachable());
    p::setReachabilityOverride({});
    EXPECT_EQ(p::networkReachable(), system);
}

// ---- Sleep and wake

namespace {
struct Seen {
    std::mutex m;
    std::condition_variable cv;
    std::vector<bool> values;
    void add(bool v) {
        {
            std::lock_guard l(m);
            values.push_back(v);
        }
        cv.notify_all();
    }
    bool waitFor(size_t n) {
        std::unique_lock l(m);
        return cv.wait_for(l, 10s, [&] { return values.size() >= n; });
    }
};
}  // namespace

TEST(SleepWake, PrepareForSleepFromLogindReachesTheCallbackInOrder) {
    if (tw::test::sessionBusAddress().empty())
        GTEST_SKIP() << "no D-Bus session bus (run under dbus-run-session)";
    tw::test::FakeLogind logind;
    ASSERT_TRUE(logind.start()) << "cannot own org.freedesktop.login1 on the private bus";
    Seen seen;
    auto observer = p::SleepWakeObserver::start([&](bool sleeping) { seen.add(sleeping); },
                                                tw::test::sessionBusAddress());
    ASSERT_TRUE(observer->connected());
    ASSERT_TRUE(logind.prepareForSleep(true));
    ASSERT_TRUE(logind.prepareForSleep(false));
    ASSERT_TRUE(seen.waitFor(2));
    std::lock_guard l(seen.m);
    EXPECT_EQ(seen.values, (std::vector<bool>{true, false}));
}

TEST(SleepWake, TheSameSignalFromAnyoneButLogindIsIgnored) {
    if (tw::test::sessionBusAddress().empty())
        GTEST_SKIP() << "no D-Bus session bus (run under dbus-run-session)";
    Seen seen;
    auto observer = p::SleepWakeObserver::start([&](bool sleeping) { seen.add(sleeping); },
                                                tw::test::sessionBusAddress());
    ASSERT_TRUE(observer->connected());
    auto impostor = tw::test::busOwning("com.example.NotLogind");
    ASSERT_TRUE(impostor);
    sd_bus_emit_signal(impostor.get(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                       "PrepareForSleep", "b", 1);
    sd_bus_flush(impostor.get());
    // Then the real one, so the wait has an end: only it may arrive.
    tw::test::FakeLogind logind;
    ASSERT_TRUE(logind.start());
    ASSERT_TRUE(logind.prepareForSleep(false));
    ASSERT_TRUE(seen.waitFor(1));
    std::this_thread::sleep_for(200ms);
    std::lock_guard l(seen.m);
    EXPECT_EQ(seen.values, std::vector<bool>{false});
}

TEST(SleepWake, WithoutABusTheObserverNeverFiresAndSaysSoOnceAtDebugLevel) {
    std::vector<std::pair<p::DiagnosticLevel, std::string>> lines;
    p::setDiagnosticSink(
        [&](p::DiagnosticLevel level, const std::string& m) { lines.emplace_back(level, m); });
    auto observer = p::SleepWakeObserver::start([](bool) { ADD_FAILURE() << "fired without a bus"; },
                                                "unix:path=/nonexistent/tidewell-test-bus");
    p::setDiagnosticSink({});
    EXPECT_FALSE(observer->connected());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, p::DiagnosticLevel::debug);
    EXPECT_NE(lines[0].second.find("sleep and wake are not observed"), std::string::npos) << lines[0].second;
}

TEST(SleepWake, DroppingTheObserverStopsItPromptly) {
    if (tw::test::sessionBusAddress().empty())
        GTEST_SKIP() << "no D-Bus session bus (run under dbus-run-session)";
    auto started = std::chrono::steady_clock::now();
    {
        auto observer = p::SleepWakeObserver::start([](bool) {}, tw::test::sessionBusAddress());
        ASSERT_TRUE(observer->connected());
    }
    // The listener waits on an event descriptor as well as the bus, so it does not sit out a poll.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
}

// ---- Desktop notifications

TEST(DesktopNotify, NotifyCarriesAppSummaryBodyAndIconToTheDaemon) {
    if (tw::test::sessionBusAddress().empty())
        GTEST_SKIP() << "no D-Bus session bus (run under dbus-run-session)";
    tw::test::FakeNotificationDaemon daemon;
    ASSERT_TRUE(daemon.start());
    p::DesktopNotification n;
    n.summary = "Tidewell needs your password";
    n.body = "Run \"tidewell login\" — ünïcode & <markup>";
    n.icon = "dialog-password";
    auto id = p::showDesktopNotification(n);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, 1u);
    auto calls = daemon.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].appName, "Tidewell");
    EXPECT_EQ(calls[0].summary, n.summary);
    EXPECT_EQ(calls[0].body, n.body);
    EXPECT_EQ(calls[0].icon, "dialog-password");
    EXPECT_EQ(calls[0].expireTimeout, -1);
}

TEST(DesktopNotify, NoDaemonOrNoBusShowsNothingAndReturnsPromptly) {
    auto started = std::chrono::steady_clock::now();
    p::DesktopNotification n;
    n.summary = "x";
    EXPECT_FALSE(p::showDesktopNotification(n, "unix:path=/nonexistent/tidewell-test-bus").has_value());
    if (!tw::test::sessionBusAddress().empty()) {
        // A bus without a notification daemon: the bus answers "no such name" at once.
        EXPECT_FALSE(p::showDesktopNotification(n).has_value());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}
