// Error resolution against real files, real records and the reference server: what each alert and
// window says, and what each resolution leaves in the record, on the timeline and on the server.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "Pinewick/app/ErrorCommands.h"
#include "Pinewick/engine/ContextMenuHandler.h"
#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/TLDownloadFile.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/ui/ResolveWindows.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "platform/notifications.h"
#include "platform/overmark.h"
#include "qt_support.h"
#include "support/client_devserver.h"
#include "support/own_run_state.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;
using E = CEAErrorStatus::keys;
using G = CEAErrorStatus::genres;
using Manager = ErrorResolutionManager;

// Records what the manager decided to show and answers alerts with a chosen button.
class FakePresenter : public Manager::Presenter {
public:
    int runAlert(const Manager::Alert& alert) override {
        alerts.push_back(alert);
        return answer;
    }
    void runConflict(const std::string& path, const CorvaneExtendedAttributes&) override {
        conflicts.push_back(path);
    }
    void runDelete(const std::string& path, const CorvaneExtendedAttributes&) override {
        deletes.push_back(path);
    }
    size_t shown() const { return alerts.size() + conflicts.size() + deletes.size(); }

    int answer = 0;
    std::vector<Manager::Alert> alerts;
    std::vector<std::string> conflicts, deletes;
};

void markError(const std::string& path, S state, E status, G genre) {
    CorvaneExtendedAttributes record(path);
    record.ceaStatus.setStatus(state);
    record.ceaErrorStatus.setStatus(status);
    record.ceaErrorStatus.setGenre(genre);
    ASSERT_TRUE(record.save());
}

// ---- decisions that need no server

class Decisions : public ::testing::Test {
protected:
    void SetUp() override {
        qtApp();
        volumes.answer(env);
        // Files of a mappoint volume, as the timeline only takes those.
        auto& vm = volumes.list;
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        vm.addVolume(team);
        fs::create_directories(team->localFolder);
        timeline = std::make_unique<TimeLineManager>((dir / "support").string() + "/", volumes.parts(env));
        manager = std::make_unique<Manager>(*timeline);
        manager->setPresenter(&presenter);
    }
    void TearDown() override {
        timeline.reset();
        fs::remove_all(team->localFolder);
    }
    std::string file(const std::string& name, const std::string& content = "data") {
        std::string path = team->localFolder + "/" + name;
        EXPECT_TRUE(writeFile(path, content));
        return path;
    }
    void resolve(const std::string& path) {
        size_t before = presenter.shown();
        manager->resolveError(path);
        ASSERT_TRUE(waitUntil([&] { return presenter.shown() > before; }, 5s));
    }

    TempDir dir;
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    std::shared_ptr<VolumeDetail> team;
    std::unique_ptr<TimeLineManager> timeline;
    std::unique_ptr<Manager> manager;
    FakePresenter presenter;
};

TEST_F(Decisions, EachGenreAndStatusGetsItsWindowOrAlert) {
    std::string none = file("none.txt");
    resolve(none);
    ASSERT_EQ(presenter.alerts.size(), 1u);
    EXPECT_EQ(presenter.alerts[0].message, "Resolve Error");
    EXPECT_EQ(presenter.alerts[0].informative,
              "Cannot start the Resolve None Manager at this time for the file " + none);

    std::string ro = file("ro.txt");
    markError(ro, S::ErrorRegular, E::ReadOnlyMappoint, G::Transfer);
    resolve(ro);
    EXPECT_EQ(presenter.alerts.back().message, "Resolve Read Only Server Error");
    EXPECT_EQ(presenter.alerts.back().informative, "Please move the file " + ro + " to a different volume");

    std::string inUse = file("inuse.txt");
    markError(inUse, S::ErrorRegular, E::FileInUse, G::Transfer);
    resolve(inUse);
    EXPECT_EQ(presenter.alerts.back().informative,
              "Cannot start the Resolve Transfer Manager [FileInUse] at this time for the file " + inUse);

    std::string conflict = file("c.txt");
    markError(conflict, S::ErrorRegular, E::Conflict, G::Transfer);
    resolve(conflict);
    EXPECT_EQ(presenter.conflicts, std::vector<std::string>{conflict});

    std::string refused = file("d.txt");
    markError(refused, S::ErrorPlaceHolder, E::PermissionDenied, G::Delete);
    resolve(refused);
    EXPECT_EQ(presenter.deletes, std::vector<std::string>{refused});
    // Alert-only cases change nothing.
    EXPECT_EQ(CorvaneExtendedAttributes(ro).ceaErrorStatus.status, E::ReadOnlyMappoint);
    EXPECT_EQ(timeline->eventCount(), 0u);
}

