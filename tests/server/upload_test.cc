// Uploads against the fake server: single-shot and resumable forms, the body stream, the refusals the
// server can give, files that change under the upload, and the progress shown on the file.
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/server/IconProgress.h"
#include "Pinewick/server/LocalFileDates.h"
#include "Pinewick/server/UploadDetails.h"
#include "fixture.h"
#include "platform/files.h"
#include "support/random_bytes.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using NR = normalisedResponse;

class UploadTest : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        server.addFolder("/Team");
        logOn();
        server.clearRequests();
    }
    std::vector<HttpRequest> posts() {
        std::vector<HttpRequest> out;
        for (auto& r : server.requests())
            if (r.method == "POST") out.push_back(r);
        return out;
    }
};

// ---- the body stream

TEST(UploadStreamTest, ReadingOneByteAtATimeWalksHeaderFileAndFooter) {
    TempDir d;
    std::string path = (d / "f").string();
    writeFile(path, "0123456789");
    auto s = UploadStream::make("HEAD", "FOOT", path, 3);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->streamSize(), 4 + 7 + 4);
    EXPECT_EQ(s->streamStatus(), UploadStream::Status::notOpen);
    s->open();
    std::string got;
    uint8_t b;
    int64_t n;
    while ((n = s->read(&b, 1)) > 0) {
        EXPECT_EQ(n, 1);
        got += static_cast<char>(b);
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, "HEAD3456789FOOT");
    EXPECT_EQ(s->streamStatus(), UploadStream::Status::atEnd);
    EXPECT_FALSE(s->hasBytesAvailable());
    EXPECT_FALSE(s->getBuffer());

    // A large read never crosses a region boundary.
    auto t = UploadStream::make("HEAD", "FOOT", path, 0);
    uint8_t buf[64];
    EXPECT_EQ(t->read(buf, 64), 4);
    EXPECT_EQ(t->read(buf, 64), 10);
    EXPECT_EQ(t->read(buf, 64), 4);
    EXPECT_EQ(t->read(buf, 64), 0);
}

TEST(UploadStreamTest, AFileThatShrinksOrCannotBeReadIsNeverSentShort) {
    TempDir d;
    std::string path = (d / "f").string();
    writeFile(path, std::string(100000, 'a'));
    auto s = UploadStream::make("H", "F", path, 0);
    ASSERT_TRUE(s);
    uint8_t buf[4096];
    EXPECT_EQ(s->read(buf, 1), 1);
    EXPECT_EQ(s->read(buf, 4096), 4096);
    ASSERT_EQ(::truncate(path.c_str(), 5000), 0);
    EXPECT_EQ(s->read(buf, 4096), -1);  // no crash, no zeros in place of the file

    EXPECT_FALSE(UploadStream::make("H", "F", (d / "missing").string(), 0));
    EXPECT_FALSE(UploadStream::make("H", "F", d.str(), 0));    // a folder
    EXPECT_FALSE(UploadStream::make("H", "F", path, 999999));  // resume past the end
    writeFile(d / "empty", "");
    auto e = UploadStream::make("H", "F", (d / "empty").string(), 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->streamSize(), 2);
}

TEST(MappedFileTest, ACopyFromPagesTruncatedAwayFailsInsteadOfCrashing) {
    TempDir d;
    std::string path = (d / "f").string();
    long page = sysconf(_SC_PAGESIZE);
    writeFile(path, std::string(static_cast<size_t>(page) * 4, 'm'));
    auto m = MappedFile::open(path);
    ASSERT_TRUE(m);
    std::vector<uint8_t> buf(static_cast<size_t>(page));
    EXPECT_TRUE(m->copyOut(buf.data(), page, page));
    EXPECT_EQ(buf[0], 'm');
    ASSERT_EQ(::truncate(path.c_str(), 10), 0);
    // The mapping still spans four pages, but the pages past the end of the file are gone.
    EXPECT_FALSE(m->copyOut(buf.data(), 2 * page, page));
    EXPECT_TRUE(m->copyOut(buf.data(), 0, 10));
    EXPECT_FALSE(m->copyOut(buf.data(), 3 * page, page * 2));  // outside the mapping
}

