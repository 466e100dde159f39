// Changes in both directions through the real mounts: another person's server changes come down into
// the mounted folders, local deletes, renames and safe-saves go up, server refusals put items back, and
// a SIGKILL in the middle of a download or of queued deletes loses nothing. The reference server runs
// with its fault queue, and a second client (the colleague) changes the server through its own API.
#include <sys/xattr.h>

#include <future>
#include <random>

#include "platform/files.h"
#include "program_fixture.h"
#include "support/random_bytes.h"

namespace tw::test {
namespace {

// The value of "KEY: value" at the start of a line of a record, "" without one.
std::string field(const std::string& record, const std::string& key) {
    std::string needle = key + ": ";
    for (size_t at = 0; at < record.size();) {
        size_t end = record.find('\n', at);
        if (end == std::string::npos) end = record.size();
        if (record.compare(at, needle.size(), needle) == 0)
            return record.substr(at + needle.size(), end - at - needle.size());
        at = end + 1;
    }
    return "";
}

class SyncProgram : public Program {
protected:
    std::vector<std::string> serverArgs() const override {
        return {"--mappoint", "Team:MANUAL", "--mappoint", "Auto:AUTOMATIC", "--faults"};
    }

    void SetUp() override {
        Program::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        peer = std::make_unique<DevServerHarness>(dir.path());
        peer->attach(server.port());
        ASSERT_TRUE(peer->login("anna", kPassword));
    }

    void bringUp() {
        ASSERT_EQ(login(kPassword).exitCode, 0);
        startApp();
    }

    std::string record(const std::string& path) {
        return platform::getXattr(path, "com.meridot.tidewell", 4096).value_or("");
    }
    std::string state(const std::string& path) { return field(record(path), "Status"); }

    fs::path onServer(const std::string& serverPath) { return dir / "root" / "data" / serverPath.substr(1); }
    nlohmann::json entry(const std::string& serverPath) {
        auto r = peer->get(DevServerHarness::folderUrl(serverPath));
        return r && r->status == 200 ? parseJson(r->body) : nlohmann::json();
    }
    std::string serverRevision(const std::string& serverPath) {
        auto e = entry(serverPath);
        return e.is_object() && e.contains("revision") ? e["revision"].get<std::string>() : "";
    }
    void colleagueWrites(const std::string& serverPath, const std::string& content) {
        auto r = peer->upload(serverPath, content, serverRevision(serverPath));
        ASSERT_TRUE(r && r->status == 200) << serverPath << ": " << (r ? r->body : "no answer");
    }
    void colleagueDeletes(const std::string& serverPath) {
        auto r = peer->del(DevServerHarness::folderUrl(serverPath) + "?revision=");
        ASSERT_TRUE(r && r->status == 200) << serverPath << ": " << (r ? r->body : "no answer");
    }
    void fault(const nlohmann::json& f) {
        auto r = peer->postAdmin("faults", f);
        ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "no answer");
    }
    std::string serverLog() const { return slurp(dir / "devserver.log"); }

    // A folder is listed again only after its freshness limit; this makes its last listing look old,
    // as an hour passing would, by rewriting the date in its record.
    void ageListing(const std::string& folder) {
        std::string text = record(folder);
        size_t at = text.find("LastServerListing: ");
        ASSERT_NE(at, std::string::npos) << folder << " was never listed:\n" << text;
        size_t end = text.find('\n', at);
        text.replace(at, end - at, "LastServerListing: 2001-01-01 00:00:00 +0000 = 0");
        ASSERT_EQ(::setxattr(folder.c_str(), "user.com.meridot.tidewell", text.data(), text.size(), 0), 0)
            << folder << ": " << strerror(errno);
    }

    bool idle() { return tidewell({"script", "idle"}).exitCode == 0; }

