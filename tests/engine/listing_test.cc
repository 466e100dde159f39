// Listing passes against the reference server on loopback: real folders registered as volumes, real
// extended attributes, a second client changing the server's tree. What the local folder and the
// items' records hold afterwards is the point, and above all that no local content is ever lost.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "Pinewick/app/CommandLine.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TLUpload.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "devserver/wire.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "support/client_devserver.h"
#include "support/engine_parts.h"
#include "support/log_capture.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;

const char* kPassword = "listing-pw";

// Another device of the same user, changing the server's tree through the ordinary protocol.
class SecondClient {
public:
    bool login(int port) {
        http = std::make_unique<httplib::Client>("127.0.0.1", port);
        std::string form = "user_id=anna&password=" + devserver::percentEncode(kPassword);
        auto res = http->Post("/br/sync/1.6/sessions", {{"Accept", "application/json"}}, form, "");
        if (!res || res->status != 200) return false;
        std::string c = res->get_header_value("Set-Cookie");
        cookie = c.substr(0, c.find(';'));
        return true;
    }
    httplib::Headers headers() const { return {{"Accept", "application/json"}, {"Cookie", cookie}}; }
    static std::string url(const std::string& serverPath) {
        return "/br/sync/1.6/folders" + devserver::percentEncode(serverPath);
    }
    nlohmann::json entry(const std::string& serverPath) {
        auto r = http->Get(url(serverPath).c_str(), headers());
        if (!r || r->status != 200) return nullptr;
        return nlohmann::json::parse(r->body, nullptr, false);
    }
    bool exists(const std::string& serverPath) { return !entry(serverPath).is_null(); }
    // Writes a file (a new one, or a new revision of an existing one); its entry.
    nlohmann::json put(const std::string& serverPath, const std::string& content,
                       const std::string& mtime = "2021-03-04T05:06:08.000Z") {
        auto current = entry(serverPath);
        std::string revision = current.is_object() ? current["revision"].get<std::string>() : "";
        std::string boundary = "----listing-test-boundary";
        std::string name = serverPath.substr(serverPath.rfind('/') + 1);
        std::string body =
            DevServerHarness::uploadBody(boundary, name, content, revision, std::to_string(content.size()),
                                         "2021-03-04T05:06:07.000Z", mtime);
        auto r = http->Post(url(serverPath).c_str(), headers(), body,
                            ("multipart/form-data; boundary=" + boundary).c_str());
        EXPECT_TRUE(r && r->status == 200) << serverPath << " " << (r ? r->body : "no answer");
        return r ? nlohmann::json::parse(r->body, nullptr, false) : nullptr;
    }
    void mkdir(const std::string& parent, const std::string& name) {
        std::string form = "name=" + devserver::percentEncode(name) +
                           "&operation=create&creation_time=2020-01-02T03:04:05.000Z"
                           "&modification_time=2020-01-02T03:04:06.000Z";
        auto r = http->Post(url(parent).c_str(), headers(), form, "");
        EXPECT_TRUE(r && r->status == 200) << parent << "/" << name;
    }
    void remove(const std::string& serverPath) {
        auto r = http->Delete(url(serverPath).c_str(), headers());
        EXPECT_TRUE(r && r->status == 200) << serverPath << " " << (r ? r->body : "no answer");
    }
    // Renames or moves an item on the server, never over another.
    void move(const std::string& from, const std::string& to) {
        auto r = http->Post(
            url(from).c_str(), headers(),
            "name=" + devserver::percentEncode(to) + "&operation=move&overwrite=false&revision=", "");
        EXPECT_TRUE(r && r->status == 200) << from << " -> " << to << " " << (r ? r->body : "no answer");
    }

    std::unique_ptr<httplib::Client> http;
    std::string cookie;
};

