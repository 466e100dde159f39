#include "Pinewick/app/TransferStatus.h"

#include "Pinewick/engine/StatusBarManager.h"

namespace tw {
namespace {

const char* directionName(TransferProgress::Direction direction) {
    return direction == TransferProgress::Direction::upload ? "upload" : "download";
}

}  // namespace

nlohmann::json transfersJson(const std::vector<TransferProgress>& transfers) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& t : transfers)
        list.push_back({{"direction", directionName(t.direction)},
                        {"path", t.path},
                        {"bytesDone", t.done},
                        {"bytesTotal", t.total},
                        {"percent", StatusBarManager::percentDone(t.done, t.total)}});
    return list;
}

std::string transfersText(const std::vector<TransferProgress>& transfers) {
    std::string out;
    for (const auto& t : transfers)
        out += std::string("  ") +
               (t.direction == TransferProgress::Direction::upload ? "uploading " : "downloading ") + t.path +
               ": " + StatusBarManager::progressText(t.done, t.total) + " (" + std::to_string(t.done) +
               " of " + std::to_string(t.total) + " bytes)\n";
    return out;
}

}  // namespace tw
