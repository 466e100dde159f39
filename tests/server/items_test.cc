// Server entries: building them from JSON (and from garbage), dates, listings in both shapes, single
// entries; and deriving item records from them.
#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Pinewick/metadata/CEAUtils.h"
#include "fixture.h"
#include "platform/files.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using NR = normalisedResponse;
using SE = serverError;
using Fmt = ServerFileObject::BrindleDateFormatter;

TEST(ServerFileObjectTest, BuildsFromAServerDictionary) {
    auto j =
        nlohmann::json::parse(R"({"name":"Report\uf022 Q1\uf028","size":4096,"revision":"17","directory":0,
        "permissions":"READ","mode":"AUTOMATIC","type":"Local","allow_sharing":true,
        "creation_time":"2019-05-01T10:20:30.123Z","modification_time":"garbage"})");
    ServerFileObject f(j);
    EXPECT_EQ(f.name, "Report: Q1 ");
    EXPECT_EQ(f.size, 4096u);
    EXPECT_EQ(f.revision, "17");
    EXPECT_FALSE(f.isDirectory);
    EXPECT_TRUE(f.isReadOnly);
    EXPECT_EQ(f.mode, ServerFileObject::modeKeys::Automatic);
    EXPECT_EQ(f.diskType, "Local");
    EXPECT_TRUE(f.allowSharing);
    EXPECT_EQ(f.creationDate, Date(std::chrono::seconds(1556706030)) + std::chrono::milliseconds(123));
    EXPECT_EQ(f.modificationDate, Fmt::referenceDate());
    EXPECT_NE(f.description().find("\r          Revision: 17\r"), std::string::npos);

    // Mode is case-exact; anything else inherits.
    EXPECT_EQ(ServerFileObject(nlohmann::json{{"mode", "MANUAL"}}).mode, ServerFileObject::modeKeys::Manual);
    EXPECT_EQ(ServerFileObject(nlohmann::json{{"mode", "Manual"}}).mode, ServerFileObject::modeKeys::Inherit);
    EXPECT_FALSE(ServerFileObject(nlohmann::json{{"permissions", "WRITE"}}).isReadOnly);
}

TEST(ServerFileObjectTest, MistypedMembersKeepTheirStartValues) {
    auto j =
        nlohmann::json::parse(R"({"name":7,"size":"big","revision":3,"directory":"no","permissions":false,
        "mode":1,"type":null,"allow_sharing":"yes","creation_time":12})");
    ServerFileObject f(j);
    ServerFileObject fresh;
    EXPECT_EQ(f.name, fresh.name);
    EXPECT_EQ(f.size, 0u);
    EXPECT_EQ(f.revision, "0");
    EXPECT_TRUE(f.isDirectory);
    EXPECT_FALSE(f.isReadOnly);
    EXPECT_EQ(f.diskType, "Inherit");
    EXPECT_FALSE(f.allowSharing);
    EXPECT_EQ(f.creationDate, Fmt::referenceDate());
    // A negative or fractional size never wraps around.
    EXPECT_EQ(ServerFileObject(nlohmann::json{{"size", -5}}).size, 0u);
    EXPECT_EQ(ServerFileObject(nlohmann::json{{"size", 12.9}}).size, 12u);
    EXPECT_EQ(ServerFileObject(nlohmann::json::array()).name, "");
}

TEST(ServerFileObjectTest, DatesIncludingTheMagicGreyDate) {
    auto& fmt = Fmt::sharedInstance();
    EXPECT_EQ(fmt.remoteToLocalDate("2019-05-01T10:20:30.123Z"),
              Date(std::chrono::seconds(1556706030)) + std::chrono::milliseconds(123));
    auto before = std::chrono::system_clock::now();
    Date grey = fmt.remoteToLocalDate("1984-01-24T08:00:00.000Z");
    EXPECT_GE(grey, before - 1s);
    EXPECT_LE(grey, std::chrono::system_clock::now() + 1s);
    EXPECT_EQ(fmt.remoteToLocalDate("1984-01-24T08:00:00.001Z"), Fmt::magicGreyDate() + 1ms);
    for (const char* bad :
         {"", "yesterday", "2019-05-01T10:20:30Z", "2019-02-31T10:20:30.000Z", "2019-05-01 10:20:30.000Z",
          "2019-13-01T10:20:30.000Z", "2019-05-01T10:20:30.000Zjunk", "1009-05-01T10:20:30.123Z",
          "9999-12-31T23:59:59.999Z"})
        EXPECT_EQ(fmt.remoteToLocalDate(bad), Fmt::referenceDate()) << bad;
}