class Listing : public ::testing::Test {
protected:
    void SetUp() override {
        volumes.answer(env);
        SyncFolder::resetGuard();
        now = std::chrono::system_clock::now();
        env.now = [this] {
            std::lock_guard l(clockMutex);
            return now;
        };
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, kPassword))
            << "tidewell-devserver did not start";
        platform::http::Session::shared().cookies().removeAll();
        devserver.admin("mappoint", {{"name", "Desk"}, {"mode", "MANUAL"}});
        ASSERT_TRUE(other.login(devserver.process.port()));

        auto& vm = volumes.list;
        for (const char* name : {"Team", "Desk"}) {
            auto v = std::make_shared<VolumeDetail>(name, ServerConfigurationDetails::sharedInstance());
            v->state = VolumeDetail::volumeStates::Visible;
            vm.addVolume(v);
            fs::create_directories(v->localFolder);
        }
        team = vm.findVolume("Team")->localFolder;
        desk = vm.findVolume("Desk")->localFolder;
        ASSERT_TRUE(ServerCommunicator::ready(env));
        // What the volume manager does with the root listing: each mappoint's folder takes its entry.
        FolderContentDetails root(env, "/");
        ASSERT_EQ(root.fetchFolderContents().first, normalisedResponse::allOkay);
        for (const auto& e : root.contents) {
            if (e.name == "Team") CEAUtils::refreshFolder(team, e.serverFacts());
            if (e.name == "Desk") CEAUtils::refreshFolder(desk, e.serverFacts());
        }
        ASSERT_EQ(CorvaneExtendedAttributes(team).ceaStatus.status, S::Regular);
        ASSERT_EQ(CorvaneExtendedAttributes(desk).ceaStatus.status, S::Placeholder);
        timeline_ = std::make_unique<TimeLineManager>((dir / "support").string() + "/", volumes.parts(env));
        timeline_->setListingPasses({nullptr, [](EventContext& context, const std::string& p, bool user) {
                                         SyncFolder::performSync(context, p, user);
                                     }});
    }

    void TearDown() override {
        if (!timeline_) return;
        auto& timeline = *timeline_;
        timeline.pauseTimeLine();
        timeline.syncQueue().cancelAllOperations();
        timeline.syncQueue().waitUntilAllOperationsAreFinished(30s);
        // Downloads the passes queued must be over before the server environment goes.
        timeline.downloadQueue().cancelAllOperations();
        timeline.downloadQueue().waitUntilAllOperationsAreFinished(30s);
        timeline.saveTimeLine();  // waits for the event running now
        timeline_.reset();
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
    }

    void advance(std::chrono::seconds s) {
        std::lock_guard l(clockMutex);
        now += s;
    }
    TimeLineManager& timeline() { return *timeline_; }

    // Runs the timeline and the listing queue until both have nothing left.
    void settle() {
        auto& t = timeline();
        t.resumeTimeLine();
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(t.syncQueue().waitUntilAllOperationsAreFinished(60s));
            ASSERT_TRUE(t.waitUntilIdle(60s));
            // A download the pass queued may be writing while its record still says it waits.
            ASSERT_TRUE(t.downloadQueue().waitUntilAllOperationsAreFinished(60s));
            if (t.syncQueue().operationCount() == 0 && t.eventCount() == 0) return;
        }
        FAIL() << "the timeline did not settle";
    }
    // The pass, then everything it queued.
    void syncAndSettle(const std::string& path, bool user = true) {
        SyncFolder::performSync(timeline().context(), path, user);
        settle();
    }

    template <class T>
    std::vector<std::shared_ptr<T>> queued() {
        std::vector<std::shared_ptr<T>> out;
        for (auto& e : timeline().events())
            if (auto t = std::dynamic_pointer_cast<T>(e)) out.push_back(t);
        return out;
    }

    // A local file in step with the server's current revision of it, as a finished download leaves it.
    void makeSynchronised(const std::string& local, const std::string& serverPath,
                          const std::string& content) {
        auto e = other.put(serverPath, content);
        ASSERT_TRUE(writeFile(local, content));
        ServerFileObject entry(e);
        CorvaneExtendedAttributes r(local);
        CEAUtils::updateCorvaneExtendedAttributes(r, entry.serverFacts());
        if (auto a = platform::attributesOfItem(local)) CEAUtils::recordSyncedContent(r, *a);
        r.ceaStatus.setStatus(S::Regular);
        ASSERT_TRUE(r.save());
    }
    // Rewrites a file with content of the same size, as an edit no report announced (made while the
    // application was not running, or whose report was lost); the modification time moves on.
    static void editKeepingTheSize(const std::string& path, const std::string& content) {
        auto before = platform::attributesOfItem(path);
        ASSERT_TRUE(before);
        ASSERT_EQ(before->size, content.size());
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(writeFile(path, content));
            auto after = platform::attributesOfItem(path);
            if (after && after->modificationNanos != before->modificationNanos) return;
            std::this_thread::sleep_for(5ms);  // the clock the file system stamps with is coarse
        }
        FAIL() << "the modification time never moved";
    }
    ServerFileObject serverEntry(const std::string& serverPath) {
        return ServerFileObject(other.entry(serverPath));
    }
    static S stateOf(const std::string& p) { return CorvaneExtendedAttributes(p).ceaStatus.status; }
    static std::optional<std::string> revisionOf(const std::string& p) {
        return CorvaneExtendedAttributes(p).ceaString.getAttribute(CEAString::keys::Revision);
    }
    void setState(const std::string& p, S s) {
        CorvaneExtendedAttributes r(p);
        r.ceaStatus.setStatus(s);
        ASSERT_TRUE(r.save());
    }

    TempDir dir{"tw-listing"};
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    std::unique_ptr<TimeLineManager> timeline_;
    ClientDevServer devserver;
    SecondClient other;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::string team, desk;
    std::mutex clockMutex;
    Date now;
};

// ------------------------------------------------------------------ new server items

TEST_F(Listing, NewServerFilesBecomeEmptyPlaceholdersWithTheServersDatesAndRecords) {
    auto e = other.put("/Desk/plan.txt", "twelve bytes", "2022-06-07T08:09:10.500Z");
    other.mkdir("/Desk", "Archive");
    other.put("/Desk/Archive/old.txt", "old");
    syncAndSettle(desk);

    std::string plan = desk + "/plan.txt";
    ASSERT_TRUE(fs::exists(plan));
    EXPECT_EQ(fs::file_size(plan), 0u);
    auto attrs = platform::attributesOfItem(plan).value();
    EXPECT_NEAR(attrs.modificationDate, 1654589350.5, 0.001);
    EXPECT_NEAR(attrs.creationDate, 1614834367.0, 0.001);
    CorvaneExtendedAttributes record(plan);
    EXPECT_EQ(record.ceaStatus.status, S::Placeholder);
    EXPECT_EQ(record.ceaString.getAttribute(CEAString::keys::Revision), e["revision"].get<std::string>());
    EXPECT_EQ(record.ceaLong.getAttribute(CEALong::keys::ServerFileSize), 12u);
    // Manual folders are made but not listed in turn.
    EXPECT_TRUE(fs::is_directory(desk + "/Archive"));
    EXPECT_EQ(stateOf(desk + "/Archive"), S::Placeholder);
    EXPECT_FALSE(fs::exists(desk + "/Archive/old.txt"));
    EXPECT_TRUE(CorvaneExtendedAttributes(desk).ceaDate.getAttribute(CEADate::keys::LastServerListing));
}