// ---- single-shot

TEST_F(UploadTest, SingleShotSendsTheWholeFileWithItsLength) {
    std::string path = local("ten.txt");
    writeFile(path, "0123456789");
    UploadDetails up(env, path);
    EXPECT_EQ(up.localSize, 10);
    EXPECT_EQ(up.revision, "");
    ASSERT_EQ(up.uploadFile(), NR::allOkay);
    ASSERT_TRUE(up.fileObject);
    EXPECT_EQ(up.fileObject->name, "ten.txt");
    EXPECT_EQ(server.entry("/Team/ten.txt")->data, "0123456789");

    auto p = posts();
    ASSERT_EQ(p.size(), 1u);
    const auto& req = p[0];
    EXPECT_EQ(req.target, "/api/folders/Team/ten.txt");
    std::string boundary = "---" + up.resumeGUID + "---";
    EXPECT_EQ(req.header("content-type"), "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(req.header("content-length"), std::to_string(req.body.size()));
    std::string header = UploadDetails::valueSection(boundary, "operation", "create") +
                         UploadDetails::valueSection(boundary, "creation_time",
                                                     ServerCommunicator::formatDate(up.creationDate)) +
                         UploadDetails::valueSection(boundary, "modification_time",
                                                     ServerCommunicator::formatDate(up.modificationDate)) +
                         UploadDetails::valueSection(boundary, "size", "10") +
                         UploadDetails::valueSection(boundary, "revision", "") +
                         UploadDetails::fileSection(boundary, "ten.txt");
    std::string footer = "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(req.body, header + "0123456789" + footer);
    // Content-Length is the stream size: header, the ten file bytes, footer.
    EXPECT_EQ(req.header("content-length"), std::to_string(header.size() + 10 + footer.size()));
    EXPECT_EQ(up.resumeGUID.size(), 36u);
    EXPECT_EQ(up.resumeGUID, [&] {
        std::string u = up.resumeGUID;
        for (auto& c : u) c = static_cast<char>(toupper(c));
        return u;
    }());
    // The item keeps the identifier of the upload.
    EXPECT_TRUE(CorvaneExtendedAttributes(path).ceaString.getAttribute(CEAString::keys::UploadGUID));
}

TEST_F(UploadTest, NoVolumeNoNetworkOrAVanishedFileSendNothing) {
    std::string outside = (dir / "elsewhere.txt").string();
    writeFile(outside, "x");
    EXPECT_EQ(UploadDetails(env, outside).uploadFile(), NR::fatal);

    std::string path = local("gone.txt");
    writeFile(path, "abc");
    UploadDetails vanished(env, path);
    ::unlink(path.c_str());
    EXPECT_EQ(vanished.uploadFile(), NR::fatal);

    writeFile(path, "abcdef");
    UploadDetails shrunk(env, path);
    ASSERT_EQ(::truncate(path.c_str(), 2), 0);
    EXPECT_EQ(shrunk.uploadFile(), NR::fatal);

    network = false;
    writeFile(path, "abcdef");
    EXPECT_EQ(UploadDetails(env, path).uploadFile(), NR::fatal);
    EXPECT_TRUE(posts().empty());
    EXPECT_NE(logText().find("not sent: the file cannot be read as it was"), std::string::npos);
}

TEST_F(UploadTest, AFileThatShrinksDuringTheUploadIsNotSentShort) {
    std::string path = local("shrinking.bin");
    writeFile(path, std::string(16u << 20, 's'));
    server.slowBodyReadMs = 10;
    UploadDetails up(env, path);
    std::thread cut([&] {
        std::this_thread::sleep_for(400ms);
        ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
    });
    EXPECT_EQ(up.uploadFile(), NR::fatal);
    cut.join();
    EXPECT_FALSE(server.entry("/Team/shrinking.bin"));  // the server never got a whole request
    for (auto& r : posts()) EXPECT_FALSE(r.complete);
    EXPECT_NE(logText().find("File changed size while it was being uploaded"), std::string::npos);
}

TEST_F(UploadTest, ARefusedUploadSaysWhy) {
    std::string path = local("r.txt");
    writeFile(path, "data");
    struct Row {
        int errorId;
        NR outcome;
        recoveryErrors why;
    };
    for (auto r :
         {Row{22, NR::attemptRecovery, recoveryErrors::quotaExceeded},
          Row{1082, NR::attemptRecovery, recoveryErrors::readOnlyMappoint},
          Row{1083, NR::fatal, recoveryErrors::unknown}, Row{1039, NR::fatal, recoveryErrors::unknown}}) {
        server.setIntercept([&](const HttpRequest& req) -> std::optional<HttpReply> {
            if (req.method == "POST") return HttpReply::error(r.errorId, 403);
            return std::nullopt;
        });
        UploadDetails up(env, path);
        EXPECT_EQ(up.uploadFile(), r.outcome) << r.errorId;
        EXPECT_EQ(up.recoveryType, r.why) << r.errorId;
    }
    // An accepted upload whose answer is not an entry is not a success.
    server.setIntercept([](const HttpRequest&) { return HttpReply::json(200, "OK!"); });
    EXPECT_EQ(UploadDetails(env, path).uploadFile(), NR::fatal);
}

TEST_F(UploadTest, CancelledWhenTheServerMayNoLongerBeContacted) {
    std::string path = local("slow.txt");
    writeFile(path, "abc");
    server.setIntercept([](const HttpRequest& req) -> std::optional<HttpReply> {
        if (req.method == "POST") std::this_thread::sleep_for(2500ms);
        return std::nullopt;
    });
    UploadDetails up(env, path);
    std::thread flip([&] {
        std::this_thread::sleep_for(300ms);
        allowed = false;
    });
    EXPECT_EQ(up.uploadFile(), NR::attemptRecovery);
    flip.join();
    EXPECT_EQ(up.recoveryType, recoveryErrors::systemCanceled);
}

TEST_F(UploadTest, RemovingTheUploadIdentifierCancelsTheUpload) {
    std::string path = local("stop.txt");
    writeFile(path, "abc");
    server.setIntercept([](const HttpRequest& req) -> std::optional<HttpReply> {
        if (req.method == "POST") std::this_thread::sleep_for(2500ms);
        return std::nullopt;
    });
    UploadDetails up(env, path);
    std::thread remove([&] {
        std::this_thread::sleep_for(300ms);
        CorvaneExtendedAttributes record(path);
        record.ceaString.stringValues.erase(CEAString::keys::UploadGUID);
        record.ceaString.shouldSave = true;
        ASSERT_TRUE(record.save());
    });
    EXPECT_EQ(up.uploadFile(), NR::attemptRecovery);
    remove.join();
    EXPECT_EQ(up.recoveryType, recoveryErrors::userCanceled);
}

// ---- resumable

TEST_F(UploadTest, FirstResumableUploadCreatesEmptyThenSendsEverything) {
    volume->canResumeUploads = true;
    std::string path = local("r.bin");
    std::string data = randomBytes(10000);
    writeFile(path, data);
    UploadDetails up(env, path);
    ASSERT_EQ(up.uploadFile(), NR::allOkay);
    EXPECT_TRUE(server.entry("/Team/r.bin")->data == data);
    auto p = posts();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].target, "/api/folders/Team/r.bin");  // the empty create
    EXPECT_NE(p[0].body.find("name=\"size\"\r\n\r\n0"), std::string::npos);
    EXPECT_EQ(p[1].target, "/api/resume/upload/Team/r.bin?resume_id=" + up.resumeGUID);
    EXPECT_EQ(p[1].header("br_start"), "true");
    EXPECT_EQ(p[1].header("br_offset"), "0");
    EXPECT_EQ(p[1].header("br_block_size"), "10000");
    EXPECT_EQ(p[1].header("br_file_size"), "10000");
    EXPECT_EQ(p[1].header("br_finish"), "true");
    EXPECT_EQ(p[1].header("br_new_path"), "/Team/r.bin");
    EXPECT_EQ(p[1].header("content-length"), std::to_string(p[1].body.size()));
    EXPECT_NE(p[1].body.find("filename=\"r.bin.frag\""), std::string::npos);
    std::string b = "---" + up.resumeGUID + "---";
    EXPECT_EQ(p[1].body.substr(p[1].body.size() - b.size() - 6), "\r\n--" + b + "\r\n");
    CorvaneExtendedAttributes record(path);
    EXPECT_EQ(record.ceaString.getAttribute(CEAString::keys::UploadGUID).value_or(""), up.resumeGUID);
}