    static void write(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    std::unique_ptr<DevServerHarness> peer;
};

TEST_F(SyncProgram, AColleaguesChangesComeDownAndALocalEditIsNeverDeletedByTheServer) {
    colleagueWrites("/Team/from-colleague.txt", "written by a colleague");
    colleagueWrites("/Auto/report.txt", "automatic content, first revision");
    bringUp();
    const std::string team = mountVolume("Team");
    const std::string autoDir = mountVolume("Auto");

    // A manual folder shows the new file as an empty placeholder; an automatic one fetches it.
    const std::string theirs = team + "/from-colleague.txt";
    EXPECT_TRUE(eventually([&] { return state(theirs) == "Placeholder"; }, 60s)) << log();
    // It takes no space, yet shows the size of the content it stands for.
    EXPECT_EQ(fs::file_size(theirs), std::string("written by a colleague").size());
    EXPECT_EQ(fs::file_size(fs::path(getenv("XDG_DATA_HOME")) / "Tidewell" / "Team.sparsebundle" / "content" /
                            "from-colleague.txt"),
              0u);
    EXPECT_EQ(field(record(theirs), "Revision"), serverRevision("/Team/from-colleague.txt"));
    EXPECT_TRUE(eventually(
        [&] { return slurp(autoDir + "/report.txt") == "automatic content, first revision"; }, 60s))
        << log();
    EXPECT_TRUE(eventually([&] { return state(autoDir + "/report.txt") == "Regular"; }));

    // A new revision replaces the downloaded content at the next listing.
    colleagueWrites("/Auto/report.txt", "automatic content, second revision");
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    ageListing(autoDir);
    ASSERT_EQ(tidewell({"sync", autoDir}).exitCode, 0);
    EXPECT_TRUE(eventually(
        [&] { return slurp(autoDir + "/report.txt") == "automatic content, second revision"; }, 60s))
        << log();
    EXPECT_TRUE(eventually([&] {
        return field(record(autoDir + "/report.txt"), "Revision") == serverRevision("/Auto/report.txt");
    }));

    // My own file, uploaded, then edited while the client is paused; meanwhile the colleague removes it
    // on the server. The edit goes up again instead of being deleted.
    const std::string mine = team + "/mine.txt";
    write(mine, "my first draft");
    ASSERT_TRUE(eventually([&] { return slurp(onServer("/Team/mine.txt")) == "my first draft"; }, 60s))
        << log();
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    ASSERT_EQ(tidewell({"pause"}).exitCode, 0);
    write(mine, "my second draft, not yet sent");
    colleagueDeletes("/Team/mine.txt");
    colleagueDeletes("/Team/from-colleague.txt");
    ASSERT_EQ(tidewell({"resume"}).exitCode, 0);
    ageListing(team);
    ASSERT_EQ(tidewell({"sync", team}).exitCode, 0);

    // The colleague's placeholder goes; my edit survives locally and is back on the server.
    EXPECT_TRUE(eventually([&] { return !fs::exists(theirs); }, 60s)) << log();
    EXPECT_TRUE(
        eventually([&] { return slurp(onServer("/Team/mine.txt")) == "my second draft, not yet sent"; }, 60s))
        << log();
    EXPECT_EQ(slurp(mine), "my second draft, not yet sent");
}

TEST_F(SyncProgram, APlaceholderRenamedOutOfTheSynchronisedNamesKeepsItsContentOrGoesOnlyWhenGone) {
    // A name the client never synchronises (a browser's ".part") takes a placeholder out: its content
    // comes down to it before the server item goes; removed right away, the item is gone for good. The
    // real watcher finds the item by its number in both cases.
    colleagueWrites("/Team/kept.txt", "content that must come down");
    colleagueWrites("/Team/dropped.txt", "content the user threw away");
    bringUp();
    const std::string team = mountVolume("Team");
    ASSERT_TRUE(eventually([&] { return state(team + "/kept.txt") == "Placeholder"; }, 60s)) << log();
    ASSERT_TRUE(eventually([&] { return state(team + "/dropped.txt") == "Placeholder"; }, 60s)) << log();
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    ASSERT_EQ(tidewell({"pause"}).exitCode, 0);
    fs::rename(team + "/kept.txt", team + "/kept.txt.part");
    fs::rename(team + "/dropped.txt", team + "/dropped.txt.part");
    // Thrown away after the move was taken in (the download waits while paused).
    ASSERT_TRUE(eventually([&] {
        return log().find("Changing move of file from  " + team + "/dropped.txt") != std::string::npos;
    })) << log();
    fs::remove(team + "/dropped.txt.part");
    ASSERT_EQ(tidewell({"resume"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return !fs::exists(onServer("/Team/dropped.txt")); }, 60s)) << log();
    EXPECT_TRUE(eventually([&] { return !fs::exists(onServer("/Team/kept.txt")); }, 60s)) << log();
    EXPECT_EQ(slurp(team + "/kept.txt.part"), "content that must come down");
    EXPECT_EQ(record(team + "/kept.txt.part"), "") << "an ordinary file now";
}

TEST_F(SyncProgram, ASIGKILLInTheMiddleOfADownloadResumesFromTheBytesAlreadyThere) {
    const std::string content = randomBytes(6 << 20, 7);
    colleagueWrites("/Team/big.bin", content);
    bringUp();
    const std::string team = mountVolume("Team");
    const std::string big = team + "/big.bin";
    ASSERT_TRUE(eventually([&] { return state(big) == "Placeholder"; }, 60s)) << log();

    // The answer stalls after 2 MiB, so the process is killed in the middle of the download.
    fault({{"method", "GET"},
           {"path", "/br/sync/1.6/folders/Team/big.bin?revision="},
           {"action", "drop"},
           {"after_bytes", 2 << 20},
           {"delay_ms", 15000},
           {"stage", "response"}});
    ASSERT_EQ(tidewell({"download", big}).exitCode, 0);
    // Content reaches the file in blocks of a megabyte: the first block is there, the rest never comes.
    ASSERT_TRUE(eventually([&] { return fs::file_size(big) >= (1u << 20); }, 60s)) << log();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(log().find("Download of " + big), std::string::npos) << "the download ended before the kill";
    ::kill(app.pid(), SIGKILL);
    app.wait(10s);
    peer->del("/admin/faults");

    // Nothing pretends the partial file is whole.
    uint64_t partial = fs::file_size(big);
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, content.size());
    EXPECT_EQ(state(big), "RequireDownload") << record(big);