TEST_F(Listing, AutomaticFoldersAreListedInTurnAndTheirFilesWaitForDownload) {
    other.put("/Team/a.txt", "alpha");
    other.mkdir("/Team", "Sub");
    other.mkdir("/Team/Sub", "Deeper");
    other.put("/Team/Sub/Deeper/b.txt", "beta");
    syncAndSettle(team);

    // Waiting for its download, or already downloaded with the server's bytes.
    auto fetched = [&](const std::string& p, const std::string& bytes) {
        return stateOf(p) == S::RequireDownload || (stateOf(p) == S::Regular && readFile(p) == bytes);
    };
    EXPECT_TRUE(fetched(team + "/a.txt", "alpha"));
    EXPECT_EQ(stateOf(team + "/Sub"), S::Regular);
    EXPECT_EQ(stateOf(team + "/Sub/Deeper"), S::Regular);
    std::string b = team + "/Sub/Deeper/b.txt";
    ASSERT_TRUE(fs::exists(b));
    EXPECT_TRUE(fetched(b, "beta"));
    EXPECT_EQ(CorvaneExtendedAttributes(b).ceaLong.getAttribute(CEALong::keys::ServerFileSize), 4u);
}

TEST_F(Listing, AnExistingLocalFileIsNeverReplacedByAPlaceholder) {
    // The user made the file between the listing and the event.
    auto entry = ServerFileObject(other.put("/Team/notes.txt", "server"));
    writeFile(team + "/notes.txt", "mine, unsaved elsewhere");
    DownloadSync(team, entry, false).performAction(timeline().context());
    EXPECT_EQ(readFile(team + "/notes.txt"), "mine, unsaved elsewhere");
    EXPECT_EQ(stateOf(team + "/notes.txt"), S::Unknown);
}

// A folder made here and never listed is one the server has not heard of: its first listing creates it
// there. A folder listed before is the server's already, whatever its record says. A folder placed
// by the administrator stands for a server folder of their choosing and is never created from here.
TEST_F(Listing, TheFirstListingOfAFolderMadeHereCreatesItOnTheServer) {
    std::string made = team + "/Made Here";
    fs::create_directories(made);
    ASSERT_EQ(stateOf(made), S::Unknown);
    SyncFolder::performSync(timeline().context(), made, true);
    auto creates = queued<TLCreateFolder>();
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0]->localPath, made);
    settle();
    EXPECT_TRUE(other.exists("/Team/Made Here"));
    EXPECT_NE(stateOf(made), S::Unknown);

    // Listed once already: no creation, even with a record that lost its state.
    std::string listed = team + "/Listed";
    other.mkdir("/Team", "Listed");
    fs::create_directories(listed);
    // Held until the pass is over: the creation it queues would otherwise save the folder's record
    // while the pass saves the listing's date into it, and one of the two would be lost.
    timeline().pauseTimeLine();
    syncAndSettle(listed);
    ASSERT_TRUE(CorvaneExtendedAttributes(listed).ceaDate.getAttribute(CEADate::keys::LastServerListing));
    setState(listed, S::Unknown);
    advance(61s);
    SyncFolder::performSync(timeline().context(), listed, true);
    EXPECT_TRUE(queued<TLCreateFolder>().empty());

    // Placed inside another placed folder, so the timeline does not ignore it as a root: made from
    // here, it would land at the outer folder's server path, one nobody chose.
    devserver.admin("mappoint", {{"name", "Shared"}});
    std::string shared = (dir / "Shared").string(), placed = shared + "/Reports";
    volumes.list.resolveInLocationSync({{"/Shared", shared}, {"/Shared/Team Reports", placed}});
    ASSERT_TRUE(volumes.list.inLocationRoot(placed));
    ASSERT_EQ(stateOf(placed), S::Unknown);
    SyncFolder::performSync(timeline().context(), placed, true);
    EXPECT_TRUE(queued<TLCreateFolder>().empty());
    settle();
    EXPECT_FALSE(other.exists("/Shared/Reports"));
    EXPECT_FALSE(other.exists("/Shared/Team Reports"));
}

// ------------------------------------------------------------------ freshness

TEST_F(Listing, FreshnessLimitsOnTheInjectedClock) {
    SyncFolder::performSync(timeline().context(), desk, true);
    other.put("/Desk/new.txt", "n");
    auto downloads = [&] { return queued<DownloadSync>().size(); };

    advance(30s);
    SyncFolder::performSync(timeline().context(), desk, true);
    EXPECT_EQ(downloads(), 0u) << "listed 30 s ago: a user request waits";
    advance(31s);
    SyncFolder::performSync(timeline().context(), desk, false);
    EXPECT_EQ(downloads(), 0u) << "automatic passes wait an hour";
    SyncFolder::performSync(timeline().context(), desk, true);
    ASSERT_EQ(downloads(), 1u) << "listed 61 s ago: a user request lists again";
    EXPECT_TRUE(queued<DownloadSync>()[0]->checkExists);

    other.put("/Desk/newer.txt", "n");
    advance(3599s);
    SyncFolder::performSync(timeline().context(), desk, false);
    EXPECT_EQ(downloads(), 1u);
    advance(2s);
    SyncFolder::performSync(timeline().context(), desk, false);
    EXPECT_EQ(downloads(), 3u);
    // A clock that went back counts the distance, not its sign.
    advance(-1800s);
    SyncFolder::performSync(timeline().context(), desk, false);
    EXPECT_EQ(downloads(), 3u);
}

