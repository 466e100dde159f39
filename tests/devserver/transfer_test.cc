// Transfers under stress: resumable uploads across a cut connection, downloads resumed with
// skip/count, uploads that stay invisible until complete, and many clients at once.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <random>
#include <thread>

#include "devserver/wire.h"
#include "support/devserver_process.h"
#include "support/random_bytes.h"

namespace tw::test {
namespace {

using nlohmann::json;
using tw::devserver::percentEncode;

using DevserverTransfer = DevServerTest;

// The client's resumable flow: create the empty file, then send fragments; the first fragment is cut
// by the network, the client asks how much arrived and sends the rest.
TEST_F(DevserverTransfer, ResumableUploadContinuesAfterADroppedConnection) {
    startAndLogin();
    const std::string path = "/Documents/big.bin";
    const std::string escaped = percentEncode(path);
    const std::string content = randomBytes(300000, 7);

    auto created = h->upload(path, "", "");
    ASSERT_EQ(created->status, 200);
    std::string rev0 = body(created)["revision"];

    const std::string id = "4A0B3C2D-1111-2222-3333-444455556666";
    const std::string url = DevServerHarness::sync("resume/upload") + escaped + "?resume_id=" + id;
    const std::string boundary = "---" + id + "---";
    auto fragment = [&](uint64_t offset, bool start) {
        httplib::Headers hd = h->headers();
        if (start) hd.emplace("br_start", "true");
        hd.emplace("br_file_size", std::to_string(content.size()));
        hd.emplace("br_offset", std::to_string(offset));
        hd.emplace("br_block_size", std::to_string(content.size() - offset));
        hd.emplace("br_new_path", escaped);
        hd.emplace("br_finish", "true");
        hd.emplace("br_file_hash_type", "NONE");
        hd.emplace("br_block_hash_type", "NONE");
        hd.emplace("br_revision", rev0);
        hd.emplace("br_file_creation_time", "2022-01-01T00:00:00.000Z");
        hd.emplace("br_file_modification_time", "2022-01-02T00:00:00.000Z");
        std::string bodyText = DevServerHarness::fragmentBody(boundary, "big.bin", content.substr(offset));
        return h->http().Post(url.c_str(), hd, bodyText,
                              ("multipart/form-data; boundary=" + boundary).c_str());
    };

    // Nothing held yet for a new resume id.
    json fresh = body(h->get(url));
    EXPECT_EQ(fresh["is_locked"], "false");
    EXPECT_EQ(fresh["bytes_received"], "0");

    ASSERT_EQ(h->postAdmin("faults", {{"method", "POST"},
                                      {"path", DevServerHarness::sync("resume/upload")},
                                      {"action", "drop"},
                                      {"after_bytes", 120000}})
                  ->status,
              200);
    auto cut = fragment(0, true);
    EXPECT_FALSE(cut && cut->status == 200) << "the connection should have been cut";

    json status = body(h->get(url));
    EXPECT_EQ(status["is_locked"], "false");
    ASSERT_TRUE(status["bytes_received"].is_string());
    uint64_t held = std::stoull(status["bytes_received"].get<std::string>());
    EXPECT_GT(held, 100000u);
    EXPECT_LT(held, 120000u);
    // Until the last byte is in, the file keeps its empty content.
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl(path)))["size"], 0);

    // What arrived survives a restart of the server.
    ASSERT_EQ(h->stop(), 0);
    ASSERT_TRUE(h->start({"--faults"}));
    ASSERT_TRUE(h->login());
    EXPECT_EQ(body(h->get(url))["bytes_received"], std::to_string(held));

    // A fragment that does not start where the server stopped is refused and says where to go on.
    auto wrongOffset = fragment(held - 1, false);
    EXPECT_EQ(errorIdOf(wrongOffset), tw::devserver::error_id::badRequest);
    EXPECT_EQ(body(wrongOffset)["bytes_received"], std::to_string(held));

    auto done = fragment(held, false);
    ASSERT_EQ(done->status, 200) << done->body;
    json entry = body(done);
    EXPECT_EQ(entry["size"], content.size());
    EXPECT_NE(entry["revision"], rev0);
    EXPECT_EQ(entry["modification_time"], "2022-01-02T00:00:00.000Z");
    auto down =
        h->get(DevServerHarness::folderUrl(path) + "?revision=" + entry["revision"].get<std::string>(),
               "application/octet-stream");
    ASSERT_EQ(down->body.size(), content.size());
    EXPECT_TRUE(down->body == content);
    EXPECT_EQ(body(h->get(url))["bytes_received"], "0") << "a finished upload leaves nothing to resume";
}