    startApp();
    EXPECT_TRUE(eventually([&] { return mounted(team); }, 60s)) << log();
    ASSERT_EQ(tidewell({"download", big}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return state(big) == "Regular"; }, 120s)) << log();
    EXPECT_TRUE(slurp(big) == content) << "the finished file differs from the server's bytes";
    // The download after the restart asked only for the rest.
    std::string resumed =
        "&skip=" + std::to_string(partial) + "&count=" + std::to_string(content.size() - partial);
    EXPECT_NE(serverLog().find(resumed), std::string::npos) << serverLog();
    EXPECT_EQ(platform::getXattr(big, "com.apple.progress", 64), std::nullopt);
}

// Any program opening a placeholder reads the server's content: the open waits while it comes down, two
// readers share one download, a download cut short fails the open rather than give empty bytes, and a
// program that only looks (an indexer) is refused without fetching anything. Meanwhile every program sees
// the server's size, though the file takes no space.
TEST_F(SyncProgram, AnyProgramOpeningAPlaceholderReadsTheServersContent) {
    const std::string shared = randomBytes(3 << 20, 11), cut = randomBytes(2 << 20, 12);
    colleagueWrites("/Team/shared.bin", shared);
    colleagueWrites("/Team/notes.txt", "meeting notes");
    colleagueWrites("/Team/photo.jpg", "not really a photo");
    colleagueWrites("/Team/cut.bin", cut);
    bringUp();
    const std::string team = mountVolume("Team");
    for (const char* name : {"shared.bin", "notes.txt", "photo.jpg", "cut.bin"})
        ASSERT_TRUE(eventually([&] { return state(team + "/" + name) == "Placeholder"; }, 60s))
            << name << log();
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));

    // The server's size, in no space; the backing file stays empty.
    struct stat st {};
    ASSERT_EQ(::stat((team + "/shared.bin").c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), shared.size());
    EXPECT_LT(st.st_blocks * 512, 64 * 1024) << "blocks for the record alone, none for content";
    const fs::path backing = fs::path(getenv("XDG_DATA_HOME")) / "Tidewell" / "Team.sparsebundle" / "content";
    EXPECT_EQ(fs::file_size(backing / "shared.bin"), 0u);

    // An indexer (by its process name) is refused and fetches nothing.
    fs::copy_file("/bin/cat", dir / "tracker-extract");
    auto indexer = runToCompletion({(dir / "tracker-extract").string(), team + "/photo.jpg"}, 30s);
    EXPECT_NE(indexer.exitCode, 0);
    EXPECT_EQ(indexer.out, "");
    EXPECT_EQ(state(team + "/photo.jpg"), "Placeholder");
    EXPECT_EQ(serverLog().find("/Team/photo.jpg?revision="), std::string::npos)
        << "the indexer's read fetched";

    // Two readers at once wait for one download and both read the whole content.
    auto reader = [&] { return std::async(std::launch::async, [&] { return slurp(team + "/shared.bin"); }); };
    auto first = reader(), second = reader();
    EXPECT_TRUE(first.get() == shared) << log();
    EXPECT_TRUE(second.get() == shared) << log();
    EXPECT_EQ(state(team + "/shared.bin"), "Regular");
    std::string server = serverLog();
    size_t gets = 0;
    for (size_t at = server.find("GET /br/sync/1.6/folders/Team/shared.bin?"); at != std::string::npos;
         at = server.find("GET /br/sync/1.6/folders/Team/shared.bin?", at + 1))
        ++gets;
    EXPECT_EQ(gets, 1u) << server;
    auto cat = runToCompletion({"/bin/cat", team + "/notes.txt"}, 60s);
    EXPECT_EQ(cat.exitCode, 0);
    EXPECT_EQ(cat.out, "meeting notes");

    // The server cuts the body: the open fails with an error, never with empty content. Opened again
    // (once the client is back in contact), the download resumes and the content is whole.
    fault({{"method", "GET"},
           {"path", "/br/sync/1.6/folders/Team/cut.bin?revision="},
           {"action", "drop"},
           {"after_bytes", 1 << 20},
           {"stage", "response"}});
    auto failed = runToCompletion({"/bin/cat", team + "/cut.bin"}, 120s);
    EXPECT_NE(failed.exitCode, 0);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(state(team + "/cut.bin"), "Regular");
    EXPECT_TRUE(eventually([&] { return slurp(team + "/cut.bin") == cut; }, 60s)) << log();
    EXPECT_EQ(state(team + "/cut.bin"), "Regular");
}

