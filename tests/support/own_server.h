// A server environment of the test's own, with an account of its own in it, so that a test changes the
// clock, the hooks or the session of nothing but its own requests, and nothing is reset afterwards.
// The account starts empty (no keychain read): a test stores its account in its keychain, sets
// `env.keychain`, then has the account read it (`resetForTesting`). Declare it before anything that
// sends requests in it, so that it goes last.
#pragma once

#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"

namespace tw::test {

struct OwnServer {
    ServerEnvironment env;
    ServerCredentials account{env, ServerCredentials::NoAccount{}};

    OwnServer() {
        env.credentials = [this]() -> ServerCredentials& { return account; };
    }
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;
};

}  // namespace tw::test
