// Builds pending deletes and moves from arbitrary paths and records, writes them as Timeline.txt does
// and reads the file back: every event must come back once, in order, of the same kind, for the same
// paths and with the same record, so a crash between writing and replaying loses or redirects none.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "platform/utf8.h"

using namespace tw;

namespace {

void fail(const char* what, const std::string& text) {
    fprintf(stderr, "invariant broken: %s\nfile:\n%s\n", what, text.c_str());
    abort();
}

// The next field of the input: bytes up to a zero byte (or the end).
std::string field(const uint8_t* data, size_t size, size_t& at) {
    std::string out;
    while (at < size && data[at] != 0) out.push_back(static_cast<char>(data[at++]));
    if (at < size) ++at;
    return out;
}

ReplayResult replay(const std::string& text) {
    int fd = memfd_create("timeline", MFD_CLOEXEC);
    if (fd < 0) return {};
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ReplayResult r = TimeLineManager::readReplay(fd);
    close(fd);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        Logger::sharedInstance().setLogLevel(Logger::logLevels::off);
        return true;
    }();
    (void)quiet;
    struct Written {
        bool move;
        std::string from, to, record;
    };
    std::vector<Written> written;
    std::string file;
    size_t at = 0;
    while (at < size && written.size() < 8) {
        bool move = data[at++] & 1;
        std::string from = "/" + field(data, size, at);
        std::string to = move ? "/" + field(data, size, at) : std::string();
        std::string details = field(data, size, at);
        // Only what a real item can be named: one path component never holds a zero byte, and every
        // path the watcher reports is absolute, UTF-8 (others are dropped as it reads them) and
        // shorter than its field.
        if (from.size() >= 1024 || to.size() >= 1024 || !tw::platform::isValidUtf8(from) ||
            !tw::platform::isValidUtf8(to))
            continue;
        // A record's texts come from the server's JSON or from the client itself: always UTF-8.
        if (!tw::platform::isValidUtf8(details)) continue;
        CorvaneExtendedAttributes record(from, details);
        std::shared_ptr<TLEvent> event;
        if (move)
            event = std::make_shared<TLMove>(from, to, record);
        else
            event = std::make_shared<TLDelete>(from, record);
        auto text = event->timelineSave();
        // A path with a line feed cannot be written as a line: such an event has no record at all.
        bool lineFeed = from.find('\n') != std::string::npos || to.find('\n') != std::string::npos;
        if (lineFeed) {
            if (text) fail("a path with a line feed has a record", *text);
            continue;
        }
        if (!text) fail("a pending delete or move has no record", from);
        CorvaneExtendedAttributes copy(from, details);
        written.push_back({move, from, to, copy.encode()});
        file += *text + "\r\n";
    }
    ReplayResult r = replay(file);
    if (r.events.size() != written.size()) fail("events were lost or added on the way back", file);
    for (size_t i = 0; i < written.size(); ++i) {
        const Written& w = written[i];
        if (w.move) {
            auto* m = dynamic_cast<TLMove*>(r.events[i].get());
            if (!m) fail("a move came back as another kind", file);
            if (m->localPathFrom != w.from || m->localPathTo != w.to)
                fail("a move came back for other paths", file);
            if (m->originalXAttrs.encode() != w.record) fail("a move came back with another record", file);
        } else {
            auto* d = dynamic_cast<TLDelete*>(r.events[i].get());
            if (!d) fail("a delete came back as another kind", file);
            if (d->localPath != w.from) fail("a delete came back for another path", file);
            if (d->xAttrs.encode() != w.record) fail("a delete came back with another record", file);
        }
    }
    return 0;
}
