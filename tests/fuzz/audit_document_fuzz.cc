// The usage report on both ends. The client's side: counts of arbitrary file names and sizes summed
// into the report document, which must be the JSON object of exactly the four totals, in a body that
// starts with "data=". The server's side: an arbitrary report body handled as the reference server
// handles it (checked, stored, listed again): it must never crash, and a document it accepts must be
// listed back equal to what was sent.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "Pinewick/config/Logger.h"
#include "Pinewick/server/Audit.h"
#include "devserver/server_internal.h"
#include "devserver/store.h"

using namespace tw;

namespace {

void fail(const char* what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

void clientSide(const uint8_t* data, size_t size) {
    ServerEnvironment env;  // no ignore list: every file counts
    AuditStatistics stats(env);
    AuditStatistics::Stats expected;
    size_t at = 0;
    while (at + 3 <= size) {
        uint64_t fileSize = (uint64_t(data[at]) << 40) | (uint64_t(data[at + 1]) << 8) | data[at + 2];
        at += 3;
        std::string name = "/nonexistent-torture-folder/";
        while (at < size && data[at] != 0) name.push_back(static_cast<char>(data[at++]));
        ++at;
        stats.auditFile(name, fileSize);
        // A file without a record is unclassified, so it counts as waiting for its upload.
        expected.fileCount += 1;
        expected.fileSize += fileSize;
        expected.needUploadCount += 1;
        expected.needUploadSize += fileSize;
    }
    stats.createSummary();
    if (!(stats.totalStats == expected)) fail("the totals are not the sums of the files");
    std::string body = Audit::reportBody(stats.totalStats);
    if (body.rfind("data=", 0) != 0) fail("the body does not start with data=");
    auto doc = nlohmann::json::parse(body.substr(5), nullptr, false);
    if (!doc.is_object() || doc.size() != 4) fail("the document is not the object of four totals");
    if (doc["filesSyncPendingUpload"] != expected.needUploadCount ||
        doc["sizeSyncPendingUpload"] != expected.needUploadSize ||
        doc["localCacheFileCount"] != expected.fileCount || doc["localCacheSize"] != expected.fileSize)
        fail("a total differs in the document");
}

void serverSide(const uint8_t* data, size_t size) {
    // A fresh store now and then, so the listing stays short.
    static std::unique_ptr<devserver::Store> store;
    static std::string folder;
    static int uses = 0;
    if (!store || ++uses > 200) {
        store.reset();
        if (!folder.empty()) std::filesystem::remove_all(folder);
        char dir[] = "/tmp/audit-fuzz.XXXXXX";
        if (!mkdtemp(dir)) abort();
        folder = dir;
        std::string error;
        store = devserver::Store::open(folder, error);
        if (!store) abort();
        uses = 0;
    }
    std::string body(reinterpret_cast<const char*>(data), size);
    if (body.size() > devserver::detail::kSmallBodyLimit) return;
    std::string why;
    auto accepted = devserver::detail::readReport(body, why);
    if (!accepted) return;
    const nlohmann::json& doc = *accepted;
    store->addAudit("fuzz", devserver::detail::dumpJson(doc));
    auto listed = store->audits();
    if (!listed.is_array() || listed.empty()) fail("an accepted report is not listed");
    const auto& last = listed.back()["document"];
    // Invalid UTF-8 is stored replaced, so only a document that dumps cleanly must come back equal.
    std::string strict;
    try {
        strict = doc.dump();
    } catch (const nlohmann::json::exception&) {
        return;
    }
    if (last != doc) fail("a report came back different");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        Logger::sharedInstance().setLogLevel(Logger::logLevels::off);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    if (data[0] & 1)
        serverSide(data + 1, size - 1);
    else
        clientSide(data + 1, size - 1);
    return 0;
}
