// A timeline of the test's own on the mappoint "Team" of a reference server on loopback: the server
// (with its fault queue) in a temporary folder, the account in a file keychain, a volume list of the
// test's own holding "Team" with a UUID (so the metadata database keeps the rows of items that are
// gone), and the timeline with the folder listing as its listing pass. What the events of real files do
// to the server's copy is what the tests that use it look at.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "support/client_devserver.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {

class TeamTimeline : public ::testing::Test {
protected:
    void SetUp() override {
        using namespace std::chrono_literals;
        volumes.answer(env);
        env.allowServerCommunication = [this] { return contactAllowed.load(); };
        SyncFolder::resetGuard();
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, "team-timeline-pw"))
            << "tidewell-devserver did not start";
        platform::http::Session::shared().cookies().removeAll();
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        volumes.list.addVolume(team);
        std::filesystem::create_directories(team->localFolder);
        if (!giveTheVolumeAUUID("5A1F0C3E-0000-4000-8000-00000000A1E5"))
            GTEST_SKIP() << "user extended attributes not supported here";
        ASSERT_TRUE(ServerCommunicator::ready(env));
        answerIdentities();
        timeline = makeTimeline();
    }
    void TearDown() override {
        using namespace std::chrono_literals;
        timeline.reset();
        platform::setVolPathResolver(nullptr);
        RestoreDeletedManager::sharedInstance().waitUntilIdle(10s);
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
    }

    // A timeline on the support folder, as the program makes one at each start (replaying what the
    // last one left in Timeline.txt).
    std::unique_ptr<TimeLineManager> makeTimeline() {
        auto made = std::make_unique<TimeLineManager>(supportFolder(), volumes.parts(env));
        made->setListingPasses({nullptr, [](EventContext& context, const std::string& p, bool user) {
                                    SyncFolder::performSync(context, p, user);
                                }});
        return made;
    }
    std::string supportFolder() const { return (dir / "support").string() + "/"; }

    // What gatewarden answers: the current path of an identity on the volume, so that an upload
    // follows its file through a rename.
    void answerIdentities() {
        std::string root = team->localFolder;
        platform::setVolPathResolver([root](uint64_t dev, uint64_t ino) -> std::optional<std::string> {
            struct stat s {};
            if (::lstat(root.c_str(), &s) == 0 && s.st_dev == dev && s.st_ino == ino) return root;
            std::error_code ec;
            for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
                 it.increment(ec))
                if (::lstat(it->path().c_str(), &s) == 0 && s.st_dev == dev && s.st_ino == ino)
                    return it->path().string();
            return std::nullopt;
        });
    }

    bool giveTheVolumeAUUID(const std::string& uuid) {
        if (::setxattr(team->localFolder.c_str(), "user.com.meridot.tidewell.volumeuuid", uuid.data(),
                       uuid.size(), 0) != 0)
            return false;
        struct stat st {};
        if (::stat(team->localFolder.c_str(), &st) != 0) return false;
        team->setVolumeSystemNumber(st.st_dev);
        return team->volumeUUID() == uuid;
    }

    std::string local(const std::string& rel) const { return team->localFolder + "/" + rel; }
    std::filesystem::path serverFile(const std::string& rel) const {
        return dir / "root" / "data" / "Team" / rel;
    }
    CorvaneExtendedAttributes record(const std::string& rel) const {
        return CorvaneExtendedAttributes(local(rel));
    }
    std::string revisionOf(const std::string& rel) const {
        return record(rel).ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    }

    // A file that is on the server, as the sync leaves it after an upload.
    CorvaneExtendedAttributes uploaded(const std::string& rel, const std::string& content) {
        EXPECT_TRUE(writeFile(local(rel), content));
        UploadDetails up(env, local(rel));
        EXPECT_EQ(up.uploadFile(), normalisedResponse::allOkay);
        CorvaneExtendedAttributes r(local(rel));
        if (up.fileObject) r.ceaString.setAttribute(CEAString::keys::Revision, up.fileObject->revision);
        r.ceaStatus.setStatus(CEAStatus::keys::Regular);
        EXPECT_TRUE(r.save());
        return CorvaneExtendedAttributes(local(rel));
    }
    // What the watcher reports for a file written and closed.
    void written(const std::string& rel, const std::string& content) {
        ASSERT_TRUE(writeFile(local(rel), content));
        timeline->addCloseEvent(local(rel));
    }
    void deleteLocally(const std::string& rel) {
        CorvaneExtendedAttributes before(local(rel));
        std::filesystem::remove_all(local(rel));
        timeline->addDeleteEvent(local(rel), before);
    }
    void moveLocally(const std::string& from, const std::string& to) {
        CorvaneExtendedAttributes before(local(from));
        std::filesystem::rename(local(from), local(to));
        timeline->addMoveEvent(local(from), local(to), before);
    }

    // Runs the queued events, the listing passes and all they queue in turn.
    void runTimeline() {
        using namespace std::chrono_literals;
        // A resume while the loop still winds down from a pause is ignored: let it end first.
        for (int i = 0; i < 500 && timeline->suspended() && timeline->eventQueueRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        timeline->resumeTimeLine();
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(timeline->syncQueue().waitUntilAllOperationsAreFinished(60s));
            ASSERT_TRUE(timeline->waitUntilIdle(60s));
            if (timeline->syncQueue().operationCount() == 0 && timeline->eventCount() == 0) break;
        }
        ASSERT_TRUE(RestoreDeletedManager::sharedInstance().waitUntilIdle(10s));
    }

    // The user's pause as the run state carries it out: transfers under way are cut (their watch sees
    // server contact go) and the timeline starts nothing new. Returns once the loop has ended.
    void pause() {
        using namespace std::chrono_literals;
        contactAllowed = false;
        timeline->pauseTimeLine();
        for (int i = 0; i < 3000 && timeline->eventQueueRunning(); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_FALSE(timeline->eventQueueRunning());
    }
    void resume() {
        contactAllowed = true;
        timeline->resumeTimeLine();
    }
    // Waits until `done` holds (false after `limit`).
    static bool waitUntil(const std::function<bool()>& done,
                          std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Holds the next `count` requests of `method` for `rel` (and anything under it) for `ms` before the
    // server serves them.
    void holdRequests(const std::string& rel, int ms, const std::string& method = "POST", int count = 1) {
        devserver.fault({{"method", method},
                         {"path", devserver.servicePath("folders/Team/" + rel)},
                         {"action", "delay"},
                         {"delay_ms", ms},
                         {"count", count}});
    }

    TempDir dir{"tw-team-timeline"};
    std::atomic<bool> contactAllowed{true};
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ClientDevServer devserver;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team;
    std::unique_ptr<TimeLineManager> timeline;
};

}  // namespace tw::test