// A listing with its freshness given says how it ended: compared, left as fresh, or failed; with no
// limit (`tidewell sync`) it lists whatever was listed a moment ago.
TEST_F(Listing, AListingWithItsFreshnessGivenSaysHowItEnded) {
    auto& context = timeline().context();
    EXPECT_EQ(SyncFolder::listFolder(context, desk, 60), ListingOutcome::compared);
    other.put("/Desk/new.txt", "n");
    advance(10s);
    EXPECT_EQ(SyncFolder::listFolder(context, desk, 60), ListingOutcome::fresh);
    EXPECT_EQ(queued<DownloadSync>().size(), 0u);
    EXPECT_EQ(SyncFolder::listFolder(context, desk, 0), ListingOutcome::compared);
    EXPECT_EQ(queued<DownloadSync>().size(), 1u);
    EXPECT_EQ(SyncFolder::listFolder(context, desk + "/no such folder", 0), ListingOutcome::gone);
}

// A folder listed before gets its new items' entries checked again when their events run: one the
// server dropped in between is not made here at all.
TEST_F(Listing, ANewItemTheServerDroppedBeforeItsEventRanIsNotMade) {
    syncAndSettle(desk);
    // Held, so the server's removal lands between the listing and the events it queued.
    timeline().pauseTimeLine();
    other.put("/Desk/brief.txt", "here a moment");
    other.put("/Desk/stays.txt", "here to stay");
    advance(61s);
    SyncFolder::performSync(timeline().context(), desk, true);
    auto downloads = queued<DownloadSync>();
    ASSERT_EQ(downloads.size(), 2u);
    for (const auto& d : downloads) EXPECT_TRUE(d->checkExists) << d->file.name;
    other.remove("/Desk/brief.txt");
    settle();
    EXPECT_FALSE(fs::exists(desk + "/brief.txt"));
    EXPECT_TRUE(fs::exists(desk + "/stays.txt"));
    EXPECT_EQ(stateOf(desk + "/stays.txt"), S::Placeholder);
}

// While nothing ran, the user deleted one file of a folder never listed here and renamed another; the
// scan at start queued both, and the folder's first listing (which checks nothing before making an
// item) comes before they run. Neither comes back.
TEST_F(Listing, AnItemDeletedOrMovedHereIsNotMadeAgainByAListingBeforeItsEventRan) {
    auto gone = other.put("/Desk/gone.txt", "deleted here");
    auto old = other.put("/Desk/old.txt", "renamed here");
    other.put("/Desk/fresh.txt", "new on the server");
    timeline().pauseTimeLine();
    auto synchronisedRecord = [](const std::string& path, const nlohmann::json& e) {
        CorvaneExtendedAttributes r(path, std::string());
        r.ceaString.setAttribute(CEAString::keys::Revision, e["revision"].get<std::string>());
        r.ceaString.setAttribute(CEAString::keys::FileType, platform::kFileTypeRegular);
        r.ceaStatus.setStatus(S::Regular);
        return r;
    };
    timeline().addDeleteEvent(desk + "/gone.txt", synchronisedRecord(desk + "/gone.txt", gone));
    const std::string renamed = desk + "/new name.txt";
    ASSERT_TRUE(writeFile(renamed, "renamed here"));
    {
        CorvaneExtendedAttributes r(renamed);
        r.ceaString.setAttribute(CEAString::keys::Revision, old["revision"].get<std::string>());
        r.ceaStatus.setStatus(S::Regular);
        if (auto a = platform::attributesOfItem(renamed)) CEAUtils::recordSyncedContent(r, *a);
        ASSERT_TRUE(r.save());
    }
    timeline().addMoveEvent(desk + "/old.txt", renamed, CorvaneExtendedAttributes(renamed));
    ASSERT_FALSE(CorvaneExtendedAttributes(desk).ceaDate.getAttribute(CEADate::keys::LastServerListing));

    SyncFolder::performSync(timeline().context(), desk, true);
    auto downloads = queued<DownloadSync>();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0]->file.name, "fresh.txt");
    settle();
    EXPECT_FALSE(fs::exists(desk + "/gone.txt"));
    EXPECT_FALSE(fs::exists(desk + "/old.txt"));
    EXPECT_EQ(readFile(renamed), "renamed here");
    EXPECT_TRUE(fs::exists(desk + "/fresh.txt"));
}

// ------------------------------------------------------------------ names

TEST_F(Listing, ALocalNameIsCorrectedToTheServersCaseAndNothingElseIsQueued) {
    makeSynchronised(team + "/report.txt", "/Team/report.txt", "numbers");
    // The other device renames it to another case; the server keeps one item.
    other.move("/Team/report.txt", "/Team/Report.TXT");
    SyncFolder::performSync(timeline().context(), team, true);
    EXPECT_TRUE(fs::exists(team + "/Report.TXT"));
    EXPECT_FALSE(fs::exists(team + "/report.txt"));
    EXPECT_EQ(readFile(team + "/Report.TXT"), "numbers");
    EXPECT_EQ(timeline().eventCount(), 0u);
}

// Found by the torture run: the other device renamed a file to another case and then changed it; the
// listing corrected the name and stopped there, so the file kept its old content, marked up to date,
// until the folder's next listing an hour later.
TEST_F(Listing, AFileRenamedToAnotherCaseAndChangedOnTheServerComesDownWithItsNewContent) {
    makeSynchronised(team + "/report.txt", "/Team/report.txt", "numbers");
    other.move("/Team/report.txt", "/Team/Report.TXT");
    other.put("/Team/Report.TXT", "new numbers");
    SyncFolder::performSync(timeline().context(), team, true);
    settle();
    EXPECT_FALSE(fs::exists(team + "/report.txt"));
    EXPECT_EQ(readFile(team + "/Report.TXT"), "new numbers");
    EXPECT_EQ(stateOf(team + "/Report.TXT"), S::Regular);
}

