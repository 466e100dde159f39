// Every exchange of the synchronisation protocol over loopback HTTP, checked against the wire forms
// the client sends and reads.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "devserver/wire.h"
#include "platform/sqlite.h"
#include "support/devserver_process.h"

namespace tw::test {
namespace {

using nlohmann::json;
using tw::devserver::percentEncode;

const char* kPrivateColon = "\xef\x80\xa2";  // U+F022, the stand-in for ":"

bool isWireDate(const json& j) {
    static const std::regex re(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)");
    return j.is_string() && std::regex_match(j.get<std::string>(), re);
}

json findChild(const json& listing, const std::string& name) {
    for (const auto& c : listing["contents"])
        if (c["name"] == name) return c;
    return json();
}

using DevserverProtocol = DevServerTest;

TEST_F(DevserverProtocol, EndpointDiscoveryOffersConfiguredVersions) {
    startAndLogin();
    // The reachability probe: a HEAD of the bare address, without a session.
    auto probe = h->http().Head("/");
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->status, 200);
    for (const char* path : {"/endpoints", "//endpoints"}) {
        auto r = h->http().Get(path, {{"Accept", "application/json"}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        json doc = body(r);
        EXPECT_EQ(doc["br"]["sync"]["1.6"]["path"], "/br/sync/1.6/") << path;
        EXPECT_EQ(doc["br"]["audit"]["1"]["path"], "/br/audit/1/") << path;
    }
    ASSERT_EQ(h->stop(), 0);

    DevServerHarness older(dir.path());
    ASSERT_TRUE(older.start({"--versions", "1.5,1.4"}));
    json doc = parseJson(older.http().Get("//endpoints")->body);
    EXPECT_FALSE(doc["br"]["sync"].contains("1.6"));
    EXPECT_EQ(doc["br"]["sync"]["1.5"]["path"], "/br/sync/1.5/");
    EXPECT_EQ(doc["br"]["sync"]["1.4"]["path"], "/br/sync/1.4/");
    // Only offered versions are served.
    EXPECT_EQ(older.http().Post("/br/sync/1.6/sessions", "user_id=alice", "")->status, 404);
    EXPECT_EQ(older.http()
                  .Post("/br/sync/1.5/sessions", "user_id=alice&password=" + percentEncode("s3cret&=x"), "")
                  ->status,
              200);
    EXPECT_EQ(older.stop(), 0);
}

TEST_F(DevserverProtocol, SessionsGateEveryRequestAndExpire) {
    ASSERT_TRUE(h->start({"--session-ttl", "1"}));
    const std::string listing = DevServerHarness::folderUrl("/") + "?type=all&includeAll=true";

    auto anonymous = h->get(listing);
    EXPECT_EQ(anonymous->status, 401);
    EXPECT_EQ(errorIdOf(anonymous), 1);

    EXPECT_FALSE(h->login("alice", "wrong"));
    EXPECT_FALSE(h->login("mallory", "s3cret&=x"));
    auto missing = h->http().Post(DevServerHarness::sync("sessions").c_str(), "user_id=alice", "");
    EXPECT_EQ(errorIdOf(missing), tw::devserver::error_id::badRequest);

    // The password holds "&" and "=", sent as %26 and %3d.
    ASSERT_TRUE(h->login());
    EXPECT_NE(h->cookie().find("tidewell_session="), std::string::npos);
    EXPECT_EQ(h->get(listing)->status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(errorIdOf(h->get(listing)), 1) << "session should have expired";

    ASSERT_TRUE(h->login());
    auto off = h->del(DevServerHarness::sync("sessions"));
    EXPECT_EQ(off->status, 200);
    EXPECT_EQ(errorIdOf(h->get(listing)), 1) << "logoff must end the session";
}

TEST_F(DevserverProtocol, ListingsAndAttributesCarryEveryMember) {
    startAndLogin({"--mappoint", "Archive:MANUAL:nfs:ro"});
    auto root = h->get(DevServerHarness::folderUrl("/") + "?type=all&includeAll=true");
    ASSERT_EQ(root->status, 200);
    json top = body(root);
    ASSERT_TRUE(top["contents"].is_array());
    EXPECT_EQ(top["contents"].size(), 4u);
    json docs = findChild(top, "Documents");
    EXPECT_EQ(docs["mode"], "AUTOMATIC");
    EXPECT_EQ(docs["type"], "smb");
    EXPECT_EQ(docs["permissions"], "WRITE");
    EXPECT_EQ(docs["directory"], 1);
    EXPECT_EQ(findChild(top, "Projects")["mode"], "MANUAL");
    EXPECT_NE(findChild(top, "Projects")["type"], "smb");
    EXPECT_TRUE(findChild(top, "home").is_object());
    EXPECT_EQ(findChild(top, "Archive")["permissions"], "READ");

    json folder = body(h->get(DevServerHarness::folderUrl("/Documents") + "?type=all&includeAll=true"));
    EXPECT_EQ(folder["name"], "Documents");
    json welcome = findChild(folder, "Welcome.txt");
    ASSERT_TRUE(welcome.is_object());
    for (const char* member : {"name", "directory", "size", "revision", "creation_time", "modification_time",
                               "mode", "permissions", "allow_sharing"})
        EXPECT_TRUE(welcome.contains(member)) << member;
    EXPECT_TRUE(welcome["directory"].is_number());
    EXPECT_EQ(welcome["directory"], 0);
    EXPECT_TRUE(welcome["allow_sharing"].is_number());
    EXPECT_TRUE(welcome["size"].is_number_unsigned());
    EXPECT_TRUE(welcome["revision"].is_string());
    EXPECT_TRUE(isWireDate(welcome["creation_time"]));
    EXPECT_TRUE(isWireDate(welcome["modification_time"]));
    EXPECT_EQ(welcome["mode"], "INHERIT");
    EXPECT_FALSE(welcome.contains("type")) << "only mappoints carry a disk type";
    EXPECT_EQ(findChild(folder, "Reports")["directory"], 1);

    // Attributes: the entry alone; a file listed gives its entry with no children.
    json attrs = body(h->get(DevServerHarness::folderUrl("/Documents/Welcome.txt")));
    EXPECT_EQ(attrs["revision"], welcome["revision"]);
    EXPECT_FALSE(attrs.contains("contents"));
    json fileListing =
        body(h->get(DevServerHarness::folderUrl("/Documents/Welcome.txt") + "?type=all&includeAll=true"));
    EXPECT_EQ(fileListing["directory"], 0);
    EXPECT_TRUE(fileListing["contents"].empty());

    // Case does not matter for look-ups, as on a Windows share.
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl("/documents/welcome.TXT")))["name"], "Welcome.txt");