// An administrator may keep every placeholder from being read, as before opening meant downloading.
TEST_F(SyncProgram, AnAdministratorCanRefuseEveryReadOfAPlaceholder) {
    colleagueWrites("/Team/kept.txt", "stays on the server");
    const fs::path admin = fs::path(getenv("XDG_CONFIG_DIRS")) / "meridot" / "com.meridot.tidewell.json";
    fs::create_directories(admin.parent_path());
    write(admin.string(), R"({"refuseplaceholderreads": true})");
    bringUp();
    const std::string team = mountVolume("Team");
    ASSERT_TRUE(eventually([&] { return state(team + "/kept.txt") == "Placeholder"; }, 60s)) << log();
    auto cat = runToCompletion({"/bin/cat", team + "/kept.txt"}, 30s);
    fs::remove(admin);
    EXPECT_NE(cat.exitCode, 0);
    EXPECT_EQ(cat.out, "");
    EXPECT_EQ(state(team + "/kept.txt"), "Placeholder");
}

// A script asks whether the client is downloading or uploading: true while a transfer runs, false
// otherwise, whatever the case of the question.
TEST_F(SyncProgram, TheScriptCommandSaysWhileADownloadOrAnUploadRuns) {
    colleagueWrites("/Team/slow.bin", randomBytes(100000, 3));
    bringUp();
    const std::string team = mountVolume("Team");
    ASSERT_TRUE(eventually([&] { return state(team + "/slow.bin") == "Placeholder"; }, 60s)) << log();
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    auto says = [&](const std::string& question) {
        auto r = tidewell({"script", question});
        return r.exitCode == 0 && r.out == "true\n";
    };
    EXPECT_FALSE(says("downloading"));
    EXPECT_FALSE(says("uploading"));

    // The server holds each transfer for a few seconds.
    fault({{"method", "GET"},
           {"path", "/br/sync/1.6/folders/Team/slow.bin"},
           {"action", "delay"},
           {"delay_ms", 5000}});
    ASSERT_EQ(tidewell({"download", team + "/slow.bin"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return says("DownLoading"); }, 30s)) << log();
    EXPECT_FALSE(says("Uploading"));
    EXPECT_TRUE(eventually([&] { return state(team + "/slow.bin") == "Regular"; }, 60s)) << log();
    EXPECT_TRUE(eventually([&] { return !says("downloading"); }));

    for (const char* resource :
         {"/br/sync/1.6/folders/Team/new.txt", "/br/sync/1.6/resume/upload/Team/new.txt"})
        fault({{"method", "POST"}, {"path", resource}, {"action", "delay"}, {"delay_ms", 5000}});
    write(team + "/new.txt", "sent slowly");
    EXPECT_TRUE(eventually([&] { return says("UPLOADING"); }, 30s)) << log();
    EXPECT_FALSE(says("DOWNLOADING"));
    EXPECT_TRUE(eventually([&] { return slurp(onServer("/Team/new.txt")) == "sent slowly"; }, 60s)) << log();
    EXPECT_TRUE(eventually([&] { return !says("uploading"); }));
    peer->del("/admin/faults");
}

