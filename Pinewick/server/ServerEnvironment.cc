#include "Pinewick/server/ServerEnvironment.h"

#include <thread>

#include "platform/keychain.h"

namespace tw {
namespace {

class NoRecords final : public ItemRecords {
public:
    ItemFacts load(const std::string&) override { return {}; }
    ItemFacts loadNode(uint64_t, uint64_t) override { return {}; }
    void setUploadGUID(const std::string&, const std::string&) override {}
    void setRevision(const std::string&, const std::string&) override {}
    void setTransferRecovery(const std::string&, std::optional<Date>) override {}
    std::optional<std::string> databaseRevision(uint64_t, uint64_t) override { return std::nullopt; }
};

}  // namespace

ServerEnvironment& serverEnvironment() {
    static ServerEnvironment env;
    return env;
}

ItemRecords& itemRecords() {
    static NoRecords none;
    auto& r = serverEnvironment().records;
    return r ? *r : none;
}

platform::keychain::Keychain& serverKeychain() {
    auto* k = serverEnvironment().keychain;
    return k ? *k : platform::keychain::defaultKeychain();
}

void sleepFor(std::chrono::seconds seconds) {
    auto& s = serverEnvironment().sleep;
    if (s)
        s(seconds);
    else
        std::this_thread::sleep_for(seconds);
}

}  // namespace tw