TEST(ServerFileObjectTest, FromWhatARecordSays) {
    ServerFileObject file("a.txt", std::string("9"), uint64_t{10});
    EXPECT_FALSE(file.isDirectory);
    EXPECT_EQ(file.revision, "9");
    EXPECT_EQ(file.size, 10u);
    ServerFileObject folder("dir", std::nullopt, std::nullopt);
    EXPECT_TRUE(folder.isDirectory);
    EXPECT_EQ(folder.revision, "0");
}

TEST(ServerFileObjectTest, WhatARecordKeepsOfAnEntry) {
    ServerFileObject entry(nlohmann::json{
        {"revision", "12"}, {"size", 7}, {"permissions", "READ"}, {"allow_sharing", 1}, {"mode", "MANUAL"}});
    auto facts = entry.serverFacts();
    EXPECT_EQ(facts.revision, "12");
    EXPECT_EQ(facts.size, 7u);
    EXPECT_TRUE(facts.readOnly);
    EXPECT_TRUE(facts.canShare);
    EXPECT_EQ(facts.mode, ServerItemFacts::Mode::Manual);
    EXPECT_EQ(ServerFileObject(nlohmann::json{{"mode", "AUTOMATIC"}}).serverFacts().mode,
              ServerItemFacts::Mode::Automatic);
    EXPECT_EQ(ServerFileObject().serverFacts().mode, ServerItemFacts::Mode::Inherit);
}

class ListingTest : public ServerFixture {};

TEST_F(ListingTest, BothShapesAndTheRoot) {
    logOn();
    server.addFolder("/Team");
    server.addFile("/Team/a.txt", "hello", "5");
    server.addFolder("/Team/sub");
    FolderContentDetails listing(env, volume->localFolder);
    auto [outcome, error] = listing.fetchFolderContents();
    ASSERT_EQ(outcome, NR::allOkay);
    EXPECT_EQ(error, SE::noError);
    ASSERT_TRUE(listing.rootObject);
    EXPECT_TRUE(listing.rootObject->isDirectory);
    ASSERT_EQ(listing.contents.size(), 2u);
    EXPECT_EQ(listing.contents[0].name, "a.txt");
    EXPECT_EQ(listing.contents[0].size, 5u);
    EXPECT_EQ(server.requests().back().target, "/api/folders/Team?type=all&includeAll=true");

    // The top level.
    FolderContentDetails top(env, "/");
    EXPECT_EQ(top.fetchFolderContents().first, NR::allOkay);
    EXPECT_EQ(server.requests().back().target, "/api/folders/?type=all&includeAll=true");

    // An answer that is only an array.
    server.setIntercept([](const HttpRequest&) {
        return HttpReply::json(200, R"([{"name":"x","directory":0},{"name":"y"}, 5, "z"])");
    });
    FolderContentDetails arrayOnly(env, volume->localFolder);
    EXPECT_EQ(arrayOnly.fetchFolderContents().first, NR::allOkay);
    EXPECT_FALSE(arrayOnly.rootObject);
    ASSERT_EQ(arrayOnly.contents.size(), 2u);
    EXPECT_FALSE(arrayOnly.contents[0].isDirectory);
    EXPECT_TRUE(arrayOnly.contents[1].isDirectory);
}

TEST_F(ListingTest, GarbageAnswersGiveAClearOutcome) {
    logOn();
    struct Row {
        HttpReply reply;
        NR outcome;
        SE error;
    };
    std::string huge(40u << 20, ' ');
    const Row rows[] = {
        {HttpReply::json(200, "this is not json"), NR::fatal, SE::noError},
        {HttpReply::json(200, "42"), NR::fatal, SE::noError},
        {HttpReply::json(200, R"({"contents": "nope"})"), NR::allOkay, SE::noError},
        {HttpReply::error(20, 404), NR::attemptRecovery, SE::itemNotFound},
        {HttpReply::error(1001, 500), NR::attemptRecovery, SE::smbFileSystemError},
        {HttpReply::json(500, "<html>"), NR::attemptRecovery, SE::jsonResponseMissing},
        {HttpReply::error(1083, 403), NR::attemptRecovery, SE::noError},
        {HttpReply::json(200, "[" + huge + "]"), NR::attemptRecovery, SE::noError},
    };
    for (auto& r : rows) {
        server.setIntercept([&](const HttpRequest&) { return r.reply; });
        FolderContentDetails listing(env, volume->localFolder);
        auto [outcome, error] = listing.fetchFolderContents();
        EXPECT_EQ(outcome, r.outcome) << r.reply.body.substr(0, 40);
        EXPECT_EQ(error, r.error) << r.reply.body.substr(0, 40);
    }
    // A truncated answer is a lost connection.
    server.setIntercept([](const HttpRequest&) {
        HttpReply r = HttpReply::json(200, R"({"name":"Team","contents":[{"name":"a"}]})");
        r.cutBodyAfter = 10;
        return r;
    });
    FolderContentDetails truncated(env, volume->localFolder);
    EXPECT_EQ(truncated.fetchFolderContents().first, NR::fatal);
    EXPECT_NE(logText().find("answered with a body that is not a listing"), std::string::npos);
}

