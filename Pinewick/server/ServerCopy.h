// Whether a revision the server holds is the very content of a local file. An exchange cut before its
// answer (a pause, a quit, a time-out, a dropped connection) may have been carried out all the same: the
// server then holds a revision this client made, and the retry meets it as a conflict. Before a conflict
// is shown, what the server holds is compared with what is here: a size that differs settles it;
// otherwise only the bytes do (dates are kept to the second, and a program may write twice in one).
//
// Thread-safety: plain functions; each call makes its own requests on the caller's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Pinewick/server/ServerFileObject.h"

namespace tw {

// The size and modification date an upload sends for a file (the date to the second, as sent).
struct SentFacts {
    uint64_t size = 0;
    int64_t modificationSeconds = 0;
    bool operator==(const SentFacts&) const = default;
};
SentFacts sentFacts(uint64_t size, Date modificationDate);
// What `entry` says the server holds, in the same terms.
SentFacts heldFacts(const ServerFileObject& entry);

// Whether the server's `entry` (a revision of the server item at `localPath`) holds exactly the bytes
// of the local file at `localPath`, which was `size` bytes long when it was read for the upload (a file
// that no longer has that size counts as different). The revision is fetched and compared as it
// arrives, up to the first difference. Nothing when the server could not be asked or did not answer:
// whoever asks must then treat it as unknown.
std::optional<bool> serverHoldsLocalContent(const ServerEnvironment& env, const std::string& localPath,
                                            const ServerFileObject& entry, uint64_t size);

}  // namespace tw
