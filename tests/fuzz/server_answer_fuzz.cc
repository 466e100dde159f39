// Feeds arbitrary bytes to the code that reads server answers: the classification of an error body,
// a listing document, a single entry, a server date and the name mappings. Checks what must hold for
// any input: a listing never keeps an entry whose name could leave its folder, and a name mapped to
// the server and back is unchanged when it was valid UTF-8 in composed form.
#include <stdint.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "Pinewick/config/Logger.h"
#include "Pinewick/server/ServerFileObject.h"

using namespace tw;

namespace {

void fail(const char* what, const std::string& input) {
    fprintf(stderr, "invariant broken: %s\ninput: %s\n", what, input.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        Logger::sharedInstance().setLogLevel(Logger::logLevels::off);
        return true;
    }();
    (void)quiet;
    static ServerEnvironment env;  // no account, no volumes: answers are only read
    std::string text(reinterpret_cast<const char*>(data), size);

    for (long status : {200L, 404L, 500L}) {
        platform::http::Result r;
        r.response = platform::http::Response{status, "http://fuzz/", {}};
        r.data = text;
        auto c = ServerCommunicator::handleResponse(env, r);
        if (status == 200 && c.action != normalisedResponse::allOkay) fail("status 200 not allOkay", text);
    }

    FolderContentDetails listing(env, "/fuzz");
    if (listing.takeListing(text)) {
        for (auto& e : listing.contents) {
            if (e.name.empty() || e.name == "." || e.name == ".." || e.name.find('/') != std::string::npos ||
                e.name.find('\0') != std::string::npos)
                fail("listing kept an unusable name", text);
        }
    }
    auto doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_discarded()) ServerFileObject entry(doc);

    ServerFileObject::BrindleDateFormatter::sharedInstance().remoteToLocalDate(text);

    std::string escaped = ServerCommunicator::macToWindows(text);
    for (unsigned char ch : escaped)
        if (!(isalnum(ch) || ch == '.' || ch == '/' || ch == '%'))
            fail("escaped text holds a raw byte", text);
    return 0;
}
