// The run state: whether the network is usable, whether server communication is allowed, whether the
// application is shutting down. Every change re-evaluates it: the timeline runs only with a network and
// permission, and each move into the running state asks for a listing of all mappoints.
//
// Thread-safety: flags are atomics written from any thread; `triggerChanges` serialises itself, so
// the last call wins.
#pragma once

#include <atomic>
#include <mutex>

namespace tw {

class StateManager {
  public:
    static StateManager& sharedInstance();

    std::atomic<bool> networkAvailable{false};
    std::atomic<bool> allowServerCommunication{false};
    std::atomic<bool> systemShutdown{false};

    // Re-evaluates the run state: resumes or pauses the timeline and updates the tray icon.
    void triggerChanges();

  private:
    StateManager();
    std::mutex mutex_;
};

}  // namespace tw