TEST_F(Decisions, QuotaRetryQueuesExactlyOneUploadAndOkChangesNothing) {
    std::string path = file("big.bin");
    markError(path, S::ErrorRegular, E::QuotaExceeded, G::Transfer);
    presenter.answer = 0;  // "OK"
    resolve(path);
    ASSERT_EQ(presenter.alerts.size(), 1u);
    EXPECT_EQ(presenter.alerts[0].message, "Quota exceeded");
    EXPECT_EQ(presenter.alerts[0].informative, "The file " + path +
                                                   " was rejected by the server due to a lack of space. "
                                                   "Please free some space on the server and retry.");
    EXPECT_EQ(presenter.alerts[0].buttons, (std::vector<std::string>{"OK", "Retry"}));
    EXPECT_EQ(CorvaneExtendedAttributes(path).ceaErrorStatus.status, E::QuotaExceeded);
    EXPECT_EQ(timeline->eventCount(), 0u);

    presenter.answer = 1;  // "Retry"
    resolve(path);
    CorvaneExtendedAttributes after(path);
    EXPECT_EQ(after.ceaStatus.status, S::RequireUpload);
    EXPECT_EQ(after.ceaErrorStatus.status, E::NoError);
    EXPECT_EQ(after.ceaErrorStatus.genre, G::None);
    ASSERT_EQ(timeline->eventCount(), 1u);
    EXPECT_NE(timeline->events()[0]->description().find(path), std::string::npos);
}

TEST_F(Decisions, ConflictNamesTakeTheFirstFreeNumber) {
    std::string report = file("Report.pdf");
    EXPECT_EQ(Manager::createConflictFilename(report), "Report (2).pdf");
    file("Report (2).pdf");
    file("Report (3).pdf");
    EXPECT_EQ(Manager::createConflictFilename(report), "Report (4).pdf");
    EXPECT_EQ(Manager::createConflictFilename(file("Notes")), "Notes (2)");
    EXPECT_EQ(Manager::createConflictFilename(file(".profile")), ".profile (2)");
    EXPECT_EQ(Manager::createConflictFilename(file("archive.tar.gz")), "archive.tar (2).gz");
}

TEST_F(Decisions, HelpTextsNameTheItemAndTheProblem) {
    std::string path = "/v/Team/Plans";
    CorvaneExtendedAttributes r(path, std::string());
    EXPECT_EQ(Manager::deleteHelpText(path, nullptr), "Problem deleting item at /v/Team/Plans");
    struct Row {
        E status;
        std::string text;
    } rows[] = {
        {E::Conflict,
         "The locally deleted file \"Plans\" had been modified on the server. Please review the content "
         "before retrying the delete."},
        {E::PermissionDenied, "The server has denied the deletion of \"Plans\"."},
        {E::FileInUse, "The server could not remove \"Plans\" because it is in use. Please try again later."},
        {E::FolderNotEmpty,
         "The locally deleted folder \"Plans\" contained new content on the server. Please review the "
         "content before retrying the delete."},
        {E::QuotaExceeded, "The server reported a problem whilst trying to remove /v/Team/Plans"},
    };
    for (const auto& row : rows) {
        r.ceaErrorStatus.setStatus(row.status);
        EXPECT_EQ(Manager::deleteHelpText(path, &r), row.text);
    }
    EXPECT_EQ(Manager::conflictHelpText(path, nullptr), "Problem uploading item at /v/Team/Plans");
    r.ceaErrorStatus.setStatus(E::Conflict);
    EXPECT_EQ(Manager::conflictHelpText(path, &r),
              "The server reported a problem (Conflict) whilst trying to upload /v/Team/Plans");
}

TEST_F(Decisions, ConflictWindowButtonFollowsTheOptionAndTheName) {
    std::string path = file("Report.pdf");
    markError(path, S::ErrorRegular, E::Conflict, G::Transfer);
    ui::ResolveConflict window(*manager, path, CorvaneExtendedAttributes(path));
    EXPECT_EQ(window.conflictRename->text(), "Report (2).pdf");
    EXPECT_TRUE(window.optionRename->isChecked());
    EXPECT_EQ(window.performAction->text(), "Rename");
    window.conflictRename->clear();
    EXPECT_FALSE(window.performAction->isEnabled());
    window.optionDiscardLocal->click();
    EXPECT_TRUE(window.performAction->isEnabled());
    EXPECT_EQ(window.performAction->text(), "Discard");
    EXPECT_FALSE(window.conflictRename->isEnabled());
    EXPECT_FALSE(window.renameDirection->isEnabled());
    window.optionOverwriteServer->click();
    EXPECT_EQ(window.performAction->text(), "Overwrite");
    window.optionRename->click();
    EXPECT_FALSE(window.performAction->isEnabled());
    EXPECT_TRUE(window.renameDirection->isEnabled());

    ui::ResolveDelete del(*manager, path, std::nullopt);
    EXPECT_EQ(del.helpText->text().toStdString(), "Problem deleting item at " + path);
    EXPECT_EQ(del.performAction->text(), "Ignore");
    del.optionRetryDelete->click();
    EXPECT_EQ(del.performAction->text(), "Retry");
}

TEST_F(Decisions, RenamingOntoAnExistingNameIsRefusedAndTheWindowStays) {
    std::string path = file("Report.pdf");
    file("Taken.pdf");
    markError(path, S::ErrorRegular, E::Conflict, G::Transfer);
    ui::ResolveConflict window(*manager, path, CorvaneExtendedAttributes(path));
    window.show();
    window.conflictRename->setText("Taken.pdf");
    SeenAlert alert;
    answerNextAlert(&alert);
    window.performAction->click();
    ASSERT_TRUE(alert.seen);
    EXPECT_EQ(alert.text, "Rename file");
    EXPECT_EQ(alert.informative,
              "The filename Taken.pdf already exists, please select a different filename.");
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(CorvaneExtendedAttributes(path).ceaErrorStatus.status, E::Conflict);
    EXPECT_EQ(timeline->eventCount(), 0u);
}

