// The transfers under way as `tidewell status` gives them: in its JSON (`transfers`, each with its
// direction, path, bytes done and total, and percentage) and as lines of its text.
//
// Thread-safety: pure functions.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Pinewick/server/IconProgress.h"

namespace tw {

nlohmann::json transfersJson(const std::vector<TransferProgress>& transfers);
// "  downloading /v/Team/big.bin: 45 % of 12.3 MB (5534208 of 12300000 bytes)\n" per transfer.
std::string transfersText(const std::vector<TransferProgress>& transfers);

}  // namespace tw