TEST_F(SyncProgram, RenamesMovesSafeSavesAndDeletesReachTheServer) {
    bringUp();
    const std::string team = mountVolume("Team");
    write(team + "/a.txt", "alpha");
    fs::create_directory(team + "/Folder");
    write(team + "/Folder/x.txt", "x, first");
    write(team + "/Folder/y.txt", "y, first");
    ASSERT_TRUE(eventually([&] { return slurp(onServer("/Team/Folder/y.txt")) == "y, first"; }, 60s))
        << log();
    ASSERT_TRUE(eventually([&] { return slurp(onServer("/Team/a.txt")) == "alpha"; }, 60s)) << log();
    ASSERT_TRUE(eventually([&] { return idle() && state(team + "/Folder/x.txt") == "Regular"; }, 60s));
    const std::string revision = serverRevision("/Team/a.txt");

    // A rename keeps the item (its revision) and moves it on the server.
    fs::rename(team + "/a.txt", team + "/b.txt");
    EXPECT_TRUE(eventually([&] { return serverRevision("/Team/b.txt") == revision; }, 60s)) << log();
    EXPECT_FALSE(fs::exists(onServer("/Team/a.txt")));

    // A case-only rename goes through a temporary name, the server ends with the new case only.
    fs::rename(team + "/b.txt", team + "/B.txt");
    auto names = [&] {
        std::set<std::string> out;
        for (auto& e : fs::directory_iterator(onServer("/Team"))) out.insert(e.path().filename());
        return out;
    };
    EXPECT_TRUE(eventually([&] { return names().count("B.txt") == 1 && names().count("b.txt") == 0; }, 60s))
        << log();
    EXPECT_NE(serverLog().find("/br/sync/1.6/folders/Team/b.txt.TWCC"), std::string::npos);
    EXPECT_EQ(serverRevision("/Team/B.txt"), revision);

    // A folder rename takes its children along.
    fs::rename(team + "/Folder", team + "/Renamed");
    EXPECT_TRUE(eventually([&] { return slurp(onServer("/Team/Renamed/x.txt")) == "x, first"; }, 60s))
        << log();
    EXPECT_FALSE(fs::exists(onServer("/Team/Folder")));
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    EXPECT_EQ(state(team + "/Renamed/y.txt"), "Regular");

    // An editor's safe-save: the new content lands on the same server item, never a delete of it.
    const std::string xRevision = serverRevision("/Team/Renamed/x.txt");
    write(team + "/Renamed/.x.txt.swp", "x, saved by an editor");
    fs::rename(team + "/Renamed/.x.txt.swp", team + "/Renamed/x.txt");
    EXPECT_TRUE(
        eventually([&] { return slurp(onServer("/Team/Renamed/x.txt")) == "x, saved by an editor"; }, 60s))
        << log();
    EXPECT_TRUE(eventually([&] { return idle(); }, 60s));
    EXPECT_NE(serverRevision("/Team/Renamed/x.txt"), xRevision)
        << serverLog() << record(team + "/Renamed/x.txt");
    EXPECT_EQ(serverLog().find("DELETE /br/sync/1.6/folders/Team/Renamed/x.txt"), std::string::npos);
    EXPECT_FALSE(fs::exists(onServer("/Team/Renamed/.x.txt.swp")));
    EXPECT_EQ(slurp(team + "/Renamed/x.txt"), "x, saved by an editor");

    // A delete removes the server item and says so in the usage report.
    fs::remove(team + "/B.txt");
    EXPECT_TRUE(eventually([&] { return !fs::exists(onServer("/Team/B.txt")); }, 60s)) << log();
    EXPECT_TRUE(eventually([&] {
        return log().find("Delete of item " + team + "/B.txt requested by user") != std::string::npos;
    })) << log();

    // The mappoint's own folder cannot be removed or renamed: nothing on the server changes.
    EXPECT_NE(::rmdir(team.c_str()), 0);
    EXPECT_NE(::rename(team.c_str(), (team + "-gone").c_str()), 0);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(fs::exists(onServer("/Team/Renamed/y.txt")));
    EXPECT_TRUE(mounted(team));
}