TEST_F(Decisions, AResolutionForARecordThatChangedMeanwhileDoesNothing) {
    std::string path = file("Report.pdf", "my words");
    markError(path, S::ErrorRegular, E::Conflict, G::Transfer);
    ui::ResolveConflict window(*manager, path, CorvaneExtendedAttributes(path));
    window.show();
    // The sync uploads the file after all while the window is open.
    CorvaneExtendedAttributes now(path);
    now.ceaStatus.setStatus(S::Regular);
    now.ceaErrorStatus.setStatus(E::NoError);
    now.ceaErrorStatus.setGenre(G::None);
    now.ceaString.setAttribute(CEAString::keys::Revision, "9");
    ASSERT_TRUE(now.save());
    window.optionDiscardLocal->click();
    SeenAlert alert;
    answerNextAlert(&alert);
    window.performAction->click();
    ASSERT_TRUE(alert.seen);
    EXPECT_NE(alert.informative.find("changed while this window was open"), std::string::npos);
    EXPECT_EQ(readFile(path), "my words");
    EXPECT_EQ(CorvaneExtendedAttributes(path).ceaStatus.status, S::Regular);
    EXPECT_EQ(timeline->downloadQueue().operationCount(), 0u);
    // The same for a delete window and the quota retry.
    EXPECT_EQ(manager->ignoreError(path, CorvaneExtendedAttributes(team->localFolder + "/other")),
              Manager::outcome::itemChanged);
    EXPECT_EQ(CorvaneExtendedAttributes(path).ceaStatus.status, S::Regular);
}

TEST_F(Decisions, ResolveErrorFromTheFileManagerReachesTheManager) {
    OwnRunState run{*timeline, account};
    ContextMenuHandler handler(*timeline, run.state);
    std::string path = file("quota.bin");
    markError(path, S::ErrorRegular, E::QuotaExceeded, G::Transfer);
    handler.setResolveErrorHandler([this](const std::string& p) { manager->resolveError(p); });
    if (!handler.start()) GTEST_SKIP() << "no session bus";
    // Observers connect asynchronously; post until the request arrives.
    ASSERT_TRUE(waitUntil(
        [&] {
            if (presenter.alerts.empty())
                platform::postNotification(overmark::kResolveErrorNotification, path);
            return !presenter.alerts.empty();
        },
        10s));
    EXPECT_EQ(presenter.alerts[0].message, "Quota exceeded");
}

// ---- the same choices without a window

using A = Manager::action;

TEST_F(Decisions, TheCommandLineOffersWhatTheWindowOrAlertOffersAndSaysWhatItSays) {
    std::string conflict = file("c d.txt");
    markError(conflict, S::ErrorRegular, E::Conflict, G::Transfer);
    CorvaneExtendedAttributes c(conflict);
    EXPECT_EQ(Manager::actionsFor(c), (std::vector<A>{A::keepMine, A::keepServer, A::keepBoth}));
    EXPECT_EQ(Manager::problemText(conflict, c), Manager::conflictHelpText(conflict, &c));

    std::string refused = file("refused");
    markError(refused, S::ErrorPlaceHolder, E::FolderNotEmpty, G::Delete);
    CorvaneExtendedAttributes d(refused);
    EXPECT_EQ(Manager::actionsFor(d), (std::vector<A>{A::keepServerCopy, A::retryDelete}));
    EXPECT_EQ(Manager::problemText(refused, d), Manager::deleteHelpText(refused, &d));

    // Alerts: what they say is what the command line says; the quota alert's "Retry" is its one choice.
    std::string quota = file("quota.bin");
    markError(quota, S::ErrorRegular, E::QuotaExceeded, G::Transfer);
    CorvaneExtendedAttributes q(quota);
    EXPECT_EQ(Manager::actionsFor(q), std::vector<A>{A::retryQuota});
    EXPECT_EQ(Manager::problemText(quota, q), Manager::alertFor(quota, q)->informative);
    std::string ro = file("ro.txt");
    markError(ro, S::ErrorRegular, E::ReadOnlyMappoint, G::Transfer);
    CorvaneExtendedAttributes r(ro);
    EXPECT_TRUE(Manager::actionsFor(r).empty());
    EXPECT_EQ(Manager::problemText(ro, r), "Please move the file " + ro + " to a different volume");

    // The command line's words, both ways.
    for (A a : Manager::allActions) EXPECT_EQ(Manager::actionNamed(Manager::actionName(a)), a);
    EXPECT_FALSE(Manager::actionNamed("keep-theirs").has_value());
}

