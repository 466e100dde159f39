// The run state decides whether the timeline runs, and the tray icon follows it.
#include <gtest/gtest.h>

#include "Pinewick/app/Engine.h"
#include "Pinewick/app/Parts.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "platform/dispatch.h"

using namespace std::chrono_literals;
using tw::StatusBarManager;

TEST(RunState, TimelineRunsOnlyWithNetworkAndPermissionAndEachStartListsEverything) {
    std::mutex m;
    std::vector<std::string> passes;
    tw::TimeLineManager::sharedInstance().setListingPasses({[&](tw::EventContext&) {
                                                                std::lock_guard l(m);
                                                                passes.push_back("all");
                                                            },
                                                            nullptr});
    auto& state = tw::StateManager::sharedInstance();
    auto& timeline = tw::TimeLineManager::sharedInstance();
    auto& bar = StatusBarManager::sharedInstance();

    state.triggerChanges();  // launch: no network yet
    EXPECT_TRUE(timeline.suspended());
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarNoNetworkIcon);

    state.networkAvailable = true;
    state.triggerChanges();  // network, but paused by the user
    EXPECT_TRUE(timeline.suspended());
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarPauseIcon);

    state.allowServerCommunication = true;
    state.triggerChanges();
    EXPECT_FALSE(timeline.suspended());
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarIcon);
    ASSERT_TRUE(timeline.syncQueue().waitUntilAllOperationsAreFinished(5s));
    {
        std::lock_guard l(m);
        EXPECT_EQ(passes, std::vector<std::string>{"all"});
    }
    // A transfer shows as busy; pausing shows the pause icon even while it runs.
    bar.updateUploadActive("/Volumes/Team/a");
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarBusyIcon);
    state.allowServerCommunication = false;
    state.triggerChanges();
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarPauseIcon);
    bar.updateUploadActive(std::nullopt);

    // A network failure seen by a request pauses the timeline through the installed hooks.
    tw::Engine::wireServerLayer();
    state.allowServerCommunication = true;
    state.triggerChanges();
    EXPECT_TRUE(tw::parts::serverEnvironment().networkAvailable());
    tw::parts::serverEnvironment().setNetworkAvailable(false);
    EXPECT_FALSE(state.networkAvailable);
    EXPECT_TRUE(timeline.suspended());
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarNoNetworkIcon);

    state.systemShutdown = true;
    state.networkAvailable = true;
    state.triggerChanges();
    EXPECT_TRUE(timeline.suspended());
    // The resume above queued a listing pass that holds `passes` by reference: it must be dropped or
    // done before they go out of scope (a suspended queue would otherwise run it in a later test).
    timeline.syncQueue().cancelAllOperations();
    EXPECT_TRUE(timeline.syncQueue().waitUntilAllOperationsAreFinished(5s));
    tw::TimeLineManager::sharedInstance().setListingPasses({});
}

TEST(RunState, TrayObserversAreCalledOnTheMainQueue) {
    auto& bar = StatusBarManager::sharedInstance();
    std::vector<StatusBarManager::State> seen;
    int token = bar.addObserver([&](const StatusBarManager::State& s) {
        EXPECT_TRUE(tw::platform::MainQueue::shared().isMainThread());
        seen.push_back(s);
    });
    bar.updateDownloadActive("/Volumes/Team/movie.mov");
    bar.updateDownloadActive(std::nullopt);
    tw::platform::MainQueue::shared().drainMainQueue();
    bar.removeObserver(token);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].downloadFile, "/Volumes/Team/movie.mov");
    EXPECT_FALSE(seen[1].downloadFile.has_value());
    bar.updateIcon();
    EXPECT_EQ(tw::platform::MainQueue::shared().drainMainQueue(), 0u);
}