TEST_F(Listing, ADecomposedLocalNameIsTheServersComposedItemNotASecondFile) {
    // Saved by a program that writes names decomposed ("e" + combining acute); the client sends
    // names composed, so the server holds "\u00e9t\u00e9.txt". Found by the torture run: the listing
    // did not recognise the item, downloaded a composed twin beside the user's file, and every later
    // server revision went to the twin while the user's copy stayed behind.
    const std::string decomposed = "e\xcc\x81te\xcc\x81.txt", composed = "\xc3\xa9t\xc3\xa9.txt";
    makeSynchronised(team + "/" + decomposed, "/Team/" + composed, "summer");
    SyncFolder::performSync(timeline().context(), team, true);
    settle();
    size_t files = 0;
    for (auto& e : fs::directory_iterator(team))
        if (e.path().filename().string().find(".txt") != std::string::npos) ++files;
    EXPECT_EQ(files, 1u);
    EXPECT_TRUE(fs::exists(team + "/" + composed));
    EXPECT_EQ(readFile(team + "/" + composed), "summer");
    EXPECT_EQ(stateOf(team + "/" + composed), S::Regular);
}

TEST_F(Listing, EntriesThatDifferOnlyInCaseKeepTheFirstAndLogTheSecond) {
    size_t from = logSize();
    ServerFileObject upper, lower;
    upper.name = "A.txt";
    upper.isDirectory = false;
    upper.revision = "5";
    lower = upper;
    lower.name = "a.txt";
    lower.revision = "6";
    EXPECT_TRUE(SyncFolder::compareListing(timeline().context(), team, {upper, lower}, {}, false));
    auto d = queued<DownloadSync>();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0]->file.name, "A.txt");
    EXPECT_TRUE(logContains("a.txt in " + team + " beside another item of the same name but for case", from));

    // With a local a.txt, the second entry cannot take it over either.
    writeFile(team + "/a.txt", "local");
    EXPECT_TRUE(SyncFolder::compareListing(timeline().context(), team, {upper, lower}, {"a.txt"}, true));
    EXPECT_EQ(readFile(team + "/A.txt"), "local");
}

// ------------------------------------------------------------------ revisions

TEST_F(Listing, FilesOnBothSidesGetARevisionCheck) {
    makeSynchronised(team + "/same.txt", "/Team/same.txt", "s");
    SyncFolder::performSync(timeline().context(), team, true);
    auto updates = queued<RevisionUpdate>();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0]->snapshotXAttr.ceaStatus.status, S::Regular);
    settle();
    // Same revision and in step: nothing changes.
    EXPECT_EQ(readFile(team + "/same.txt"), "s");
    EXPECT_EQ(stateOf(team + "/same.txt"), S::Regular);
}

TEST_F(Listing, ANewerServerRevisionEmptiesAnUnchangedRegularFileForDownload) {
    std::string p = team + "/doc.txt";
    makeSynchronised(p, "/Team/doc.txt", "version one");
    auto v2 = other.put("/Team/doc.txt", "version two, longer");
    SyncFolder::performSync(timeline().context(), team, true);
    settle();
    // Emptied for the download the pass queued, which has run by now: the new revision, whole.
    EXPECT_EQ(readFile(p), "version two, longer");
    EXPECT_EQ(stateOf(p), S::Regular);
    EXPECT_EQ(revisionOf(p), v2["revision"].get<std::string>());
}

TEST_F(Listing, ANewerServerRevisionNeverTouchesAFileWithLocalChanges) {
    std::string p = team + "/doc.txt";
    makeSynchronised(p, "/Team/doc.txt", "version one");
    // Edited here (not yet reported) and on the other device.
    writeFile(p, "my edit of version one");
    auto v2 = other.put("/Team/doc.txt", "their version two");
    syncAndSettle(team);
    EXPECT_EQ(readFile(p), "my edit of version one");
    // The upload on the old revision is refused: the file waits in conflict, both copies intact.
    CorvaneExtendedAttributes r(p);
    EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
    EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::Conflict);
    EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "doc.txt"), "their version two");
}

TEST_F(Listing, AnUnreportedEditOfTheSameSizeIsNeverOverwrittenOrRemoved) {
    // Nothing announced these edits and they kept the size: only the recorded modification time
    // tells the files changed since they last agreed with the server.
    std::string doc = team + "/doc.txt";
    makeSynchronised(doc, "/Team/doc.txt", "version one");
    editKeepingTheSize(doc, "VERSION ONE");
    other.put("/Team/doc.txt", "their version two");
    std::string gone = team + "/gone.txt";
    makeSynchronised(gone, "/Team/gone.txt", "mine");
    editKeepingTheSize(gone, "MINE");
    other.remove("/Team/gone.txt");
    syncAndSettle(team);
    // A newer revision meets a changed file: both copies kept, the conflict shown.
    EXPECT_EQ(readFile(doc), "VERSION ONE");
    EXPECT_EQ(stateOf(doc), S::ErrorRegular);
    EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "doc.txt"), "their version two");
    // Removed on the server meanwhile: the changed file is sent again, not deleted.
    EXPECT_EQ(readFile(gone), "MINE");
    EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "gone.txt"), "MINE");
    EXPECT_EQ(stateOf(gone), S::Regular);
}

TEST_F(Listing, AnEditThatWasNeverReportedIsSentByTheNextListing) {
    std::string p = team + "/doc.txt";
    makeSynchronised(p, "/Team/doc.txt", "version one");
    // Saved while the application was not there to hear of it (killed between the watcher's report
    // and its handling): the record still says Regular at the server's own revision.
    writeFile(p, "my edit of version one");
    syncAndSettle(team);
    EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "doc.txt"), "my edit of version one");
    EXPECT_EQ(stateOf(p), S::Regular);
    EXPECT_EQ(readFile(p), "my edit of version one");
}