TEST_F(Decisions, AChoiceTheItemDoesNotOfferIsRefusedAndChangesNothing) {
    std::string conflict = file("Report.pdf", "my words");
    markError(conflict, S::ErrorRegular, E::Conflict, G::Transfer);
    auto r = manager->resolveNow(conflict, {A::retryDelete});
    EXPECT_EQ(r.result, Manager::outcome::notOffered);
    EXPECT_EQ(r.text, "retry-delete is not a choice for " + conflict +
                          "; its choices are keep-mine, keep-server, keep-both.");
    EXPECT_EQ(CorvaneExtendedAttributes(conflict).ceaErrorStatus.status, E::Conflict);
    EXPECT_EQ(readFile(conflict), "my words");

    std::string ro = file("ro.txt");
    markError(ro, S::ErrorRegular, E::ReadOnlyMappoint, G::Transfer);
    EXPECT_EQ(
        manager->resolveNow(ro, {A::retryQuota}).text,
        "There is no choice to make for " + ro + ". Please move the file " + ro + " to a different volume");
    std::string fine = file("fine.txt");
    EXPECT_EQ(manager->resolveNow(fine, {A::keepMine}).text,
              fine + " is not in error: there is nothing to resolve.");
    EXPECT_EQ(manager->resolveNow(team->localFolder + "/gone", {A::keepMine}).result,
              Manager::outcome::notOffered);
    EXPECT_EQ(timeline->eventCount(), 0u);

    // The command's own checks, before anything is resolved.
    auto reply = resolveCommand(*manager, {"resolve", conflict, "keep-theirs"});
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(
        reply.text,
        "\"keep-theirs\" is not an action; the actions are keep-mine, keep-server, keep-both, retry-delete, "
        "keep-server-copy, retry-quota");
    EXPECT_FALSE(resolveCommand(*manager, {"resolve", conflict}).ok);
    EXPECT_FALSE(resolveCommand(*manager, {"resolve", "Report.pdf", "keep-mine"}).ok);
    EXPECT_FALSE(resolveCommand(*manager, {"resolve", conflict, "keep-mine", "--name", "x"}).ok)
        << "a new name goes only with keep-both";
    EXPECT_FALSE(resolveCommand(*manager, {"resolve", conflict, "keep-both", "--rename", "theirs"}).ok);
    reply = resolveCommand(*manager, {"resolve", conflict, "keep-server-copy"});
    EXPECT_FALSE(reply.ok);
    EXPECT_NE(reply.text.find("its choices are keep-mine"), std::string::npos);
    EXPECT_EQ(CorvaneExtendedAttributes(conflict).ceaErrorStatus.status, E::Conflict);
}