TEST_F(SyncProgram, RefusedDeletesAndMovesPutItemsBackForTheUser) {
    colleagueWrites("/Team/ro.txt", "read only");
    ASSERT_TRUE(peer->postAdmin("item", {{"path", "/Team/ro.txt"}, {"read_only", true}}));
    // Folders in use are listed again by themselves; here a colleague's file must stay unknown to this
    // machine until its folder is removed, so the administrator's pace lists next to nothing.
    const fs::path admin = fs::path(getenv("XDG_CONFIG_DIRS")) / "meridot" / "com.meridot.tidewell.json";
    fs::create_directories(admin.parent_path());
    write(admin.string(), R"({"listingrate": 0.000001})");
    bringUp();
    const std::string team = mountVolume("Team");
    write(team + "/locked.txt", "held by someone");
    write(team + "/busy.txt", "busy for a moment");
    write(team + "/stays.txt", "cannot move");
    fs::create_directory(team + "/Full");
    write(team + "/Full/mine.txt", "mine");
    for (auto p : {"/Team/locked.txt", "/Team/busy.txt", "/Team/stays.txt", "/Team/Full/mine.txt"})
        ASSERT_TRUE(eventually([&] { return fs::exists(onServer(p)); }, 60s)) << p << "\n" << log();
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    // The colleague adds a file this machine has not listed yet.
    colleagueWrites("/Team/Full/theirs.txt", "theirs");

    // Locked for good: one retry, both audit lines, the file comes back marked in use.
    ASSERT_TRUE(peer->postAdmin("lock", {{"path", "/Team/locked.txt"}, {"locked", true}}));
    fs::remove(team + "/locked.txt");
    EXPECT_TRUE(
        eventually([&] { return field(record(team + "/locked.txt"), "Error Status") == "FileInUse"; }, 60s))
        << log();
    EXPECT_EQ(state(team + "/locked.txt"), "ErrorPlaceHolder");
    EXPECT_NE(log().find("Retrying delete of item " + team + "/locked.txt"), std::string::npos);
    EXPECT_EQ(slurp(onServer("/Team/locked.txt")), "held by someone");

    // Locked through the request's own retries (three attempts): the event's one retry removes it.
    fault({{"method", "DELETE"},
           {"path", "/br/sync/1.6/folders/Team/busy.txt"},
           {"action", "error"},
           {"errorId", 26},
           {"count", 3}});
    fs::remove(team + "/busy.txt");
    EXPECT_TRUE(eventually([&] { return !fs::exists(onServer("/Team/busy.txt")); }, 60s)) << log();
    EXPECT_TRUE(eventually([&] {
        auto a = log();
        return a.find("Retrying delete of item " + team + "/busy.txt") != std::string::npos &&
               a.find("Delete of item " + team + "/busy.txt requested by user") != std::string::npos;
    })) << log();
    EXPECT_FALSE(fs::exists(team + "/busy.txt"));

    // A folder the server still has content in comes back, marked, for the user to resolve.
    fs::remove_all(team + "/Full");
    EXPECT_TRUE(
        eventually([&] { return field(record(team + "/Full"), "Error Status") == "FolderNotEmpty"; }, 60s))
        << log();
    EXPECT_EQ(state(team + "/Full"), "ErrorPlaceHolder");
    EXPECT_EQ(field(record(team + "/Full"), "Error Genre"), "Delete");
    EXPECT_EQ(slurp(onServer("/Team/Full/theirs.txt")), "theirs");
    EXPECT_FALSE(fs::exists(onServer("/Team/Full/mine.txt")));

    // An item the server holds read-only: the watcher refuses its delete.
    ASSERT_TRUE(eventually([&] { return field(record(team + "/ro.txt"), "ReadOnly") == "true"; }, 60s))
        << record(team + "/ro.txt");
    EXPECT_NE(::unlink((team + "/ro.txt").c_str()), 0);
    EXPECT_TRUE(fs::exists(team + "/ro.txt"));
    EXPECT_EQ(slurp(onServer("/Team/ro.txt")), "read only");

    // A move the server refuses: the file stays where the user put it, the content is not lost.
    fault({{"method", "POST"},
           {"path", "/br/sync/1.6/folders/Team/stays.txt"},
           {"action", "error"},
           {"errorId", 1082}});
    fs::rename(team + "/stays.txt", team + "/moved.txt");
    EXPECT_TRUE(eventually(
        [&] { return serverLog().find("POST /br/sync/1.6/folders/Team/stays.txt") != std::string::npos; },
        60s));
    EXPECT_TRUE(eventually([&] { return idle(); }, 60s));
    EXPECT_EQ(slurp(team + "/moved.txt"), "cannot move");
    EXPECT_EQ(slurp(onServer("/Team/stays.txt")), "cannot move");
}

