#include "Pinewick/engine/StateManager.h"

#include <thread>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/NetworkState.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/sleepwake.h"

namespace tw {
namespace {

// Counts a probe loop (or a retry) from the moment it is scheduled until it ends.
class LoopCount {
public:
    explicit LoopCount(std::atomic<int>& count) : count_(count) {}
    ~LoopCount() { --count_; }
    LoopCount(const LoopCount&) = delete;
    LoopCount& operator=(const LoopCount&) = delete;

private:
    std::atomic<int>& count_;
};

}  // namespace

StateManager::StateManager(Parts parts)
    : networkAvailable([this](bool available) { networkFlagChanged(available); }), parts_(std::move(parts)) {
    parts_.statusBar.setRunState(
        {[this] { return networkAvailable.load(); }, [this] { return allowServerCommunication.load(); }});
}

StateManager::~StateManager() {
    systemShutdown = true;
    // Taken out under the lock, ended outside it: an announcement being handled may be waiting for it.
    std::unique_ptr<platform::SleepWakeObserver> observer;
    {
        std::lock_guard lock(sleepWakeMutex_);
        observer = std::move(sleepWake_);
    }
    observer.reset();
    while (probeLoops_.load() > 0 || resumeRetries_.load() > 0) std::this_thread::sleep_for(kResumeRetryPoll);
}

void StateManager::triggerChanges() {
    std::lock_guard lock(mutex_);
    auto& timeline = parts_.timeline();
    if (networkAvailable && allowServerCommunication && !systemShutdown) {
        timeline.resumeTimeLine();
        if (timeline.suspended())
            // The loop was still winding down from a pause, so the resume did not take. Nothing
            // else may change the state for a long time; try again once the loop has ended.
            retryResumeLater();
        else
            timeline.addSyncFolderEvent("/", true);
    } else {
        timeline.pauseTimeLine();
    }
    parts_.statusBar.updateIcon();
}

StateManager::ContactChoice StateManager::chooseServerContact(bool allowed) {
    using Config = ServerConfigurationDetails;
    if (Config::isForced(parts_.configuration().allowServerContact))
        return ContactChoice::forcedByAdministrator;
    allowServerCommunication = allowed;
    triggerChanges();
    if (!platform::Defaults::standard().set(Config::userChoiceKey(Config::buttonNames::allowservercontact),
                                            allowed))
        return ContactChoice::notStored;
    return ContactChoice::applied;
}

void StateManager::retryResumeLater() {
    if (resumeRetryPending_.exchange(true)) return;
    ++resumeRetries_;
    platform::DispatchQueue::global(platform::QoS::utility).async([this] {
        LoopCount count(resumeRetries_);
        auto& timeline = parts_.timeline();
        // Ends when the running event has finished and the loop noticed the pause, or at shutdown.
        while (timeline.eventQueueRunning() && !systemShutdown) std::this_thread::sleep_for(kResumeRetryPoll);
        resumeRetryPending_ = false;
        triggerChanges();
    });
}

void StateManager::networkFlagChanged(bool available) {
    if (available) return;
    // During launch the launch itself starts the first loop; another one would only probe twice.
    if (systemStartup || systemShutdown) return;
    startProbeLoop(true);
}

void StateManager::startProbeLoop(bool afterDelay) {
    ++probeLoops_;
    platform::DispatchQueue::global(platform::QoS::background).async([this, afterDelay] {
        LoopCount count(probeLoops_);
        if (afterDelay) parts_.network().pause(kProbeInterval);
        probeLoop();
    });
}

void StateManager::pollForNetworkStatus() {
    ++probeLoops_;
    LoopCount count(probeLoops_);
    probeLoop();
}

void StateManager::probeLoop() {
    TW_TRACE_IN("pollForNetworkStatus()");
    auto& network = parts_.network();
    while (!systemShutdown) {
        // The administrator's address, read at start-up before the first loop.
        auto state = network.probe(parts_.configuration().paywallDetectURL);
        if (state == NetworkState::NetworkStates::Okay) {
            networkAvailable.storeQuietly(true);
            triggerChanges();
            break;
        }
        log().logDebug("Network probe: " + NetworkState::rawValue(state));
        network.pause(kProbeInterval);
    }
    TW_TRACE_OUT("pollForNetworkStatus()");
}

void StateManager::finishLaunching() {
    systemStartup = false;
    startProbeLoop(false);
    triggerChanges();
}

void StateManager::observeSleepAndWake(const std::string& busAddress) {
    auto observer = platform::SleepWakeObserver::start(
        [this](bool goingToSleep) {
            if (goingToSleep)
                willSleep();
            else
                didWake();
        },
        busAddress);
    std::unique_ptr<platform::SleepWakeObserver> previous;
    std::lock_guard lock(sleepWakeMutex_);
    previous = std::move(sleepWake_);
    sleepWake_ = std::move(observer);
}

void StateManager::willSleep() {
    log().logDebug("The system is going to sleep");
    // A second announcement without a wake between must not overwrite the saved permission with the
    // "paused for sleep" value, or the client would stay paused after the wake.
    if (!sleeping_.exchange(true)) lastState = allowServerCommunication.load();
    allowServerCommunication = false;
    triggerChanges();
}

void StateManager::didWake() {
    log().logDebug("The system woke up");
    networkAvailable = false;
    triggerChanges();
    // Only a wake that follows a sleep we saw restores the saved permission; otherwise the user's
    // current choice stands.
    if (sleeping_.exchange(false)) allowServerCommunication = lastState.load();
    triggerChanges();
}

void StateManager::shutdown(const ShutdownSteps& steps) {
    TW_TRACE_IN("shutdown()");
    systemShutdown = true;
    allowServerCommunication = false;
    // The running event may be waiting on a slow server; cut it so quitting never waits that out.
    ServerCommunicator::closeForShutdown();
    triggerChanges();
    triggerChanges();
    if (steps.removeFinderBridge) steps.removeFinderBridge();
    if (steps.unmountVolumes) steps.unmountVolumes();
    if (steps.closeKernelConnection) steps.closeKernelConnection();
    parts_.credentials().logout();
    parts_.timeline().saveTimeLine();
    TW_TRACE_OUT("shutdown()");
}

}  // namespace tw