    auto missing =
        h->get(DevServerHarness::folderUrl("/Documents/nothing.txt") + "?type=all&includeAll=true");
    EXPECT_EQ(missing->status, 404);
    EXPECT_EQ(errorIdOf(missing), 20);
    EXPECT_EQ(errorIdOf(h->get(DevServerHarness::folderUrl("/Documents/nothing.txt"))), 20);
}

TEST_F(DevserverProtocol, UploadDownloadAndRevisions) {
    startAndLogin();
    const std::string path = std::string("/Documents/report") + kPrivateColon + "v1.txt";
    std::string content = "first version\n";
    auto up = h->upload(path, content, "", "2021-03-04T05:06:07.000Z", "2021-03-04T05:06:08.000Z");
    ASSERT_EQ(up->status, 200) << up->body;
    json entry = body(up);
    EXPECT_EQ(entry["name"], std::string("report") + kPrivateColon + "v1.txt");
    EXPECT_EQ(entry["size"], content.size());
    EXPECT_EQ(entry["directory"], 0);
    EXPECT_EQ(entry["creation_time"], "2021-03-04T05:06:07.000Z");
    EXPECT_EQ(entry["modification_time"], "2021-03-04T05:06:08.000Z");
    std::string rev1 = entry["revision"];
    // The name is stored in the server's form, private-use character and all.
    EXPECT_TRUE(std::filesystem::exists(h->root() / "server/data/Documents" /
                                        (std::string("report") + kPrivateColon + "v1.txt")));

    const std::string url = DevServerHarness::folderUrl(path);
    auto down = h->get(url + "?revision=" + rev1, "application/octet-stream");
    ASSERT_EQ(down->status, 200);
    EXPECT_EQ(down->body, content);
    EXPECT_EQ(down->get_header_value("Content-Type"), "application/octet-stream");
    auto part = h->get(url + "?revision=" + rev1 + "&skip=6&count=7", "application/octet-stream");
    EXPECT_EQ(part->body, "version");
    EXPECT_EQ(errorIdOf(h->get(url + "?revision=" + rev1 + "&skip=6&count=100", "application/octet-stream")),
              tw::devserver::error_id::badRequest);

    // A change with the current revision gets a new one.
    auto up2 = h->upload(path, "second version, longer\n", rev1);
    ASSERT_EQ(up2->status, 200);
    std::string rev2 = body(up2)["revision"];
    EXPECT_NE(rev2, rev1);

    // Stale revisions: the conflict answer holds the server's current entry.
    for (const std::string& stale : {rev1, std::string()}) {
        auto conflict = h->upload(path, "someone else's edit", stale);
        EXPECT_EQ(conflict->status, 409);
        json c = body(conflict);
        EXPECT_EQ(c["errorId"], 1077);
        EXPECT_EQ(c["document_info"]["revision"], rev2);
    }
    auto oldDownload = h->get(url + "?revision=" + rev1, "application/octet-stream");
    EXPECT_EQ(errorIdOf(oldDownload), 1077);
    EXPECT_EQ(body(oldDownload)["document_info"]["revision"], rev2);
    EXPECT_EQ(h->get(url + "?revision=" + rev2, "application/octet-stream")->body,
              "second version, longer\n");

    // An empty file (the first step of a resumable upload) is a plain upload of size 0.
    auto empty = h->upload("/Documents/empty.bin", "", "");
    ASSERT_EQ(empty->status, 200);
    EXPECT_EQ(body(empty)["size"], 0);
    auto emptyDown = h->get(DevServerHarness::folderUrl("/Documents/empty.bin") +
                                "?revision=" + body(empty)["revision"].get<std::string>(),
                            "application/octet-stream");
    EXPECT_EQ(emptyDown->status, 200);
    EXPECT_EQ(emptyDown->body, "");
}

TEST_F(DevserverProtocol, WritesAreRefusedWithTheFittingError) {
    startAndLogin({"--faults", "--mappoint", "Archive:MANUAL:smb:ro", "--quota", "2000"});
    // The parent folder is missing: the back-end refuses (the client then creates the folder).
    EXPECT_EQ(errorIdOf(h->upload("/Documents/no/such/folder.txt", "x", "")), 1001);
    EXPECT_EQ(errorIdOf(h->upload("/loose.txt", "x", "")), 1083);
    EXPECT_EQ(errorIdOf(h->upload("/Documents/Reports", "x", "")), 1062);
    auto ro = h->upload("/Archive/a.txt", "x", "");
    EXPECT_EQ(ro->status, 403);
    EXPECT_EQ(errorIdOf(ro), 1082);
    EXPECT_EQ(errorIdOf(h->postForm(DevServerHarness::folderUrl("/Archive"),
                                    "name=x&operation=create&creation_time=2021-01-01T00:00:00.000Z"
                                    "&modification_time=2021-01-01T00:00:00.000Z")),
              1082);

    // Quota: per user, counting what the user stored (the demo files, about 200 bytes, are alice's).
    EXPECT_EQ(h->upload("/Documents/big.bin", std::string(1500, 'q'), "")->status, 200);
    auto over = h->upload("/Documents/more.bin", std::string(400, 'q'), "");
    EXPECT_EQ(over->status, 507);
    EXPECT_EQ(errorIdOf(over), 22);
    EXPECT_FALSE(body(h->get(DevServerHarness::folderUrl("/Documents/more.bin"))).contains("name"));
    // Bob has his own allowance on the same server.
    ASSERT_TRUE(h->login("bob", "hunter2"));
    EXPECT_EQ(h->upload("/Documents/bobs.bin", std::string(500, 'b'), "")->status, 200);
    ASSERT_TRUE(h->login());

    // Locked items refuse changes with 26 and report is_locked to the resumable service.
    std::string rev = body(h->get(DevServerHarness::folderUrl("/Documents/Welcome.txt")))["revision"];
    ASSERT_EQ(h->postAdmin("lock", {{"path", "/Documents/Welcome.txt"}})->status, 200);
    auto locked = h->del(DevServerHarness::folderUrl("/Documents/Welcome.txt") + "?revision=" + rev);
    EXPECT_EQ(locked->status, 423);
    EXPECT_EQ(errorIdOf(locked), 26);
    EXPECT_EQ(errorIdOf(h->upload("/Documents/Welcome.txt", "x", rev)), 26);
    json status = body(h->get(DevServerHarness::sync("resume/upload") +
                              percentEncode("/Documents/Welcome.txt") + "?resume_id=ABC-123"));
    EXPECT_EQ(status["is_locked"], "true");
    ASSERT_EQ(h->postAdmin("lock", {{"path", "/Documents/Welcome.txt"}, {"locked", false}})->status, 200);
    EXPECT_EQ(h->del(DevServerHarness::folderUrl("/Documents/Welcome.txt") + "?revision=" + rev)->status,
              200);
}

TEST_F(DevserverProtocol, CreateFolder) {
    startAndLogin();
    auto form = [](const std::string& escapedName) {
        return "name=" + escapedName + "&operation=create&creation_time=2020-02-02T02:02:02.000Z" +
               "&modification_time=2020-02-03T02:02:02.000Z";
    };
    std::string name = std::string("New") + kPrivateColon + "Folder";
    auto made = h->postForm(DevServerHarness::folderUrl("/Documents"), form(percentEncode(name)));
    ASSERT_EQ(made->status, 200) << made->body;
    EXPECT_EQ(body(made)["name"], name);
    EXPECT_EQ(body(made)["directory"], 1);
    EXPECT_EQ(body(made)["creation_time"], "2020-02-02T02:02:02.000Z");
    EXPECT_TRUE(std::filesystem::is_directory(h->root() / "server/data/Documents" / name));

    auto again = h->postForm(DevServerHarness::folderUrl("/Documents"), form(percentEncode(name)));
    EXPECT_EQ(again->status, 409);
    EXPECT_EQ(errorIdOf(again), 19);
    EXPECT_EQ(errorIdOf(h->postForm(DevServerHarness::folderUrl("/Documents/a/b"), form("c"))), 14);
    EXPECT_EQ(errorIdOf(h->postForm(DevServerHarness::folderUrl("/"), form("Mine"))), 1083);
    EXPECT_EQ(errorIdOf(h->postForm(DevServerHarness::folderUrl("/Documents"), form(percentEncode("a:b")))),
              1007);
    EXPECT_EQ(errorIdOf(h->postForm(DevServerHarness::folderUrl("/Documents"), form(percentEncode("..")))),
              1007);
    EXPECT_EQ(errorIdOf(h->postForm(DevServerHarness::folderUrl("/Documents"), "name=x&operation=create")),
              tw::devserver::error_id::badRequest);
}

TEST_F(DevserverProtocol, MoveRenamesAndRelocates) {
    startAndLogin();
    std::string rev = body(h->upload("/Documents/a.txt", "alpha", ""))["revision"];
    auto move = [&](const std::string& from, const std::string& to, const std::string& overwrite,
                    const std::string& revision) {
        return h->postForm(
            DevServerHarness::folderUrl(from),
            "name=" + percentEncode(to) + "&operation=move&overwrite=" + overwrite + "&revision=" + revision);
    };
    EXPECT_EQ(errorIdOf(move("/Documents/a.txt", "/Documents/b.txt", "false", "999999")), 1077);
    auto moved = move("/Documents/a.txt", "/Documents/Reports/b.txt", "false", rev);
    ASSERT_EQ(moved->status, 200) << moved->body;
    EXPECT_EQ(body(moved)["name"], "b.txt");
    EXPECT_EQ(body(moved)["revision"], rev) << "a move does not change the content";
    EXPECT_EQ(errorIdOf(h->get(DevServerHarness::folderUrl("/Documents/a.txt"))), 20);

    // Revision may be empty; an existing destination needs overwrite=true.
    h->upload("/Documents/c.txt", "gamma", "");
    EXPECT_EQ(errorIdOf(move("/Documents/c.txt", "/Documents/Reports/b.txt", "false", "")), 19);
    auto over = move("/Documents/c.txt", "/Documents/Reports/b.txt", "true", "");
    ASSERT_EQ(over->status, 200);
    std::string newRev = body(over)["revision"];
    EXPECT_EQ(h->get(DevServerHarness::folderUrl("/Documents/Reports/b.txt") + "?revision=" + newRev,
                     "application/octet-stream")
                  ->body,
              "gamma");

    // A whole folder moves with its children; a case-only rename works.
    auto folder = move("/Documents/Reports", "/Projects/Old reports", "false", "");
    ASSERT_EQ(folder->status, 200) << folder->body;
    json listing =
        body(h->get(DevServerHarness::folderUrl("/Projects/Old reports") + "?type=all&includeAll=true"));
    EXPECT_TRUE(findChild(listing, "b.txt").is_object());
    EXPECT_TRUE(findChild(listing, "Summary.txt").is_object());
    EXPECT_EQ(move("/Projects/Old reports/b.txt", "/Projects/Old reports/B.TXT", "false", "")->status, 200);
    listing =
        body(h->get(DevServerHarness::folderUrl("/Projects/Old reports") + "?type=all&includeAll=true"));
    EXPECT_TRUE(findChild(listing, "B.TXT").is_object());
    EXPECT_FALSE(findChild(listing, "b.txt").is_object());

    // Children of a folder whose name holds multi-byte characters follow it too.
    const std::string odd = std::string("/Projects/Q") + kPrivateColon + "\xc3\xa9";
    ASSERT_EQ(move("/Projects/Old reports", odd, "false", "")->status, 200);
    ASSERT_EQ(move(odd, "/home/Archive", "false", "")->status, 200);
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl("/home/Archive/Summary.txt")))["name"], "Summary.txt");
    EXPECT_EQ(errorIdOf(h->get(DevServerHarness::folderUrl(odd + "/Summary.txt"))), 20);
    EXPECT_EQ(errorIdOf(move("/home/Archive", "/home/Archive/inner", "false", "")), 1083);
    EXPECT_EQ(errorIdOf(move("/Projects/Plan.txt", "/Projects/none/Plan.txt", "false", "")), 14);
    EXPECT_EQ(errorIdOf(move("/Projects/missing.txt", "/Projects/x.txt", "false", "")), 20);
    EXPECT_EQ(errorIdOf(move("/Projects", "/Elsewhere", "false", "")), 1083);
}

