// Create-folder, delete and move against the fake server.
#include "Pinewick/server/ServerRequests.h"
#include "fixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using NR = normalisedResponse;
using SE = serverError;

class RequestsTest : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        server.addFolder("/Team");
        logOn();
        server.clearRequests();
    }
    Date when = Date(std::chrono::seconds(1556706030));
};

TEST_F(RequestsTest, CreateFolderCreatesMissingParentsTopDown) {
    std::filesystem::create_directories(local("a/b/c"));
    ASSERT_EQ(CreateFolderDetails(env, local("a/b/c"), when).createFolder(), NR::allOkay);
    EXPECT_TRUE(server.entry("/Team/a/b/c")->directory);
    std::vector<std::string> created;
    for (auto& r : server.requests())
        if (r.method == "POST" && r.form()["operation"] == "create") created.push_back(r.form()["name"]);
    // c fails, b fails, a succeeds, then b, then c.
    EXPECT_EQ(created, (std::vector<std::string>{"c", "b", "a", "b", "c"}));
    auto first = server.requests().front();
    EXPECT_EQ(first.target, "/api/folders/Team/a/b");
    EXPECT_EQ(first.body.substr(0, first.body.find("&modification_time=")),
              "name=c&operation=create&creation_time=2019-05-01T10:20:30.000Z");
    EXPECT_EQ(first.header("content-type"), "");
    EXPECT_EQ(first.header("accept"), "application/json");
}

TEST_F(RequestsTest, CreateFolderThatExistsIsSuccessOnlyForAFolder) {
    server.addFolder("/Team/there");
    for (const char* rel : {"there", "file", "x", "p/q"}) std::filesystem::create_directories(local(rel));
    EXPECT_EQ(CreateFolderDetails(env, local("there"), when).createFolder(), NR::allOkay);
    server.addFile("/Team/file", "x");
    EXPECT_EQ(CreateFolderDetails(env, local("file"), when).createFolder(), NR::fatal);
    EXPECT_NE(logText().find("(Debug) Fatal error in CreateFolder"), std::string::npos);

    server.setIntercept([](const HttpRequest& req) -> std::optional<HttpReply> {
        if (req.method == "POST") return HttpReply::error(1039, 403);
        return std::nullopt;
    });
    EXPECT_EQ(CreateFolderDetails(env, local("x"), when).createFolder(), NR::fatal);
    EXPECT_NE(logText().find("unexpected CreateFolder error"), std::string::npos);

    // A server that always says the parent is missing cannot drive the recursion forever.
    server.setIntercept([](const HttpRequest& req) -> std::optional<HttpReply> {
        if (req.method == "POST") return HttpReply::error(14, 404);
        return std::nullopt;
    });
    EXPECT_EQ(CreateFolderDetails(env, local("p/q"), when).createFolder(), NR::fatal);
}

TEST_F(RequestsTest, DeleteOfAMissingItemIsDone) {
    DeleteDetails del(env, local("nothing.txt"), false, "3");
    EXPECT_EQ(del.performServerDelete(), NR::allOkay);
    EXPECT_EQ(del.serverErrorCode, SE::cannotDeleteNonExistingItem);
    EXPECT_EQ(server.requests().back().target, "/api/folders/Team/nothing.txt?revision=3");
    EXPECT_EQ(count(logText(), "Ignoring delete of item " + local("nothing.txt")), 1u);

    // A folder that is already gone needs no DELETE.
    server.clearRequests();
    DeleteDetails folder(env, local("gone"), true, "");
    EXPECT_EQ(folder.performServerDelete(), NR::allOkay);
    for (auto& r : server.requests()) EXPECT_NE(r.method, "DELETE");
}

