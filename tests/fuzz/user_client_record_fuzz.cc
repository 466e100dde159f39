// Feeds arbitrary command records to the watcher's filter as gatewarden reads them from the user
// client: any client family, action and field bytes, terminated or not. It must never crash or read
// past a field, a watch path it accepts must be absolute and fit its field, and what it then reports
// as watched must agree with a plain prefix test of the accepted paths.
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Larkspur/Brindle.h"
#include "Larkspur/Log.h"
#include "platform/pwevent.h"

namespace {

void fail(const char* what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

bool startsWithNoCaseAscii(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(text[i]), b = static_cast<unsigned char>(prefix[i]);
        if (a < 0x80 && b < 0x80) {
            if (tolower(a) != tolower(b)) return false;
        } else if (a != b) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        gw::setLogLevel(gw::LogLevel::error);
        return true;
    }();
    (void)quiet;
    using tw::pw::_pwevent;
    gw::Brindle filter(std::chrono::milliseconds(1), 64);
    std::vector<std::string> accepted;
    // Records are cut from the input in turn: 2 bytes of header (family, action), then two field
    // lengths and their bytes, copied into fields that are otherwise left as the input filled them.
    size_t at = 0;
    int records = 0;
    while (at + 4 <= size && records < 64) {
        _pwevent r;
        memset(&r, 'x', sizeof r);  // not zero: an unterminated field must be noticed
        r.userClient = data[at] % 4 == 0 ? data[at] : tw::pw::pwuc_Brindle;
        r.action = data[at + 1] % 8;
        size_t n1 = data[at + 2] * 5u, n2 = data[at + 3] * 5u;
        at += 4;
        n1 = std::min(n1, size - at);
        size_t c1 = std::min(n1, sizeof r.path1);
        memcpy(r.path1, data + at, c1);
        if (c1 < sizeof r.path1 && data[at - 2] % 3 != 0) r.path1[c1] = 0;
        at += n1;
        n2 = std::min(n2, size - at);
        size_t c2 = std::min(n2, sizeof r.path2);
        memcpy(r.path2, data + at, c2);
        if (c2 < sizeof r.path2) r.path2[c2] = 0;
        at += n2;
        ++records;

        bool terminated = memchr(r.path1, 0, sizeof r.path1) != nullptr;
        std::string path1 = terminated ? std::string(r.path1) : std::string();
        bool before = filter.InterestingFile(path1 + "/probe");
        filter.BrindleHandleCommand(r);
        if (r.userClient == tw::pw::pwuc_Brindle && r.action == tw::pw::sa_AddWatchPath) {
            bool ok = terminated && !path1.empty() && path1[0] == '/' && path1.size() < sizeof r.path1;
            if (ok) {
                if (path1.back() != '/') path1.push_back('/');
                accepted.push_back(path1);
            } else if (!before && !path1.empty() && filter.InterestingFile(path1 + "/probe")) {
                // A refused path must not have become watched.
                bool covered = false;
                for (const auto& w : accepted)
                    covered = covered || startsWithNoCaseAscii(path1 + "/probe", w);
                if (!covered) fail("a refused watch path is watched");
            }
        }
        // Nothing the application did not ask to watch is reported as watched.
        for (const std::string& probe : {std::string("/"), std::string("/tmp/x"), path1 + "probe"}) {
            bool covered = false;
            for (const auto& w : accepted) covered = covered || startsWithNoCaseAscii(probe, w);
            if (filter.InterestingFile(probe) && !covered) fail("a path outside every watch path is watched");
        }
        _pwevent out;
        filter.BrindleEventRead(out);
    }
    return 0;
}