TEST_F(UploadTest, ASmallFileGoesInOneRequestEvenWhereUploadsCouldResume) {
    volume->canResumeUploads = true;
    env.resumableUploadsFrom = 4096;
    std::string path = local("small.txt");
    writeFile(path, "small");
    ASSERT_EQ(UploadDetails(env, path).uploadFile(), NR::allOkay);
    auto p = posts();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].target, "/api/folders/Team/small.txt");
    EXPECT_NE(p[0].body.find("name=\"size\"\r\n\r\n5"), std::string::npos);
    EXPECT_TRUE(server.entry("/Team/small.txt")->data == "small");
}

TEST_F(UploadTest, AResumableUploadCutOffIsFinishedFromWhatTheServerHolds) {
    volume->canResumeUploads = true;
    std::string path = local("cut.bin");
    std::string data = randomBytes(1u << 20);
    writeFile(path, data);
    server.dropBodyAfter("/resume/upload", 400000);
    UploadDetails first(env, path);
    EXPECT_EQ(first.uploadFile(), NR::fatal);
    EXPECT_FALSE(network);  // the lost connection counts against the network
    ASSERT_EQ(server.resumes().size(), 1u);
    size_t held = server.resumes().begin()->second.data.size();
    EXPECT_GT(held, 0u);
    EXPECT_LT(held, data.size());

    network = true;  // the run state's probe finds the server again
    server.clearRequests();
    UploadDetails second(env, path);
    EXPECT_EQ(second.resumeGUID, first.resumeGUID);
    ASSERT_EQ(second.uploadFile(), NR::allOkay);
    EXPECT_EQ(second.bytesSent, static_cast<int64_t>(held));
    EXPECT_TRUE(server.entry("/Team/cut.bin")->data == data);
    auto p = posts();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].header("br_start"), "");
    EXPECT_EQ(p[0].header("br_offset"), std::to_string(held));
    EXPECT_EQ(p[0].header("br_block_size"), std::to_string(data.size() - held));
    EXPECT_EQ(sleeps, std::vector<int>{10});  // the back-off was served first
}