TEST_F(Listing, RevisionUpdateByStateAndRevision) {
    struct Row {
        const char* name;
        S state;
        bool withRevision;
        bool sameRevision;
        S snapshot;
        S expectedState;
        bool expectTruncated;
        bool expectUploaded;
    };
    const Row rows[] = {
        // No local revision.
        {"unknown.txt", S::Unknown, false, false, S::Unknown, S::ErrorRegular, false, false},
        {"localonly.txt", S::LocalOnly, false, false, S::LocalOnly, S::LocalOnly, false, false},
        // The server's revision.
        {"edited.txt", S::RequireUpload, true, true, S::RequireUpload, S::Regular, false, true},
        {"pending.txt", S::RequireDownload, true, true, S::RequireDownload, S::RequireDownload, false, false},
        {"insync.txt", S::Regular, true, true, S::Regular, S::Regular, false, false},
        // An older revision.
        {"placeholder.txt", S::Placeholder, true, false, S::Placeholder, S::Placeholder, false, false},
        {"errph.txt", S::ErrorPlaceHolder, true, false, S::ErrorPlaceHolder, S::ErrorPlaceHolder, false,
         false},
        {"regular.txt", S::Regular, true, false, S::Regular, S::RequireDownload, true, false},
        {"wasedited.txt", S::Regular, true, false, S::RequireUpload, S::Regular, false, false},
        {"upload.txt", S::RequireUpload, true, false, S::RequireUpload, S::RequireUpload, false, false},
        {"download.txt", S::RequireDownload, true, false, S::RequireDownload, S::RequireDownload, false,
         false},
        {"error.txt", S::ErrorRegular, true, false, S::ErrorRegular, S::ErrorRegular, false, false},
    };
    std::vector<std::shared_ptr<RevisionUpdate>> events;
    for (const auto& row : rows) {
        std::string serverPath = std::string("/Team/") + row.name;
        std::string local = team + "/" + row.name;
        auto first = other.put(serverPath, "server one");
        bool placeholder = row.state == S::Placeholder || row.state == S::ErrorPlaceHolder;
        writeFile(local, placeholder ? "" : (row.state == S::RequireUpload ? "local edit" : "server one"));
        CorvaneExtendedAttributes r(local);
        if (row.withRevision)
            CEAUtils::updateCorvaneExtendedAttributes(r, ServerFileObject(first).serverFacts());
        r.ceaStatus.setStatus(row.snapshot);
        ASSERT_TRUE(r.save());
        auto current = row.sameRevision ? ServerFileObject(first)
                                        : ServerFileObject(other.put(serverPath, "server two"));
        auto event = std::make_shared<RevisionUpdate>(team, current);
        setState(local, row.state);
        events.push_back(event);
    }
    for (auto& e : events) e->performAction(timeline().context());
    settle();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string local = team + "/" + row.name;
        bool placeholder = row.state == S::Placeholder || row.state == S::ErrorPlaceHolder;
        std::string before = placeholder ? "" : (row.state == S::RequireUpload ? "local edit" : "server one");
        std::string onServer = readFile(dir / "root" / "data" / "Team" / row.name);
        // An item left waiting for its download may already have it: then it holds the server's bytes.
        if (row.expectedState == S::RequireDownload && stateOf(local) == S::Regular) {
            EXPECT_EQ(readFile(local), onServer);
        } else {
            EXPECT_EQ(stateOf(local), row.expectedState);
            EXPECT_EQ(readFile(local), row.expectTruncated ? "" : before);
        }
        if (row.expectUploaded)
            EXPECT_EQ(onServer, "local edit");
        else
            EXPECT_NE(onServer, "local edit");
        if (placeholder) {
            EXPECT_EQ(revisionOf(local),
                      ServerFileObject(other.entry(std::string("/Team/") + row.name)).revision);
        }
    }
}

// ------------------------------------------------------------------ server deletes

TEST_F(Listing, AFileGoneFromTheServerIsRemovedOnlyAfterTheSecondCheck) {
    std::string p = team + "/gone.txt";
    makeSynchronised(p, "/Team/gone.txt", "g");
    std::string kept = team + "/private.txt";
    writeFile(kept, "never sent");
    ASSERT_TRUE(CEAUtils::setLocal(kept));
    other.remove("/Team/gone.txt");
    size_t from = logSize();
    SyncFolder::performSync(timeline().context(), team, true);
    ASSERT_EQ(queued<TLServerRequestedDelete>().size(), 1u)
        << "a LocalOnly item is not the server's to remove";
    EXPECT_TRUE(fs::exists(p)) << "nothing is removed before the event runs";
    settle();
    EXPECT_FALSE(fs::exists(p));
    EXPECT_TRUE(logContains("Deleted file " + p + " because it is no longer on the server", from));
    EXPECT_EQ(readFile(kept), "never sent");
}

TEST_F(Listing, AFileTheSecondRequestStillFindsIsLeftAlone) {
    std::string p = team + "/back.txt";
    makeSynchronised(p, "/Team/back.txt", "b");
    TLServerRequestedDelete(p, CorvaneExtendedAttributes(p)).performAction(timeline().context());
    EXPECT_EQ(readFile(p), "b");
    // A second request that fails for another reason keeps it too.
    other.remove("/Team/back.txt");
    devserver.fault({{"method", "GET"},
                     {"path", devserver.servicePath("folders/Team/back.txt")},
                     {"action", "error"},
                     {"errorId", 1001},
                     {"status", 500}});
    TLServerRequestedDelete(p, CorvaneExtendedAttributes(p)).performAction(timeline().context());
    EXPECT_EQ(readFile(p), "b");
    // A state change since the listing keeps it as well.
    CorvaneExtendedAttributes snapshot(p);
    setState(p, S::RequireDownload);
    TLServerRequestedDelete(p, snapshot).performAction(timeline().context());
    EXPECT_TRUE(fs::exists(p));
}