// The client holds names that differ only in case or in composition as one file; a server that kept
// them apart would leave one of them unplaceable on every machine.
TEST_F(DevserverProtocol, NamesDifferingInAnyCaseOrCompositionAreOneItem) {
    startAndLogin();
    const std::string lower = "/Documents/ünïcødé.bin";
    const std::string upper = "/Documents/ÜNÏCØDÉ.BIN";
    const std::string decomposed = "/Documents/u\u0308nïcøde\u0301.bin";
    std::string rev = body(h->upload(lower, "one", ""))["revision"];
    // Another spelling is the same item: without its revision a conflict, with it a new revision.
    EXPECT_EQ(errorIdOf(h->upload(decomposed, "two", "")), 1077);
    auto up = h->upload(upper, "two", rev);
    ASSERT_EQ(up->status, 200) << up->body;
    EXPECT_EQ(body(up)["name"], "ünïcødé.bin") << "the stored spelling stays";
    rev = body(up)["revision"];
    auto count = [&](const std::string& folder) {
        size_t n = 0;
        json listing = body(h->get(DevServerHarness::folderUrl(folder) + "?type=all&includeAll=true"));
        for (const auto& c : listing["contents"]) {
            std::string name = c["name"];
            n += name.find(".bin") != std::string::npos || name.find(".BIN") != std::string::npos;
        }
        return n;
    };
    EXPECT_EQ(count("/Documents"), 1u);

    // A rename to another spelling is a rename of that item, never a second one.
    auto moved =
        h->postForm(DevServerHarness::folderUrl(decomposed),
                    "name=" + percentEncode(upper) + "&operation=move&overwrite=false&revision=" + rev);
    ASSERT_EQ(moved->status, 200) << moved->body;
    EXPECT_EQ(body(moved)["name"], "ÜNÏCØDÉ.BIN");
    EXPECT_EQ(count("/Documents"), 1u);
    EXPECT_EQ(
        h->get(DevServerHarness::folderUrl(lower) + "?revision=" + rev, "application/octet-stream")->body,
        "two");

    // Folders too: a file sent into another spelling of a folder lands in it.
    ASSERT_EQ(h->postForm(DevServerHarness::folderUrl("/Documents"),
                          "name=" + percentEncode("Ärchiv") +
                              "&operation=create&creation_time=2020-02-02T02:02:02.000Z&modification_time="
                              "2020-02-02T02:02:02.000Z")
                  ->status,
              200);
    EXPECT_EQ(errorIdOf(h->postForm(DevServerHarness::folderUrl("/Documents"),
                                    "name=" + percentEncode("äRCHIV") +
                                        "&operation=create&creation_time=2020-02-02T02:02:02.000Z&"
                                        "modification_time=2020-02-02T02:02:02.000Z")),
              19);
    ASSERT_EQ(h->upload("/Documents/A\u0308rchiv/x.txt", "x", "")->status, 200);
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl("/Documents/Ärchiv") +
                          "?type=all&includeAll=true"))["contents"]
                  .size(),
              1u);
}