TEST_F(UploadTest, AResumableUploadCutOffNeverExposesAnEmptyOrPartialRevision) {
    volume->canResumeUploads = true;
    std::string path = local("keep.bin");
    std::string old = randomBytes(5000);
    writeFile(path, old);
    ASSERT_EQ(UploadDetails(env, path).uploadFile(), NR::allOkay);
    std::string revision = server.entry("/Team/keep.bin")->revision;
    {
        CorvaneExtendedAttributes record(path);
        record.ceaString.setAttribute(CEAString::keys::Revision, revision);
        record.ceaString.stringValues.erase(CEAString::keys::UploadGUID);
        record.ceaString.shouldSave = true;
        ASSERT_TRUE(record.save());
    }
    std::string changed = randomBytes(1u << 20);
    writeFile(path, changed);
    server.dropBodyAfter("/resume/upload", 400000);
    EXPECT_EQ(UploadDetails(env, path).uploadFile(), NR::fatal);
    // Cut mid-way: colleagues still get the whole earlier revision, never an empty or partial one.
    EXPECT_EQ(server.entry("/Team/keep.bin")->revision, revision);
    EXPECT_TRUE(server.entry("/Team/keep.bin")->data == old);

    network = true;
    ASSERT_EQ(UploadDetails(env, path).uploadFile(), NR::allOkay);
    EXPECT_TRUE(server.entry("/Team/keep.bin")->data == changed);
    EXPECT_NE(server.entry("/Team/keep.bin")->revision, revision);
}

