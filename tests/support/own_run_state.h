// A run state of the test's own, instead of the program's: on its own tray state and network probe,
// driving the timeline it is given and logging out the account it is given (whose environment the probe
// sleeps through). Its probe loops end and are waited for when it goes, so declare it after what it
// drives (and after whatever the environment's hooks use).
#pragma once

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/NetworkState.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerCredentials.h"

namespace tw::test {

struct OwnRunState {
    OwnRunState(TimeLineManager& timeline, ServerCredentials& account)
        : probe(account, account.environment()),
          state({bar, [&timeline]() -> TimeLineManager& { return timeline; },
                 [this]() -> NetworkState& { return probe; }, ServerConfigurationDetails::sharedInstance,
                 [&account]() -> ServerCredentials& { return account; }}) {}
    OwnRunState(const OwnRunState&) = delete;
    OwnRunState& operator=(const OwnRunState&) = delete;

    StatusBarManager bar;
    NetworkState probe;
    StateManager state;
};

}  // namespace tw::test
