// Feeds arbitrary bytes to the Timeline.txt reader: it must never crash, never read past the file, and
// account for every byte as either a replayed record or kept unreadable text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/TimeLineManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        tw::Logger::sharedInstance().setLogLevel(tw::Logger::logLevels::off);
        return true;
    }();
    (void)quiet;
    int fd = memfd_create("timeline", MFD_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    tw::ReplayResult r = tw::TimeLineManager::readReplay(fd);
    close(fd);
    if (r.unreadable.size() > size) abort();
    for (auto& e : r.events) {
        // Every replayed event saves back to a record that reads back as one event.
        auto record = e->timelineSave();
        if (!record) abort();
        int fd2 = memfd_create("again", MFD_CLOEXEC);
        std::string text = *record + "\r\n";
        if (write(fd2, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
        tw::ReplayResult again = tw::TimeLineManager::readReplay(fd2);
        close(fd2);
        if (again.events.size() != 1) abort();
    }
    return 0;
}