TEST_F(ListingTest, EntriesWithUnusableNamesAreDropped) {
    logOn();
    server.setIntercept([](const HttpRequest&) {
        nlohmann::json doc = {{"name", "Team"},
                              {"contents",
                               {{{"name", ".."}},
                                {{"name", "a/b"}},
                                {{"name", std::string("n\0ul", 4)}},
                                {{"name", ""}},
                                {{"name", "."}},
                                {{"name", "fine"}},
                                {{"name", "\xef\x80\xa9"}}}}};
        return HttpReply::json(200, doc.dump());
    });
    FolderContentDetails listing(env, volume->localFolder);
    ASSERT_EQ(listing.fetchFolderContents().first, NR::allOkay);
    // U+F029 alone becomes "." and is dropped as well.
    ASSERT_EQ(listing.contents.size(), 1u);
    EXPECT_EQ(listing.contents[0].name, "fine");
    EXPECT_EQ(count(logText(), "Ignoring a server entry with an unusable name"), 6u);
}

TEST_F(ListingTest, FetchAttributesOfOneItem) {
    logOn();
    server.addFolder("/Team");
    server.addFile("/Team/a b.txt", "hello", "5");
    FetchAttributes fetch(env, local("a b.txt"));
    ASSERT_EQ(fetch.performServerAction(), NR::allOkay);
    ASSERT_TRUE(fetch.fileObject);
    EXPECT_EQ(fetch.fileObject->name, "a b.txt");
    EXPECT_EQ(fetch.fileObject->revision, "5");
    EXPECT_EQ(server.requests().back().target, "/api/folders/Team/a%20b.txt");

    FetchAttributes missing(env, local("nope"));
    EXPECT_EQ(missing.performServerAction(), NR::attemptRecovery);
    EXPECT_FALSE(missing.fileObject);

    server.setIntercept([](const HttpRequest&) { return HttpReply::json(200, "[]"); });
    FetchAttributes notAnEntry(env, local("a b.txt"));
    EXPECT_EQ(notAnEntry.performServerAction(), NR::fatal);
    server.setIntercept([](const HttpRequest&) { return HttpReply::error(1083, 403); });
    FetchAttributes refused(env, local("a b.txt"));
    EXPECT_EQ(refused.performServerAction(), NR::attemptRecovery);
    EXPECT_NE(logText().find("Unhandled AttemptRecovery permissionDenied"), std::string::npos);
}

// ---- records from entries

class CEAUtilsTest : public ServerFixture {};

TEST_F(CEAUtilsTest, ServerFactsAndTheStateRule) {
    std::string file = local("doc.txt");
    ASSERT_TRUE(writeFile(file, "x"));
    ServerFileObject entry(nlohmann::json{{"name", "doc.txt"},
                                          {"revision", "8"},
                                          {"size", 1},
                                          {"directory", 0},
                                          {"permissions", "READ"},
                                          {"allow_sharing", 1},
                                          {"mode", "MANUAL"}});
    auto record = CEAUtils::refreshFilePath(file, entry.serverFacts());
    EXPECT_EQ(record.ceaString.getAttribute(CEAString::keys::Revision).value_or(""), "8");
    EXPECT_TRUE(record.ceaBool.getAttribute(CEABool::keys::ReadOnly));
    EXPECT_TRUE(record.ceaBool.getAttribute(CEABool::keys::CanShare));
    EXPECT_EQ(record.ceaLong.getAttribute(CEALong::keys::ServerFileSize).value_or(0), 1u);
    CorvaneExtendedAttributes reread(file);
    EXPECT_EQ(reread.ceaStatus.status, CEAStatus::keys::Placeholder);

    // A classified item keeps its state.
    entry.mode = ServerFileObject::modeKeys::Automatic;
    CEAUtils::refreshFilePath(file, entry.serverFacts());
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, CEAStatus::keys::Placeholder);

    // A folder takes only the flags.
    std::string folder = local("dir");
    std::filesystem::create_directories(folder);
    ServerFileObject folderEntry(nlohmann::json{{"name", "dir"}, {"revision", "3"}, {"mode", "AUTOMATIC"}});
    auto f = CEAUtils::refreshFolder(folder, folderEntry.serverFacts());
    EXPECT_FALSE(f.ceaString.getAttribute(CEAString::keys::Revision));
    EXPECT_EQ(CorvaneExtendedAttributes(folder).ceaStatus.status, CEAStatus::keys::Regular);

    ASSERT_TRUE(CEAUtils::setLocal(file));
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, CEAStatus::keys::LocalOnly);
}