TEST_F(RequestsTest, DeleteOfANonEmptyFolderSendsNoDelete) {
    server.addFolder("/Team/full");
    server.addFile("/Team/full/item", "x");
    DeleteDetails del(env, local("full"), true, "");
    EXPECT_EQ(del.performServerDelete(), NR::attemptRecovery);
    EXPECT_EQ(del.serverErrorCode, SE::folderNotEmpty);
    ASSERT_TRUE(del.restoreFile);
    EXPECT_EQ(del.restoreFile->name, "full");
    for (auto& r : server.requests()) EXPECT_NE(r.method, "DELETE");

    server.addFolder("/Team/empty");
    DeleteDetails empty(env, local("empty"), true, "");
    EXPECT_EQ(empty.performServerDelete(), NR::allOkay);
    EXPECT_FALSE(server.entry("/Team/empty"));
}

TEST_F(RequestsTest, DeleteOfALockedFileRetriesTwiceThenRestores) {
    server.addFile("/Team/locked.doc", "x", "12");
    server.setIntercept([](const HttpRequest& req) -> std::optional<HttpReply> {
        if (req.method == "DELETE") return HttpReply::error(26, 423);
        return std::nullopt;
    });
    DeleteDetails del(env, local("locked.doc"), false, "12");
    EXPECT_EQ(del.performServerDelete(), NR::attemptRecovery);
    EXPECT_EQ(del.serverErrorCode, SE::couldNotLockFile);
    EXPECT_EQ(sleeps, (std::vector<int>{5, 5}));
    int deletes = 0;
    for (auto& r : server.requests()) deletes += r.method == "DELETE";
    EXPECT_EQ(deletes, 3);
    EXPECT_EQ(count(logText(), "Retrying deletion of " + local("locked.doc")), 2u);
    ASSERT_TRUE(del.restoreFile);
    EXPECT_EQ(del.restoreFile->revision, "12");
    EXPECT_EQ(server.requests().back().method, "GET");
}

TEST_F(RequestsTest, DeleteRefusalsByCase) {
    server.addFile("/Team/f", "x", "9");
    struct Row {
        std::string body;
        NR outcome;
        SE error;
        bool restored;
    };
    const Row rows[] = {
        {R"({"errorId":1082})", NR::attemptRecovery, SE::mappointIsReadOnly, true},
        {R"({"errorId":1083})", NR::attemptRecovery, SE::permissionDenied, true},
        {R"({"errorId":1077,"document_info":{"name":"f","revision":"10","directory":0}})",
         NR::attemptRecovery, SE::revisionsDoNotMatch, true},
        {R"({"errorId":1077})", NR::fatal, SE::revisionsDoNotMatch, false},
        {R"({"errorId":1119})", NR::fatal, SE::folderNotEmpty, false},
    };
    for (auto& r : rows) {
        server.setIntercept([&](const HttpRequest& req) -> std::optional<HttpReply> {
            if (req.method == "DELETE") return HttpReply::json(409, r.body);
            return std::nullopt;
        });
        DeleteDetails del(env, local("f"), false, "9");
        EXPECT_EQ(del.internalDelete(), r.outcome) << r.body;
        EXPECT_EQ(del.serverErrorCode, r.error) << r.body;
        EXPECT_EQ(del.restoreFile.has_value(), r.restored) << r.body;
    }
    EXPECT_NE(logText().find("Unhandled Delete Error folderNotEmpty"), std::string::npos);
}

TEST_F(RequestsTest, MoveSendsTheWholeDestinationAndAnEmptyRevision) {
    server.addFile("/Team/x", "data");
    MoveDetails move(env, local("x"), local("sub dir/y:z"), "");
    auto [outcome, error] = move.performServerAction();
    EXPECT_EQ(outcome, NR::allOkay);
    EXPECT_EQ(error, SE::noError);
    auto req = server.requests().back();
    EXPECT_EQ(req.target, "/api/folders/Team/x");
    EXPECT_EQ(req.body, "name=/Team/sub%20dir/y%ef%80%a2z&operation=move&overwrite=false&revision=");
    EXPECT_EQ(server.entry("/Team/sub dir/y\xef\x80\xa2z")->data, "data");

    MoveDetails clash(env, local("sub dir/y:z"), local("sub dir/y:z"), "1");
    auto [o2, e2] = clash.performServerAction();
    EXPECT_EQ(o2, NR::attemptRecovery);
    EXPECT_EQ(e2, SE::itemAlreadyExist);
}

}  // namespace
}  // namespace tw::test
