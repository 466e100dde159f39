// The reference server's streaming multipart reader on arbitrary bodies: never crashes, and the parts
// and bytes it hands on do not depend on how the body was split into reads (the network decides that).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "devserver/multipart.h"

namespace {

struct Seen {
    std::vector<std::string> events;  // "B name filename type" / "D bytes" merged / "E"
    tw::devserver::MultipartReader::Ending ending{};
    bool fed = true;
};

Seen parse(const std::string& body, const std::vector<size_t>& cuts) {
    Seen seen;
    tw::devserver::MultipartReader::Handler h;
    h.begin = [&](const tw::devserver::MultipartPart& p) {
        seen.events.push_back("B " + p.name + "\n" + p.filename.value_or("<none>") + "\n" + p.contentType);
        return true;
    };
    h.data = [&](std::string_view d) {
        // Consecutive data calls are one stream: merge them so split points do not show.
        if (!seen.events.empty() && seen.events.back().rfind("D ", 0) == 0)
            seen.events.back().append(d);
        else
            seen.events.push_back("D " + std::string(d));
        return true;
    };
    h.end = [&] {
        seen.events.push_back("E");
        return true;
    };
    tw::devserver::MultipartReader reader("XyZzY", h);
    size_t at = 0;
    for (size_t cut : cuts) {
        if (cut <= at || cut > body.size()) continue;
        if (!reader.feed(body.data() + at, cut - at)) seen.fed = false;
        at = cut;
    }
    if (at < body.size() && !reader.feed(body.data() + at, body.size() - at)) seen.fed = false;
    seen.ending = reader.finish();
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the split; the rest is the body.
    unsigned step = data[0] % 17 + 1;
    std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<size_t> cuts;
    for (size_t c = step; c < body.size(); c += step + (c % 5)) cuts.push_back(c);
    Seen whole = parse(body, {});
    Seen pieces = parse(body, cuts);
    // Once a reader has refused the body, what it reported before may differ in how far it got; compare
    // only bodies both readers accepted to the end.
    if (whole.fed && pieces.fed) {
        if (whole.events != pieces.events) abort();
        if (whole.ending != pieces.ending) abort();
    }
    (void)tw::devserver::MultipartReader::boundaryOf(body);
    return 0;
}
