// The run state: whether the network is usable, whether server communication is allowed, whether the
// system sleeps or the application is shutting down. Every change re-evaluates it: the timeline runs
// only with a network and permission, and each move into the running state asks for a listing of all
// mappoints.
//
// The network flag is observed: setting it to false (a request saw a network error, the machine woke)
// starts a new probe loop 5 seconds later, which probes until the network and the server answer and
// then sets it back to true. Probe loops sleep through the server layer's sleeper and so run on the
// injected clock in tests (ServerEnvironment `sleep`). Loops are started only once launch has
// finished (`finishLaunching` starts the first); a loop also ends when the application shuts down.
//
// The parts it drives (the timeline, the tray state, the probe, the credentials it logs out, the
// configuration it asks about a forced switch) are handed to its constructor by its factory. The run
// state is the first part the program makes (the server layer asks it whether a request may go before
// anything else is wired), so all but the tray state are reached through functions and made when first
// used, as before: the timeline loads its journal when made, the credentials read the keychain and the
// configuration creates the support folder.
//
// Thread-safety: flags are atomics written from any thread; `triggerChanges` serialises itself, so
// the last call wins.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tw {

namespace platform {
class SleepWakeObserver;
}
class NetworkState;
class ServerConfigurationDetails;
class ServerCredentials;
class StatusBarManager;
class TimeLineManager;

// A Boolean flag that reads and writes like std::atomic<bool> and tells an observer of every store.
class ObservedFlag {
public:
    using Observer = std::function<void(bool value)>;
    explicit ObservedFlag(Observer observer) : observer_(std::move(observer)) {}
    ObservedFlag(const ObservedFlag&) = delete;
    ObservedFlag& operator=(const ObservedFlag&) = delete;

    bool load() const { return value_.load(); }
    operator bool() const { return load(); }
    // Stores and then tells the observer.
    void store(bool value) {
        value_.store(value);
        if (observer_) observer_(value);
    }
    bool operator=(bool value) {
        store(value);
        return value;
    }
    // Stores without telling the observer.
    void storeQuietly(bool value) { value_.store(value); }

private:
    std::atomic<bool> value_{false};
    Observer observer_;
};

class StateManager {
public:
    // The run state of the process, on the shared parts, made by the engine; never destroyed (probe
    // loops and retries on background queues refer to it).
    static StateManager& sharedInstance();

    // What the run state drives and reads. Not owned; each must live as long as the run state.
    struct Parts {
        StatusBarManager& statusBar;                                 // told of every change
        std::function<TimeLineManager&()> timeline;                  // paused, resumed, saved
        std::function<NetworkState&()> network;                      // the probe
        std::function<ServerConfigurationDetails&()> configuration;  // a contact switch forced? a paywall?
        std::function<ServerCredentials&()> credentials;             // logged out at shutdown
    };

    // Tells `parts.statusBar` where the run state comes from. The parts must outlive the run state.
    explicit StateManager(Parts parts);
    // Probe loops and resume retries on background queues refer to this object: going, it shuts them
    // down and waits for them (a loop ends at its next turn, at most one probe interval away) and stops
    // hearing sleep and wake. The program's is never destroyed; a test's goes with the test.
    ~StateManager();
    StateManager(const StateManager&) = delete;
    StateManager& operator=(const StateManager&) = delete;

    static constexpr std::chrono::seconds kProbeInterval{5};

    std::atomic<bool> lastState{false};     // allowServerCommunication as it was when the system slept
    std::atomic<bool> systemStartup{true};  // until launch has finished
    std::atomic<bool> allowServerCommunication{false};
    ObservedFlag networkAvailable;  // the last probe succeeded; false schedules a new probe
    std::atomic<bool> systemShutdown{false};

    // Re-evaluates the run state: resumes the timeline and queues a listing of all mappoints when the
    // network is available, communication allowed and no shutdown runs; otherwise pauses it. Then
    // updates the tray icon.
    void triggerChanges();

    // The user pauses (false) or resumes (true) contact with the server, from the tray or a command:
    // applied at once and stored as the user's choice for the next start. A switch the administrator
    // forces is left as it is.
    enum class ContactChoice { applied, forcedByAdministrator, notStored };
    ContactChoice chooseServerContact(bool allowed);

    // The end of launch: `systemStartup` false, a probe loop on a background queue, `triggerChanges`.
    void finishLaunching();

    // Registers for the system's sleep and wake announcements (the system bus; another bus for tests).
    // Without a bus they never come. Calling again replaces the registration.
    void observeSleepAndWake(const std::string& busAddress = "");
    // What the announcements do; callable directly.
    void willSleep();
    void didWake();

    // The probe loop, on the calling thread: probes every 5 seconds until the network and server answer
    // (then `networkAvailable` is set without starting another loop, and `triggerChanges` runs) or
    // the application shuts down.
    void pollForNetworkStatus();
    // Probe loops started or scheduled and not yet ended.
    int probeLoopsRunning() const { return probeLoops_.load(); }

    // What the shutdown takes down that is built on the run state or above it, handed in by the caller
    // (the engine); a missing step is skipped.
    struct ShutdownSteps {
        std::function<void()> removeFinderBridge;     // stop observing the file manager's notifications
        std::function<void()> unmountVolumes;         // unmount every mappoint volume
        std::function<void()> closeKernelConnection;  // close the link to the file watcher
    };
    // Termination, in this order: flags; triggerChanges twice; the file-manager bridge; unmount;
    // kernel connection; log out of the server; save the timeline.
    void shutdown(const ShutdownSteps& steps);

private:
    void networkFlagChanged(bool available);
    void startProbeLoop(bool afterDelay);
    void probeLoop();
    void retryResumeLater();

    Parts parts_;
    std::mutex mutex_;  // serialises triggerChanges
    std::atomic<int> probeLoops_{0};
    std::atomic<bool> resumeRetryPending_{false};
    std::atomic<int> resumeRetries_{0};  // retries scheduled and not yet ended
    static constexpr std::chrono::milliseconds kResumeRetryPoll{20};
    std::atomic<bool> sleeping_{false};
    std::mutex sleepWakeMutex_;  // guards sleepWake_ and the sleep/wake transitions
    std::unique_ptr<platform::SleepWakeObserver> sleepWake_;
};

}  // namespace tw