TEST_F(DevserverTransfer, ResumableUploadChecksTheRevisionAtTheEnd) {
    startAndLogin();
    const std::string escaped = percentEncode("/Documents/Welcome.txt");
    std::string current = body(h->get(DevServerHarness::folderUrl("/Documents/Welcome.txt")))["revision"];
    const std::string boundary = "---R---";
    httplib::Headers hd = h->headers();
    hd.emplace("br_start", "true");
    hd.emplace("br_file_size", "5");
    hd.emplace("br_offset", "0");
    hd.emplace("br_block_size", "5");
    hd.emplace("br_new_path", escaped);
    hd.emplace("br_finish", "true");
    hd.emplace("br_revision", "stale");
    auto r = h->http().Post((DevServerHarness::sync("resume/upload") + escaped + "?resume_id=R1").c_str(), hd,
                            DevServerHarness::fragmentBody(boundary, "Welcome.txt", "hello"),
                            ("multipart/form-data; boundary=" + boundary).c_str());
    EXPECT_EQ(errorIdOf(r), 1077);
    EXPECT_EQ(body(r)["document_info"]["revision"], current);
}

TEST_F(DevserverTransfer, DownloadCutShortIsResumedWithSkipAndCount) {
    startAndLogin();
    const std::string content = randomBytes(200000, 11);
    std::string rev = body(h->upload("/Documents/d.bin", content, ""))["revision"];
    const std::string url = DevServerHarness::folderUrl("/Documents/d.bin") + "?revision=" + rev;
    ASSERT_EQ(h->postAdmin("faults", {{"method", "GET"},
                                      {"path", DevServerHarness::folderUrl("/Documents/d.bin")},
                                      {"action", "drop"},
                                      {"after_bytes", 50000}})
                  ->status,
              200);
    // Collect what arrives before the cut, as the client writes it to the local file.
    std::string local;
    auto first =
        h->http().Get(url.c_str(), h->headers("application/octet-stream"), [&](const char* data, size_t n) {
            local.append(data, n);
            return true;
        });
    EXPECT_FALSE(first && first->status == 200 && local.size() == content.size());
    ASSERT_EQ(local.size(), 50000u);
    auto rest = h->get(url + "&skip=" + std::to_string(local.size()) +
                           "&count=" + std::to_string(content.size() - local.size()),
                       "application/octet-stream");
    ASSERT_EQ(rest->status, 200);
    local += rest->body;
    EXPECT_TRUE(local == content);
}