// A synchronised file renamed, while nobody watched, to a name the system cannot carry keeps the record
// of what it was. The server's copy under the old name goes as a move out of the tree does; the
// server's listing is never a reason to remove the file itself.
TEST_F(Listing, AFileUnderANameTheSystemCannotCarryIsNeverRemovedForTheServer) {
    std::string p = team + "/scratch.txt";
    makeSynchronised(p, "/Team/scratch.txt", "only copy");
    fs::create_directories(team + "/folder");
    std::string bad = team + "/folder/caf\xe9.txt", tooLong = team + "/why " + std::string(90, '?') + ".txt";
    fs::copy_file(p, tooLong);
    fs::rename(p, bad);
    platform::setXattr(tooLong, CorvaneExtendedAttributes::xAttrName,
                       *platform::getXattr(bad, CorvaneExtendedAttributes::xAttrName, 4096));
    other.remove("/Team/scratch.txt");
    TLServerRequestedDelete(bad, CorvaneExtendedAttributes(bad)).performAction(timeline().context());
    TLServerRequestedDelete(tooLong, CorvaneExtendedAttributes(tooLong)).performAction(timeline().context());
    TLServerRequestedDelete(team + "/folder", CorvaneExtendedAttributes(team + "/folder"))
        .performAction(timeline().context());
    EXPECT_EQ(readFile(bad), "only copy");
    EXPECT_EQ(readFile(tooLong), "only copy");
}

TEST_F(Listing, AFileWithUnsentChangesIsUploadedAgainNotDeleted) {
    std::string p = team + "/draft.txt";
    makeSynchronised(p, "/Team/draft.txt", "v1");
    writeFile(p, "v1 and my changes");
    setState(p, S::RequireUpload);
    other.remove("/Team/draft.txt");
    syncAndSettle(team);
    EXPECT_EQ(readFile(p), "v1 and my changes");
    EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "draft.txt"), "v1 and my changes");
    EXPECT_EQ(stateOf(p), S::Regular);
}

// A file in error waits for the user (a conflict, say): its server copy going away neither removes it
// nor sends it back on its own.
TEST_F(Listing, AFileInErrorIsLeftForTheUserWhenItsServerCopyGoes) {
    std::string p = team + "/disputed.txt";
    makeSynchronised(p, "/Team/disputed.txt", "mine and theirs");
    {
        CorvaneExtendedAttributes r(p);
        r.ceaStatus.setStatus(S::ErrorRegular);
        r.ceaErrorStatus.setStatus(CEAErrorStatus::keys::Conflict);
        r.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Transfer);
        ASSERT_TRUE(r.save());
    }
    other.remove("/Team/disputed.txt");
    syncAndSettle(team);
    EXPECT_EQ(readFile(p), "mine and theirs");
    CorvaneExtendedAttributes r(p);
    EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
    EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::Conflict);
    EXPECT_FALSE(other.exists("/Team/disputed.txt"));
}

TEST_F(Listing, AFolderGoneFromTheServerIsEmptiedOrKeptForItsChangedFile) {
    other.mkdir("/Team", "Clean");
    other.mkdir("/Team", "Mixed");
    fs::create_directories(team + "/Clean/Inner");
    fs::create_directories(team + "/Mixed");
    for (auto folder : {"Clean", "Mixed", "Clean/Inner"}) setState(team + "/" + folder, S::Regular);
    makeSynchronised(team + "/Clean/a.txt", "/Team/Clean/a.txt", "a");
    makeSynchronised(team + "/Clean/Inner/b.txt", "/Team/Clean/b.txt", "b");
    makeSynchronised(team + "/Mixed/c.txt", "/Team/Mixed/c.txt", "c");
    makeSynchronised(team + "/Mixed/d.txt", "/Team/Mixed/d.txt", "d");
    writeFile(team + "/Mixed/d.txt", "d, edited");
    setState(team + "/Mixed/d.txt", S::RequireUpload);
    for (auto p : {"/Team/Clean/a.txt", "/Team/Clean/b.txt", "/Team/Mixed/c.txt", "/Team/Mixed/d.txt"})
        other.remove(p);
    other.remove("/Team/Clean");
    other.remove("/Team/Mixed");
    syncAndSettle(team);

    EXPECT_FALSE(fs::exists(team + "/Clean"));
    EXPECT_FALSE(fs::exists(team + "/Mixed/c.txt"));
    EXPECT_EQ(readFile(team + "/Mixed/d.txt"), "d, edited");
    EXPECT_TRUE(other.exists("/Team/Mixed")) << "the folder is created on the server again";
    EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "Mixed" / "d.txt"), "d, edited");
}

TEST_F(Listing, AFailedListingRemovesNothingAndStaysDue) {
    makeSynchronised(team + "/x.txt", "/Team/x.txt", "x");
    other.remove("/Team/x.txt");
    devserver.fault({{"method", "GET"},
                     {"path", devserver.servicePath("folders/Team")},
                     {"action", "error"},
                     {"errorId", 1001},
                     {"status", 500}});
    SyncFolder::performSync(timeline().context(), team, true);
    EXPECT_EQ(timeline().eventCount(), 0u);
    EXPECT_FALSE(CorvaneExtendedAttributes(team).ceaDate.getAttribute(CEADate::keys::LastServerListing));
    EXPECT_TRUE(fs::exists(team + "/x.txt"));
}

// ------------------------------------------------------------------ mass removal