TEST_F(SyncProgram, DeletesAndMovesQueuedBeforeASIGKILLAllRunAfterTheRestart) {
    bringUp();
    const std::string team = mountVolume("Team");
    for (int i = 0; i < 6; ++i) write(team + "/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(
            eventually([&] { return fs::exists(onServer("/Team/f" + std::to_string(i) + ".txt")); }, 60s))
            << log();
    ASSERT_TRUE(eventually([&] { return idle() && state(team + "/f5.txt") == "Regular"; }, 60s));

    // Paused, the events wait in the queue (and in its durable file); then the process dies.
    ASSERT_EQ(tidewell({"pause"}).exitCode, 0);
    fs::remove(team + "/f0.txt");
    fs::remove(team + "/f1.txt");
    fs::rename(team + "/f2.txt", team + "/moved2.txt");
    fs::rename(team + "/f3.txt", team + "/f3-first.txt");
    fs::rename(team + "/f3-first.txt", team + "/f3-second.txt");
    const fs::path timeline = fs::path(getenv("XDG_DATA_HOME")) / "Tidewell" / "Timeline.txt";
    EXPECT_TRUE(eventually([&] { return slurp(timeline).find("f3-second.txt") != std::string::npos; }, 10s))
        << slurp(timeline);
    ::kill(app.pid(), SIGKILL);
    app.wait(10s);
    EXPECT_TRUE(fs::exists(onServer("/Team/f0.txt")));

    startApp();
    ASSERT_EQ(tidewell({"resume"}).exitCode, 0);
    EXPECT_TRUE(eventually(
        [&] { return !fs::exists(onServer("/Team/f0.txt")) && !fs::exists(onServer("/Team/f1.txt")); }, 60s))
        << log();
    EXPECT_TRUE(eventually([&] { return slurp(onServer("/Team/f3-second.txt")) == "file 3"; }, 60s)) << log();
    EXPECT_EQ(slurp(onServer("/Team/moved2.txt")), "file 2");
    EXPECT_FALSE(fs::exists(onServer("/Team/f2.txt")));
    EXPECT_FALSE(fs::exists(onServer("/Team/f3.txt")));
    EXPECT_FALSE(fs::exists(onServer("/Team/f3-first.txt")));
    // Untouched files are untouched, everywhere.
    EXPECT_EQ(slurp(team + "/f4.txt"), "file 4");
    EXPECT_EQ(slurp(onServer("/Team/f4.txt")), "file 4");
    EXPECT_TRUE(eventually([&] { return idle(); }, 60s));
    EXPECT_EQ(slurp(timeline).find("f0.txt"), std::string::npos) << slurp(timeline);

    // An orderly stop (SIGTERM) while paused keeps what is queued just as well.
    ASSERT_EQ(tidewell({"pause"}).exitCode, 0);
    fs::remove(team + "/f4.txt");
    EXPECT_EQ(app.stop(60s), 0) << log();
    EXPECT_TRUE(fs::exists(onServer("/Team/f4.txt")));
    startApp();
    ASSERT_EQ(tidewell({"resume"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return !fs::exists(onServer("/Team/f4.txt")); }, 60s)) << log();
    EXPECT_EQ(slurp(onServer("/Team/f5.txt")), "file 5");
}

}  // namespace
}  // namespace tw::test