TEST_F(Decisions, ErrorsListEachItemWithWhatTheServerSaidAndTheCommandThatResolvesIt) {
    std::string conflict = file("c d.txt");
    markError(conflict, S::ErrorRegular, E::Conflict, G::Transfer);
    std::string ro = file("ro.txt");
    markError(ro, S::ErrorRegular, E::ReadOnlyMappoint, G::Transfer);
    std::string held = team->localFolder + "/Big";

    auto doc = nlohmann::json::parse(errorsText({conflict, ro}, {held}, true));
    ASSERT_EQ(doc["items"].size(), 2u);
    const auto& c = doc["items"][0];
    EXPECT_EQ(c["path"], conflict);
    EXPECT_EQ(c["state"], "ErrorRegular");
    EXPECT_EQ(c["errorStatus"], "Conflict");
    EXPECT_EQ(c["genre"], "Transfer");
    EXPECT_EQ(c["serverSaid"],
              "The server reported a problem (Conflict) whilst trying to upload " + conflict);
    ASSERT_EQ(c["actions"].size(), 3u);
    EXPECT_EQ(c["actions"][0]["action"], "keep-mine");
    EXPECT_EQ(c["actions"][0]["label"], "Keep my version and replace the server's");
    EXPECT_EQ(c["resolve"], "tidewell resolve '" + conflict + "' ACTION");
    EXPECT_TRUE(doc["items"][1]["actions"].empty());
    EXPECT_FALSE(doc["items"][1].contains("resolve"));
    EXPECT_EQ(doc["heldRemovals"][0]["folder"], held);
    EXPECT_EQ(doc["heldRemovals"][0]["confirm"], "tidewell confirm-deletes " + held);

    std::string text = errorsText({conflict, ro}, {held}, false);
    EXPECT_EQ(text.rfind("3 items need you.\n", 0), 0u) << text;
    EXPECT_NE(text.find("  tidewell resolve '" + conflict + "' ACTION, where ACTION is\n"), std::string::npos)
        << text;
    EXPECT_NE(
        text.find("    keep-both         Keep both, giving one of them a new name (--name NAME, --rename "
                  "mine|server)\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("  Please move the file " + ro + " to a different volume\n  Nothing to choose here.\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("to remove them here too: tidewell confirm-deletes " + held), std::string::npos)
        << text;
    EXPECT_EQ(errorsText({}, {}, false), "Nothing needs you.\n");

    EXPECT_EQ(shellQuoted("/v/Team/plain-name_1.txt"), "/v/Team/plain-name_1.txt");
    EXPECT_EQ(shellQuoted("/v/Team/it's $HOME"), "'/v/Team/it'\\''s $HOME'");
}

TEST_F(Decisions, WithoutWindowsResolveErrorSaysWhichCommandResolvesTheItem) {
    std::string conflict = file("c d.txt");
    markError(conflict, S::ErrorRegular, E::Conflict, G::Transfer);
    auto n = resolveErrorNotification(conflict);
    EXPECT_EQ(n.summary, "“c d.txt” needs you");
    EXPECT_EQ(n.body, "The server reported a problem (Conflict) whilst trying to upload " + conflict +
                          "\n\nTo resolve it, run:\ntidewell resolve '" + conflict +
                          "' keep-mine|keep-server|keep-both\n(`tidewell errors` explains each choice.)");
    std::string ro = file("ro.txt");
    markError(ro, S::ErrorRegular, E::ReadOnlyMappoint, G::Transfer);
    EXPECT_EQ(resolveErrorNotification(ro).body, "Please move the file " + ro +
                                                     " to a different volume\n\n`tidewell errors` lists "
                                                     "everything that needs you.");
    EXPECT_EQ(resolveErrorNotification(file("fine.txt")).summary, "“fine.txt” has nothing to resolve");
}

// ---- resolutions against the reference server

class Resolutions : public ::testing::Test {
protected:
    void SetUp() override {
        qtApp();
        volumes.answer(env);
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, "pw"));
        platform::http::Session::shared().cookies().removeAll();
        auto& vm = volumes.list;
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        vm.addVolume(team);
        fs::create_directories(team->localFolder);
        ASSERT_TRUE(ServerCommunicator::ready(env));
        timeline = std::make_unique<TimeLineManager>((dir / "support").string() + "/", volumes.parts(env));
        manager = std::make_unique<Manager>(*timeline);
    }
    void TearDown() override {
        timeline.reset();
        RestoreDeletedManager::sharedInstance().waitUntilIdle(10s);
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
        // The volume's folder is the process's: a copy kept by one test would take the name the next
        // test's copy is given.
        if (team) fs::remove_all(team->localFolder);
    }
    std::string local(const std::string& rel) const { return team->localFolder + "/" + rel; }
    fs::path serverFile(const std::string& rel) const { return dir / "root" / "data" / "Team" / rel; }
    void runTimeline() {
        timeline->resumeTimeLine();
        ASSERT_TRUE(timeline->waitUntilIdle(60s));
        ASSERT_TRUE(timeline->downloadQueue().waitUntilAllOperationsAreFinished(60s));
        ASSERT_TRUE(RestoreDeletedManager::sharedInstance().waitUntilIdle(10s));
    }
    std::string uploaded(const std::string& rel, const std::string& content = "server words") {
        std::string path = local(rel);
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_TRUE(writeFile(path, content));
        UploadDetails up(env, path);
        EXPECT_EQ(up.uploadFile(), normalisedResponse::allOkay);
        CorvaneExtendedAttributes record(path);
        if (up.fileObject) record.ceaString.setAttribute(CEAString::keys::Revision, up.fileObject->revision);
        record.ceaString.setAttribute(CEAString::keys::FileType, platform::kFileTypeRegular);
        record.ceaStatus.setStatus(S::Regular);
        EXPECT_TRUE(record.save());
        return CorvaneExtendedAttributes(path).ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    }
    // A file changed here and on the server: its upload is refused as a conflict.
    void conflicted(const std::string& rel) {
        uploaded(rel);
        devserver.admin("item", {{"path", "/Team/" + rel}, {"revision", "77"}});
        ASSERT_TRUE(writeFile(local(rel), "my words"));
        timeline->addCloseEvent(local(rel));
        runTimeline();
        timeline->pauseTimeLine();
        CorvaneExtendedAttributes r(local(rel));
        ASSERT_EQ(r.ceaErrorStatus.status, E::Conflict);
        ASSERT_EQ(r.ceaErrorStatus.genre, G::Transfer);
        ASSERT_EQ(r.ceaString.getAttribute(CEAString::keys::ConflictRevision), "77");
    }

    TempDir dir;

    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ClientDevServer devserver;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team;
    std::unique_ptr<TimeLineManager> timeline;
    std::unique_ptr<Manager> manager;
};

TEST_F(Resolutions, TheLocalCopyTakesTheNewNameAndTheServerVersionComesBackUnderTheOld) {
    conflicted("Report.pdf");
    ui::ResolveConflict window(*manager, local("Report.pdf"), CorvaneExtendedAttributes(local("Report.pdf")));
    window.show();
    ASSERT_EQ(window.conflictRename->text(), "Report (2).pdf");
    window.renameDirection->setCurrentIndex(0);
    window.performAction->click();
    EXPECT_FALSE(window.isVisible());
    ASSERT_TRUE(waitUntil([&] { return timeline->eventCount() == 2; }, 10s));
    ASSERT_TRUE(fs::exists(local("Report (2).pdf")));
    {
        CorvaneExtendedAttributes moved(local("Report (2).pdf"));
        EXPECT_EQ(moved.ceaStatus.status, S::RequireUpload);
        EXPECT_EQ(moved.ceaString.getAttribute(CEAString::keys::Revision), "0");
        EXPECT_FALSE(moved.ceaString.getAttribute(CEAString::keys::ConflictRevision).has_value());
        EXPECT_EQ(moved.ceaErrorStatus.genre, G::None);
    }
    runTimeline();
    EXPECT_EQ(readFile(serverFile("Report (2).pdf")), "my words");
    EXPECT_EQ(readFile(serverFile("Report.pdf")), "server words");
    ASSERT_TRUE(fs::exists(local("Report.pdf"))) << "the server's version is back under the old name";
    CorvaneExtendedAttributes back(local("Report.pdf"));
    EXPECT_EQ(back.ceaString.getAttribute(CEAString::keys::Revision), "77");
    EXPECT_EQ(back.ceaErrorStatus.status, E::NoError);
    EXPECT_EQ(CorvaneExtendedAttributes(local("Report (2).pdf")).ceaStatus.status, S::Regular);
}