// A caller that changes a refreshed record further saves it once, so the item never carries the state
// in between; the server code does the same through its seam.
TEST_F(CEAUtilsTest, ARefreshedRecordIsWrittenOnlyByItsCaller) {
    std::string file = local("later.txt");
    ASSERT_TRUE(writeFile(file, "x"));
    ServerFileObject entry(nlohmann::json{
        {"name", "later.txt"}, {"revision", "5"}, {"size", 1}, {"directory", 0}, {"mode", "AUTOMATIC"}});
    auto record = CEAUtils::refreshedFile(file, entry.serverFacts());
    EXPECT_EQ(record.ceaStatus.status, CEAStatus::keys::Regular);
    EXPECT_EQ(record.ceaString.getAttribute(CEAString::keys::Revision).value_or(""), "5");
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, CEAStatus::keys::Unknown);
    EXPECT_FALSE(CorvaneExtendedAttributes(file).ceaString.getAttribute(CEAString::keys::Revision));
    record.ceaStatus.setStatus(CEAStatus::keys::RequireDownload);
    ASSERT_TRUE(record.save());
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, CEAStatus::keys::RequireDownload);

    std::string other = local("other.txt");
    ASSERT_TRUE(writeFile(other, "x"));
    EXPECT_TRUE(env.itemRecords().refreshFile(other, entry));
    auto facts = env.itemRecords().load(other);
    EXPECT_EQ(facts.status, CEAStatus::keys::Regular);
    EXPECT_EQ(facts.revision.value_or(""), "5");
    // Classified now: kept as it is, which counts as written.
    EXPECT_TRUE(env.itemRecords().setStatusIfUnknown(other));
    EXPECT_EQ(env.itemRecords().load(other).status, CEAStatus::keys::Regular);
}

// An upload marks only the file it read: a record write for another file that took the name, or for a
// file gone, is refused with the cause the upload then reports, and leaves whatever stands there alone.
TEST_F(CEAUtilsTest, ARecordWriteForAFileNoLongerThereSaysWhy) {
    std::string file = local("sent.txt");
    ASSERT_TRUE(writeFile(file, "x"));
    auto node = platform::attributesOfItem(file)->systemFileNumber;
    ASSERT_TRUE(env.itemRecords().setUploadGUID(file, "GUID-1", node));

    std::string aside = local("aside.txt");
    ASSERT_TRUE(writeFile(aside, "y"));
    std::filesystem::rename(aside, file);  // another file takes the name, as an editor's save does
    auto replaced = env.itemRecords().setRevision(file, "9", node);
    ASSERT_FALSE(replaced);
    EXPECT_EQ(replaced.cause().code, ESTALE);
    EXPECT_EQ(replaced.cause().path, file);
    EXPECT_FALSE(env.itemRecords().load(file).revision);

    std::filesystem::remove(file);
    auto gone = env.itemRecords().setUploadGUID(file, "GUID-2", node);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.cause().code, ENOENT);
    EXPECT_NE(gone.cause().describe().find(file), std::string::npos) << gone.cause().describe();
}

TEST_F(CEAUtilsTest, InheritFollowsTheNearestClassifiedAncestor) {
    std::string top = local("top");
    std::filesystem::create_directories(top + "/mid/low");
    ASSERT_TRUE(writeFile(top + "/mid/low/f", "x"));
    // Nothing classified up to the root: placeholder.
    EXPECT_EQ(CEAUtils::determineInhert(top + "/mid/low/f"), CEAStatus::keys::Placeholder);
    CorvaneExtendedAttributes t(top);
    t.ceaStatus.setStatus(CEAStatus::keys::ErrorRegular);
    ASSERT_TRUE(t.save());
    EXPECT_EQ(CEAUtils::determineInhert(top + "/mid/low/f"), CEAStatus::keys::Regular);
    CorvaneExtendedAttributes m(top + "/mid");
    m.ceaStatus.setStatus(CEAStatus::keys::Placeholder);
    ASSERT_TRUE(m.save());
    EXPECT_EQ(CEAUtils::determineInhert(top + "/mid/low/f"), CEAStatus::keys::Placeholder);
    EXPECT_EQ(CEAUtils::determineInhert("/"), CEAStatus::keys::Placeholder);

    ServerFileObject inherit(nlohmann::json{{"name", "f"}, {"revision", "1"}});
    CEAUtils::refreshFilePath(top + "/mid/low/f", inherit.serverFacts());
    EXPECT_EQ(CorvaneExtendedAttributes(top + "/mid/low/f").ceaStatus.status, CEAStatus::keys::Placeholder);
}

}  // namespace
}  // namespace tw::test