TEST_F(UploadTest, ANewFilesResumableUploadNeverReplacesAnItemAlreadyUnderItsName) {
    // A colleague's file took the name first: the new file's upload is a conflict, not a new revision
    // of the colleague's file.
    volume->canResumeUploads = true;
    std::string path = local("taken.bin");
    writeFile(path, "mine");
    server.addFile("/Team/taken.bin", "theirs", "7");
    UploadDetails up(env, path);
    EXPECT_EQ(up.uploadFile(), NR::attemptRecovery);
    EXPECT_EQ(up.recoveryType, recoveryErrors::conflict);
    EXPECT_TRUE(server.entry("/Team/taken.bin")->data == "theirs");
}

TEST_F(UploadTest, ALockedResumeAndNonsenseResumeAnswers) {
    volume->canResumeUploads = true;
    std::string path = local("l.bin");
    writeFile(path, "0123456789");
    CorvaneExtendedAttributes record(path);
    record.ceaString.setAttribute(CEAString::keys::UploadGUID, "GUID-1");
    ASSERT_TRUE(record.save());
    server.setResumeLocked("GUID-1", true);
    UploadDetails up(env, path);
    EXPECT_EQ(up.uploadFile(), NR::attemptRecovery);
    EXPECT_EQ(up.recoveryType, recoveryErrors::locked);

    for (const char* body :
         {R"({"is_locked": true})", "[]", "nope", R"({"is_locked":"false","bytes_received":"99999"})"}) {
        server.setIntercept([&](const HttpRequest& req) -> std::optional<HttpReply> {
            if (req.method == "GET") return HttpReply::json(200, body);
            return std::nullopt;
        });
        EXPECT_EQ(UploadDetails(env, path).uploadFile(), NR::fatal) << body;
    }
    EXPECT_TRUE(posts().empty());
}

// ---- progress on the file

class IconProgressTest : public ServerFixture {};

TEST_F(IconProgressTest, GrowsByWholePercentsAndPutsTheDateBack) {
    std::string path = local("p.bin");
    writeFile(path, "x");
    Date original = Date(std::chrono::seconds(1600000000));
    ASSERT_TRUE(setCreationDate(path, original));
    std::vector<std::string> written;
    {
        IconProgress bar(env.itemRecords(), path, 1000000);
        for (uint64_t t = 10000; t < 1000000; t += 10000) {
            bar.setTransfered(t);
            written.push_back(platform::getXattr(path, IconProgress::xAttrName, 64).value_or("?"));
        }
        EXPECT_EQ(creationDate(path), IconProgress::magicDate());
        EXPECT_TRUE(CorvaneExtendedAttributes(path).ceaDate.getAttribute(CEADate::keys::TransferRecovery));
        bar.setTransfered(1000000);
        EXPECT_FALSE(bar.isBarDisplayed());
    }
    ASSERT_EQ(written.size(), 99u);
    EXPECT_EQ(written[0], "0.01");
    EXPECT_EQ(written[41], "0.42");
    EXPECT_EQ(written[98], "0.99");
    EXPECT_EQ(creationDate(path), original);
    EXPECT_FALSE(platform::getXattr(path, IconProgress::xAttrName, 64));
    EXPECT_FALSE(CorvaneExtendedAttributes(path).ceaDate.getAttribute(CEADate::keys::TransferRecovery));
}

TEST_F(IconProgressTest, SmallTransfersShowNothingAndALeftoverBarIsUndone) {
    std::string path = local("q.bin");
    writeFile(path, "x");
    Date original = Date(std::chrono::seconds(1500000000));
    ASSERT_TRUE(setCreationDate(path, original));
    {
        IconProgress small(env.itemRecords(), path, 65536);
        small.setTransfered(30000);
        EXPECT_FALSE(small.isBarDisplayed());
    }
    {
        // A crash left the marker date; the record still has the real one.
        IconProgress crashed(env.itemRecords(), path, 65537);
        crashed.setInProgress(true);
        ASSERT_TRUE(crashed.isBarDisplayed());
    }
    ASSERT_TRUE(setCreationDate(path, IconProgress::magicDate()));
    ASSERT_TRUE(env.itemRecords().setTransferRecovery(path, original));
    {
        IconProgress next(env.itemRecords(), path, 1000000);
        next.setTransfered(500000);
        next.setInProgress(false);
    }
    EXPECT_EQ(creationDate(path), original);
}

}  // namespace
}  // namespace tw::test