TEST_F(Resolutions, TheServerCopyTakesTheNewNameAndMineReplacesTheOld) {
    conflicted("Plan.txt");
    ui::ResolveConflict window(*manager, local("Plan.txt"), CorvaneExtendedAttributes(local("Plan.txt")));
    window.renameDirection->setCurrentIndex(1);
    window.performAction->click();
    ASSERT_TRUE(waitUntil([&] { return timeline->eventCount() == 2; }, 20s));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("Plan (2).txt")), "server words");
    EXPECT_EQ(readFile(serverFile("Plan.txt")), "my words");
    EXPECT_EQ(readFile(local("Plan.txt")), "my words");
    EXPECT_TRUE(fs::exists(local("Plan (2).txt")));
}

TEST_F(Resolutions, OverwritingTheServerUploadsOverItsNewerRevision) {
    conflicted("Notes");
    ui::ResolveConflict window(*manager, local("Notes"), CorvaneExtendedAttributes(local("Notes")));
    window.optionOverwriteServer->click();
    window.performAction->click();
    CorvaneExtendedAttributes r(local("Notes"));
    EXPECT_EQ(r.ceaStatus.status, S::RequireUpload);
    EXPECT_EQ(r.ceaString.getAttribute(CEAString::keys::Revision), "77");
    EXPECT_FALSE(r.ceaString.getAttribute(CEAString::keys::ConflictRevision).has_value());
    EXPECT_EQ(timeline->eventCount(), 1u);
    runTimeline();
    EXPECT_EQ(readFile(serverFile("Notes")), "my words");
    CorvaneExtendedAttributes after(local("Notes"));
    EXPECT_EQ(after.ceaStatus.status, S::Regular);
    EXPECT_EQ(after.ceaErrorStatus.status, E::NoError);
}

TEST_F(Resolutions, DiscardingMyChangesBringsTheServerVersionDown) {
    conflicted("Draft.txt");
    ui::ResolveConflict window(*manager, local("Draft.txt"), CorvaneExtendedAttributes(local("Draft.txt")));
    window.optionDiscardLocal->click();
    window.performAction->click();
    EXPECT_EQ(CorvaneExtendedAttributes(local("Draft.txt")).ceaStatus.status, S::RequireDownload);
    runTimeline();
    EXPECT_EQ(readFile(local("Draft.txt")), "server words");
    CorvaneExtendedAttributes after(local("Draft.txt"));
    EXPECT_EQ(after.ceaErrorStatus.status, E::NoError);
    EXPECT_EQ(after.ceaErrorStatus.genre, G::None);
}

// A folder the server refused to delete, with one child the listing brought back as a placeholder.
class RefusedFolder : public Resolutions {
protected:
    void SetUp() override {
        Resolutions::SetUp();
        if (HasFatalFailure()) return;
        std::string revision = uploaded("full/inner.txt");
        CorvaneExtendedAttributes before(local("full"));
        fs::remove_all(local("full"));
        timeline->addDeleteEvent(local("full"), before);
        runTimeline();
        ASSERT_EQ(CorvaneExtendedAttributes(local("full")).ceaErrorStatus.status, E::FolderNotEmpty);
        ASSERT_TRUE(writeFile(local("full/inner.txt"), ""));
        CorvaneExtendedAttributes child(local("full/inner.txt"));
        child.ceaStatus.setStatus(S::Placeholder);
        child.ceaString.setAttribute(CEAString::keys::Revision, revision);
        child.ceaString.setAttribute(CEAString::keys::FileType, platform::kFileTypeRegular);
        ASSERT_TRUE(child.save());
    }
};

TEST_F(RefusedFolder, RetryDeletesTheChildrenFirstThenTheFolderOnTheServerAndLocally) {
    ui::ResolveDelete window(*manager, local("full"), CorvaneExtendedAttributes(local("full")));
    EXPECT_EQ(
        window.helpText->text().toStdString(),
        "The locally deleted folder \"full\" contained new content on the server. Please review the content "
        "before retrying the delete.");
    window.optionRetryDelete->click();
    window.performAction->click();
    ASSERT_TRUE(waitUntil([&] { return !fs::exists(local("full")) && !fs::exists(serverFile("full")); }, 30s))
        << devserver.log();
}

