#include "Pinewick/volumes/EngineLink.h"

#include <mutex>

namespace tw {
namespace {
std::mutex g_mutex;
std::shared_ptr<const EngineLink>& current() {
    static auto* link = new std::shared_ptr<const EngineLink>(std::make_shared<EngineLink>());
    return *link;
}
}  // namespace

std::shared_ptr<const EngineLink> engineLink() {
    std::lock_guard lock(g_mutex);
    return current();
}

void setEngineLink(EngineLink link) {
    auto next = std::make_shared<const EngineLink>(std::move(link));
    std::lock_guard lock(g_mutex);
    current() = std::move(next);
}

}  // namespace tw