TEST_F(Listing, AServerThatSuddenlyListsNothingRemovesNothingUntilTheUserConfirms) {
    for (int i = 0; i < 12; ++i) other.put("/Desk/f" + std::to_string(i) + ".txt", "content");
    syncAndSettle(desk);
    ASSERT_EQ(stateOf(desk + "/f0.txt"), S::Placeholder);
    for (int i = 0; i < 12; ++i) other.remove("/Desk/f" + std::to_string(i) + ".txt");

    size_t from = logSize();
    advance(61s);
    SyncFolder::performSync(timeline().context(), desk, true);
    EXPECT_TRUE(queued<TLServerRequestedDelete>().empty());
    EXPECT_EQ(SyncFolder::foldersAwaitingConfirmation(), std::vector<std::string>{desk});
    EXPECT_TRUE(logContains("The server no longer lists 12 items of " + desk, from));
    // Still held on the next pass, and the folder stays due for listing.
    SyncFolder::performSync(timeline().context(), desk, true);
    EXPECT_TRUE(queued<TLServerRequestedDelete>().empty());
    settle();
    for (int i = 0; i < 12; ++i) EXPECT_TRUE(fs::exists(desk + "/f" + std::to_string(i) + ".txt"));

    // What the command line shows and sends.
    TestEngineParts engine(timeline(), volumes.list);
    CommandLine app(engine.parts());
    auto status = app.command({"status"});
    EXPECT_NE(status.text.find("confirm-deletes FOLDER):\n  " + desk + "\n"), std::string::npos)
        << status.text;
    EXPECT_FALSE(app.command({"confirm-deletes", team}).ok);
    ASSERT_TRUE(app.command({"confirm-deletes", desk + "/"}).ok);
    settle();
    for (int i = 0; i < 12; ++i) EXPECT_FALSE(fs::exists(desk + "/f" + std::to_string(i) + ".txt"));
    EXPECT_TRUE(SyncFolder::foldersAwaitingConfirmation().empty());
}

TEST_F(Listing, TheGuardLetsOrdinaryRemovalsThroughAndReleasesWhenTheItemsReturn) {
    for (int i = 0; i < 12; ++i) other.put("/Desk/f" + std::to_string(i) + ".txt", "content");
    syncAndSettle(desk);
    // Most but not all gone: an ordinary clean-up.
    for (int i = 0; i < 11; ++i) other.remove("/Desk/f" + std::to_string(i) + ".txt");
    advance(61s);
    SyncFolder::performSync(timeline().context(), desk, true);
    EXPECT_EQ(queued<TLServerRequestedDelete>().size(), 11u);
    EXPECT_TRUE(SyncFolder::foldersAwaitingConfirmation().empty());
    settle();

    // A folder held once is released by a pass that finds its items again.
    fs::create_directories(team + "/Held");
    other.mkdir("/Team", "Held");
    for (int i = 0; i < 10; ++i)
        makeSynchronised(team + "/Held/h" + std::to_string(i), "/Team/Held/h" + std::to_string(i), "h");
    SyncFolder::compareListing(
        timeline().context(), team + "/Held", {},
        [&] {
            std::vector<std::string> names;
            for (int i = 0; i < 10; ++i) names.push_back("h" + std::to_string(i));
            return names;
        }(),
        true);
    EXPECT_EQ(SyncFolder::foldersAwaitingConfirmation().size(), 1u);
    SyncFolder::performSync(timeline().context(), team + "/Held", true);
    EXPECT_TRUE(SyncFolder::foldersAwaitingConfirmation().empty());
    EXPECT_TRUE(queued<TLServerRequestedDelete>().empty());
}

// Items new here (never sent, or waiting for their first upload) are missing from the server's
// listing because they have not reached it yet: a folder of them is sent, not held as a mass removal.
TEST_F(Listing, AFolderOfItemsNotYetSentIsUploadedNotHeldForConfirmation) {
    other.mkdir("/Team", "Fresh");
    std::string fresh = team + "/Fresh";
    fs::create_directories(fresh);
    setState(fresh, S::Regular);
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("queued" + std::to_string(i) + ".txt");
        writeFile(fresh + "/" + names.back(), names.back());
        setState(fresh + "/" + names.back(), S::RequireUpload);
    }
    for (int i = 0; i < 3; ++i) {
        names.push_back("unseen" + std::to_string(i) + ".txt");
        writeFile(fresh + "/" + names.back(), names.back());
    }
    syncAndSettle(fresh);
    EXPECT_TRUE(SyncFolder::foldersAwaitingConfirmation().empty());
    for (const auto& name : names) {
        EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "Fresh" / name), name);
        EXPECT_EQ(stateOf(fresh + "/" + name), S::Regular) << name;
    }
}

// ------------------------------------------------------------------ folders that go away

TEST_F(Listing, AFolderRemovedWhileItsListingRunsGetsNothingWrittenInItsPlace) {
    other.mkdir("/Team", "Brief");
    other.put("/Team/Brief/x.txt", "x");
    std::string brief = team + "/Brief";
    fs::create_directories(brief);
    setState(brief, S::Regular);
    devserver.fault({{"method", "GET"},
                     {"path", devserver.servicePath("folders/Team/Brief")},
                     {"action", "delay"},
                     {"delay_ms", 1500}});
    size_t from = logSize();
    std::thread pass([&] { SyncFolder::performSync(timeline().context(), brief, true); });
    std::this_thread::sleep_for(500ms);
    fs::remove_all(brief);
    pass.join();
    settle();
    EXPECT_FALSE(fs::exists(brief));
    EXPECT_TRUE(logContains("The folder " + brief + " went away while it was listed", from));

    // An event queued before the folder went away makes nothing either.
    DownloadSync(brief, serverEntry("/Team/Brief/x.txt"), false).performAction(timeline().context());
    EXPECT_FALSE(fs::exists(brief));
    EXPECT_TRUE(logContains("The folder " + brief + " is gone", from));
}

}  // namespace
}  // namespace tw::test