TEST_F(RefusedFolder, RetryKeepsAFileWithChangesTheServerNeverSawAndTheFolderHoldingIt) {
    ASSERT_TRUE(writeFile(local("full/new idea.txt"), "not uploaded yet"));
    CorvaneExtendedAttributes fresh(local("full/new idea.txt"));
    fresh.ceaStatus.setStatus(S::RequireUpload);
    ASSERT_TRUE(fresh.save());
    EXPECT_FALSE(manager->recurseRetryDelete(local("full")));
    EXPECT_EQ(readFile(local("full/new idea.txt")), "not uploaded yet");
    EXPECT_FALSE(fs::exists(local("full/inner.txt")));
    EXPECT_FALSE(fs::exists(serverFile("full/inner.txt")));
    EXPECT_TRUE(fs::exists(serverFile("full")));
}

TEST_F(RefusedFolder, IgnoringKeepsTheServerCopyAsAPlaceholder) {
    ui::ResolveDelete window(*manager, local("full"), CorvaneExtendedAttributes(local("full")));
    window.performAction->click();
    CorvaneExtendedAttributes r(local("full"));
    EXPECT_EQ(r.ceaStatus.status, S::Placeholder);
    EXPECT_EQ(r.ceaErrorStatus.status, E::NoError);
    EXPECT_EQ(r.ceaErrorStatus.genre, G::None);
    EXPECT_TRUE(fs::exists(serverFile("full/inner.txt")));
}

// ---- the command line's resolutions against the reference server

TEST_F(Resolutions, KeepMineAndKeepServerFromTheCommandLineEndAsTheWindowsDo) {
    conflicted("Mine.txt");
    conflicted("Theirs.txt");
    auto mine = manager->resolveNow(local("Mine.txt"), {A::keepMine});
    EXPECT_EQ(mine.result, Manager::outcome::done);
    EXPECT_EQ(mine.text,
              "Your version of " + local("Mine.txt") + " replaces the server's; it is being uploaded.");
    auto theirs = manager->resolveNow(local("Theirs.txt"), {A::keepServer});
    EXPECT_EQ(theirs.result, Manager::outcome::done);
    runTimeline();
    EXPECT_EQ(readFile(serverFile("Mine.txt")), "my words");
    EXPECT_EQ(readFile(local("Mine.txt")), "my words");
    EXPECT_EQ(readFile(local("Theirs.txt")), "server words");
    EXPECT_EQ(readFile(serverFile("Theirs.txt")), "server words");
    for (auto name : {"Mine.txt", "Theirs.txt"}) {
        CorvaneExtendedAttributes r(local(name));
        EXPECT_EQ(r.ceaStatus.status, S::Regular) << name;
        EXPECT_EQ(r.ceaErrorStatus.genre, G::None) << name;
    }
}

TEST_F(Resolutions, KeepBothFromTheCommandLineNamesEitherCopyAndRefusesATakenName) {
    conflicted("Minutes.pdf");
    conflicted("Budget.txt");
    ASSERT_TRUE(writeFile(local("Agenda.pdf"), "someone else's"));
    auto taken = manager->resolveNow(local("Minutes.pdf"), {A::keepBoth, "Agenda.pdf"});
    EXPECT_EQ(taken.result, Manager::outcome::nameTaken);
    EXPECT_EQ(taken.text, "The filename Agenda.pdf already exists, please select a different filename.");
    EXPECT_EQ(CorvaneExtendedAttributes(local("Minutes.pdf")).ceaErrorStatus.status, E::Conflict);
    EXPECT_EQ(readFile(local("Agenda.pdf")), "someone else's");

    // Without a name, the window's proposal; my version takes it.
    auto both = manager->resolveNow(local("Minutes.pdf"), {A::keepBoth});
    EXPECT_EQ(both.result, Manager::outcome::done) << both.text;
    // The server's copy takes the name given.
    auto swap = manager->resolveNow(local("Budget.txt"), {A::keepBoth, "Budget (theirs).txt", false});
    EXPECT_EQ(swap.result, Manager::outcome::done) << swap.text;
    runTimeline();
    EXPECT_EQ(readFile(serverFile("Minutes (2).pdf")), "my words");
    EXPECT_EQ(readFile(serverFile("Minutes.pdf")), "server words");
    EXPECT_TRUE(fs::exists(local("Minutes.pdf")));
    EXPECT_EQ(readFile(serverFile("Budget (theirs).txt")), "server words");
    EXPECT_EQ(readFile(serverFile("Budget.txt")), "my words");
    EXPECT_EQ(readFile(local("Budget.txt")), "my words");
}