TEST_F(DevserverTransfer, UploadIsInvisibleUntilComplete) {
    startAndLogin();
    const std::string path = "/Documents/slow.bin";
    const std::string content = randomBytes(256 * 1024, 3);
    const std::string boundary = "---S---";
    std::string bodyText =
        DevServerHarness::uploadBody(boundary, "slow.bin", content, "", std::to_string(content.size()),
                                     "2021-01-01T00:00:00.000Z", "2021-01-01T00:00:00.000Z");
    std::mutex m;
    std::condition_variable cv;
    bool halfSent = false, release = false;
    int resultStatus = -1;
    std::thread uploader([&] {
        httplib::Client c("127.0.0.1", h->process().port());
        c.set_url_encode(false);
        c.set_read_timeout(30, 0);
        auto result = c.Post(
            DevServerHarness::folderUrl(path).c_str(), h->headers(), bodyText.size(),
            [&](size_t offset, size_t length, httplib::DataSink& sink) {
                size_t half = bodyText.size() / 2;
                if (offset == half) {
                    std::unique_lock lock(m);
                    halfSent = true;
                    cv.notify_all();
                    // Bounded: the test fails rather than hangs if the main thread stalls.
                    cv.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
                }
                size_t end = offset < half ? half : bodyText.size();
                size_t n = std::min(length, end - offset);
                sink.write(bodyText.data() + offset, n);
                return true;
            },
            ("multipart/form-data; boundary=" + boundary).c_str());
        if (result) resultStatus = result->status;
    });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return halfSent; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the server write what it has
    EXPECT_EQ(errorIdOf(h->get(DevServerHarness::folderUrl(path))), 20);
    EXPECT_FALSE(std::filesystem::exists(h->root() / "server/data/Documents/slow.bin"));
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    uploader.join();
    EXPECT_EQ(resultStatus, 200);
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl(path)))["size"], content.size());
}

TEST_F(DevserverTransfer, ConcurrentClientsSeeConsistentFiles) {
    startAndLogin();
    constexpr int kThreads = 6, kFiles = 4;
    std::atomic<int> failures{0};
    std::atomic<bool> uploading{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", h->process().port());
            c.set_url_encode(false);
            for (int f = 0; f < kFiles; ++f) {
                // Every thread also rewrites one shared file, so commits race on the same name.
                std::string path =
                    f == 0 ? "/Documents/shared.bin"
                           : "/Documents/t" + std::to_string(t) + "-" + std::to_string(f) + ".bin";
                std::string content = randomBytes(64 * 1024, static_cast<unsigned>(t * 100 + f));
                const std::string b = "---C" + std::to_string(t) + "---";
                std::string rev;
                if (f == 0) {
                    auto cur = c.Get(DevServerHarness::folderUrl(path).c_str(), h->headers());
                    if (cur && cur->status == 200) rev = parseJson(cur->body)["revision"];
                }
                auto r = c.Post(
                    DevServerHarness::folderUrl(path).c_str(), h->headers(),
                    DevServerHarness::uploadBody(b, "x", content, rev, std::to_string(content.size()),
                                                 "2021-01-01T00:00:00.000Z", "2021-01-01T00:00:00.000Z"),
                    ("multipart/form-data; boundary=" + b).c_str());
                if (!r || (r->status != 200 && !(f == 0 && r->status == 409))) ++failures;
            }
        });
    }
    std::thread lister([&] {
        httplib::Client c("127.0.0.1", h->process().port());
        c.set_url_encode(false);
        while (uploading) {
            auto r = c.Get((DevServerHarness::folderUrl("/Documents") + "?type=all&includeAll=true").c_str(),
                           h->headers());
            if (!r || r->status != 200) ++failures;
            // Every listed file is whole: its size is that of a finished upload.
            json listing = parseJson(r ? r->body : "");
            for (const auto& e : listing["contents"])
                if (e["name"].get<std::string>().rfind("t", 0) == 0 && e["size"] != 64 * 1024) ++failures;
        }
    });
    for (auto& t : threads) t.join();
    uploading = false;
    lister.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t)
        for (int f = 1; f < kFiles; ++f) {
            std::string path = "/Documents/t" + std::to_string(t) + "-" + std::to_string(f) + ".bin";
            json e = body(h->get(DevServerHarness::folderUrl(path)));
            auto down =
                h->get(DevServerHarness::folderUrl(path) + "?revision=" + e["revision"].get<std::string>(),
                       "application/octet-stream");
            EXPECT_TRUE(down && down->body == randomBytes(64 * 1024, static_cast<unsigned>(t * 100 + f)))
                << path;
        }
    // No temporary file is left behind.
    for (const auto& entry : std::filesystem::directory_iterator(h->root() / "server/tmp"))
        EXPECT_NE(entry.path().filename().string().rfind("upload-", 0), 0u) << entry.path();
}

}  // namespace
}  // namespace tw::test