// A store written when only ASCII case was folded opens with full folding; one holding two items
// that are one name now keeps both rather than dropping either.
TEST_F(DevserverProtocol, AStoreFromTheAsciiOnlyComparisonIsMovedOnWithoutLosingAnItem) {
    auto asOldStore = [&](const std::vector<std::string>& extraPaths) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open((h->root() / "server/devserver.db").c_str(), &raw), SQLITE_OK);
        tw::platform::SqliteDatabase db(raw);
        // This connection only copies rows and drops the table; any order satisfies the schema.
        auto bytewise = [](void*, int la, const void* a, int lb, const void* b) {
            int c = memcmp(a, b, static_cast<size_t>(std::min(la, lb)));
            return c != 0 ? c : la - lb;
        };
        sqlite3_create_collation(raw, "tidewell_name", SQLITE_UTF8, nullptr, bytewise);
        std::string sql =
            "CREATE TABLE old AS SELECT * FROM items; DROP TABLE items;"
            "CREATE TABLE items( path TEXT PRIMARY KEY COLLATE NOCASE, parent TEXT NOT NULL COLLATE NOCASE,"
            " name TEXT NOT NULL, is_dir INTEGER NOT NULL, size INTEGER NOT NULL DEFAULT 0, revision TEXT "
            "NOT NULL,"
            " mode TEXT NOT NULL DEFAULT '', disk_type TEXT NOT NULL DEFAULT '', read_only INTEGER NOT NULL "
            "DEFAULT 0,"
            " allow_sharing INTEGER NOT NULL DEFAULT 0, creation_time INTEGER NOT NULL,"
            " modification_time INTEGER NOT NULL, owner TEXT NOT NULL DEFAULT '');"
            "INSERT INTO items SELECT * FROM old; DROP TABLE old;";
        for (const auto& p : extraPaths)
            sql += "INSERT INTO items SELECT '" + p + "', parent, '" + p.substr(p.rfind('/') + 1) +
                   "', is_dir, size, revision, mode, disk_type, read_only, allow_sharing, creation_time,"
                   " modification_time, owner FROM items WHERE path = '/Documents/one.txt';";
        ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db.get());
    };
    startAndLogin();
    ASSERT_EQ(h->upload("/Documents/one.txt", "1", "")->status, 200);
    ASSERT_EQ(h->stop(), 0);
    asOldStore({"/Documents/Ärchiv.txt"});
    ASSERT_TRUE(h->start());
    ASSERT_TRUE(h->login());
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl("/Documents/äRCHIV.TXT")))["name"], "Ärchiv.txt");
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl("/Documents/ONE.TXT")))["name"], "one.txt");

    // Two spellings of one name: both stay, still found by their own spelling.
    ASSERT_EQ(h->stop(), 0);
    asOldStore({"/Documents/ärchiv.txt"});
    ASSERT_TRUE(h->start());
    ASSERT_TRUE(h->login());
    json docs = body(h->get(DevServerHarness::folderUrl("/Documents") + "?type=all&includeAll=true"));
    EXPECT_TRUE(findChild(docs, "Ärchiv.txt").is_object());
    EXPECT_TRUE(findChild(docs, "ärchiv.txt").is_object());
    EXPECT_EQ(body(h->get(DevServerHarness::folderUrl("/Documents/one.TXT")))["name"], "one.txt");
}