// The version that conflicted has a size of its own, which the record never knew: the copy kept under
// the old name must come down whole, not be refused for announcing another size than the one last
// synchronised.
TEST_F(Resolutions, KeepBothBringsDownTheServersVersionWhateverItsSize) {
    const std::string theirs = "the colleague's much longer words";
    // The server holds their version; the record still knows only the five bytes last synchronised.
    uploaded("Plan.txt", theirs);
    {
        CorvaneExtendedAttributes r(local("Plan.txt"));
        r.ceaLong.setAttribute(CEALong::keys::ServerFileSize, 5);
        ASSERT_TRUE(r.save());
    }
    devserver.admin("item", {{"path", "/Team/Plan.txt"}, {"revision", "77"}});
    ASSERT_TRUE(writeFile(local("Plan.txt"), "my words"));
    timeline->addCloseEvent(local("Plan.txt"));
    runTimeline();
    timeline->pauseTimeLine();
    ASSERT_EQ(CorvaneExtendedAttributes(local("Plan.txt")).ceaErrorStatus.status, E::Conflict);

    auto both = manager->resolveNow(local("Plan.txt"), {A::keepBoth});
    ASSERT_EQ(both.result, Manager::outcome::done) << both.text;
    runTimeline();
    EXPECT_EQ(readFile(serverFile("Plan (2).txt")), "my words");
    CorvaneExtendedAttributes placeholder(local("Plan.txt"));
    EXPECT_EQ(placeholder.ceaLong.getAttribute(CEALong::keys::ServerFileSize), theirs.size());
    placeholder.ceaStatus.setStatus(S::RequireDownload);
    ASSERT_TRUE(placeholder.save());
    ServerFileObject entry = entryFromRecord("Plan.txt", CorvaneExtendedAttributes(local("Plan.txt")));
    EXPECT_TRUE(TLDownloadFile::performAction(timeline->context().statusBar, env, team->localFolder, entry));
    EXPECT_EQ(readFile(local("Plan.txt")), theirs);
}

TEST_F(Resolutions, RetryQuotaFromTheCommandLineSendsTheFileOnceThereIsSpace) {
    devserver.admin("quota", {{"bytes", 1}});
    std::string big = local("big.bin");
    ASSERT_TRUE(writeFile(big, "more than one byte"));
    timeline->addCloseEvent(big);
    runTimeline();
    ASSERT_EQ(CorvaneExtendedAttributes(big).ceaErrorStatus.status, E::QuotaExceeded);
    EXPECT_EQ(manager->resolveNow(big, {A::keepMine}).text,
              "keep-mine is not a choice for " + big + "; its choices are retry-quota.");
    devserver.admin("quota", {{"bytes", 0}});
    // Through the command as the running instance serves it.
    auto reply = resolveCommand(*manager, {"resolve", big, "retry-quota"});
    EXPECT_TRUE(reply.ok) << reply.text;
    EXPECT_EQ(reply.text, big + " is being uploaded again.");
    runTimeline();
    EXPECT_EQ(readFile(serverFile("big.bin")), "more than one byte");
    EXPECT_EQ(CorvaneExtendedAttributes(big).ceaStatus.status, S::Regular);
}

TEST_F(RefusedFolder, RetryDeleteFromTheCommandLineRemovesItHereAndOnTheServer) {
    auto reply = resolveCommand(*manager, {"resolve", local("full"), "retry-delete"});
    EXPECT_TRUE(reply.ok) << reply.text;
    EXPECT_EQ(reply.text, local("full") + " was deleted here and on the server.");
    EXPECT_FALSE(fs::exists(local("full")));
    EXPECT_FALSE(fs::exists(serverFile("full")));
}

TEST_F(RefusedFolder, RetryDeleteNeverRemovesContentTheServerDoesNotHave) {
    // A draft the server refused (its upload is in conflict), and a synchronised file edited since it
    // last agreed with the server: both are the user's own words.
    ASSERT_TRUE(writeFile(local("full/draft.txt"), "refused by the server"));
    {
        CorvaneExtendedAttributes r(local("full/draft.txt"));
        r.ceaStatus.setStatus(S::ErrorRegular);
        r.ceaErrorStatus.setStatus(E::Conflict);
        r.ceaErrorStatus.setGenre(G::Transfer);
        ASSERT_TRUE(r.save());
    }
    std::string revision = uploaded("full/edited.txt", "as agreed");
    {
        CorvaneExtendedAttributes r(local("full/edited.txt"));
        CEAUtils::recordSyncedContent(r, *platform::attributesOfItem(local("full/edited.txt")));
        ASSERT_TRUE(r.save());
    }
    ASSERT_TRUE(writeFile(local("full/edited.txt"), "edited here since, not sent yet"));

    auto r = manager->resolveNow(local("full"), {A::retryDelete});
    EXPECT_EQ(r.result, Manager::outcome::partlyDone);
    EXPECT_EQ(r.text, "Kept what holds changes the server does not have: " + local("full/draft.txt") + ", " +
                          local("full/edited.txt") + ". The rest of " + local("full") +
                          " was deleted here and on the server.");
    EXPECT_EQ(readFile(local("full/draft.txt")), "refused by the server");
    EXPECT_EQ(readFile(local("full/edited.txt")), "edited here since, not sent yet");
    EXPECT_FALSE(fs::exists(local("full/inner.txt")));
    EXPECT_FALSE(fs::exists(serverFile("full/inner.txt")));
    EXPECT_TRUE(fs::exists(serverFile("full/edited.txt")));

    // What is left can be kept as the server's copy.
    auto keep = manager->resolveNow(local("full"), {A::keepServerCopy});
    EXPECT_EQ(keep.result, Manager::outcome::done);
    EXPECT_EQ(CorvaneExtendedAttributes(local("full")).ceaStatus.status, S::Placeholder);
    EXPECT_EQ(CorvaneExtendedAttributes(local("full")).ceaErrorStatus.genre, G::None);
}

}  // namespace
}  // namespace tw::test