TEST_F(DevserverProtocol, DeleteChecksRevisionAndEmptiness) {
    startAndLogin();
    std::string rev = body(h->upload("/Documents/d.txt", "delta", ""))["revision"];
    const std::string url = DevServerHarness::folderUrl("/Documents/d.txt");
    auto wrong = h->del(url + "?revision=1");
    EXPECT_EQ(errorIdOf(wrong), 1077);
    EXPECT_EQ(body(wrong)["document_info"]["revision"], rev);
    EXPECT_EQ(h->del(url + "?revision=" + rev)->status, 200);
    EXPECT_FALSE(std::filesystem::exists(h->root() / "server/data/Documents/d.txt"));
    auto gone = h->del(url + "?revision=" + rev);
    EXPECT_EQ(gone->status, 404);
    EXPECT_EQ(errorIdOf(gone), 18);

    auto notEmpty = h->del(DevServerHarness::folderUrl("/Documents/Reports") + "?revision=");
    EXPECT_EQ(errorIdOf(notEmpty), 1119);
    std::string summaryRev =
        body(h->get(DevServerHarness::folderUrl("/Documents/Reports/Summary.txt")))["revision"];
    EXPECT_EQ(
        h->del(DevServerHarness::folderUrl("/Documents/Reports/Summary.txt") + "?revision=" + summaryRev)
            ->status,
        200);
    EXPECT_EQ(h->del(DevServerHarness::folderUrl("/Documents/Reports") + "?revision=")->status, 200);
    EXPECT_EQ(errorIdOf(h->del(DevServerHarness::folderUrl("/Documents") + "?revision=")), 1083);
}

TEST_F(DevserverProtocol, AuditReportsAreStored) {
    startAndLogin();
    json report{{"filesSyncPendingUpload", 1},
                {"sizeSyncPendingUpload", 10},
                {"localCacheFileCount", 2},
                {"localCacheSize", 30}};
    auto r = h->http().Post("/br/audit/1/", h->headers(), "data=" + report.dump(2), "");
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(errorIdOf(h->http().Post("/br/audit/1/", h->headers(), "report=" + report.dump(), "")),
              tw::devserver::error_id::badRequest);
    EXPECT_EQ(errorIdOf(h->http().Post("/br/audit/1/", "data=" + report.dump(), "")), 1);
    json stored = parseJson(h->http().Get("/admin/audit")->body);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["user"], "alice");
    EXPECT_EQ(stored[0]["document"], report);
}

TEST_F(DevserverProtocol, TreeSurvivesARestart) {
    startAndLogin();
    std::string rev = body(h->upload("/home/keep.txt", "kept", ""))["revision"];
    ASSERT_EQ(h->stop(), 0);
    ASSERT_TRUE(h->start());
    ASSERT_TRUE(h->login());
    auto down = h->get(DevServerHarness::folderUrl("/home/keep.txt") + "?revision=" + rev,
                       "application/octet-stream");
    EXPECT_EQ(down->status, 200);
    EXPECT_EQ(down->body, "kept");
    // Seeding again leaves the existing tree alone.
    json docs = body(h->get(DevServerHarness::folderUrl("/Documents") + "?type=all&includeAll=true"));
    EXPECT_EQ(docs["contents"].size(), 2u);
}

}  // namespace
}  // namespace tw::test
