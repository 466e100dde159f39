// The first listing of a mappoint into placeholders: FOLDERS folders of FILES files each on the
// reference server (loopback), an empty local volume folder, and the listing passes and timeline
// events that fill it, end to end. Then where the time goes, each part measured alone in the same run:
// the listing request, the comparison, one DownloadSync event, and as the floor the bare system calls
// a placeholder needs (create, two dates, the record's attribute).
//
//   bench_first_listing [FOLDERS [FILES]]      (default 20 x 100)
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "Pinewick/app/Parts.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "support/devserver_process.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::mutex g_mutex;
double g_passMs = 0;
int g_passes = 0;

}  // namespace

int main(int argc, char** argv) {
    int folders = argc > 1 ? std::atoi(argv[1]) : 20;
    int files = argc > 2 ? std::atoi(argv[2]) : 100;
    tw::Logger::sharedInstance().setLogLevel(tw::Logger::logLevels::off);
    char base[] = "/tmp/tw-listing-bench-XXXXXX";
    if (!mkdtemp(base)) return 1;
    fs::path dir(base);
    setenv("HOME", base, 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    setenv("TIDEWELL_VOLUMES_ROOT", (dir / "Volumes").c_str(), 1);

    // The server's tree, made through the protocol as another device would.
    tw::test::DevServerHarness server(dir);
    if (!server.start({"--mappoint", "Team:MANUAL", "--quiet"}) || !server.login()) {
        std::fprintf(stderr, "tidewell-devserver did not start\n");
        return 1;
    }
    auto t0 = Clock::now();
    for (int f = 0; f < folders; ++f) {
        std::string name = "Folder" + std::to_string(f);
        server.postForm(tw::test::DevServerHarness::folderUrl("/Team"),
                        "name=" + name +
                            "&operation=create&creation_time=2020-01-02T03:04:05.000Z"
                            "&modification_time=2020-01-02T03:04:06.000Z");
        for (int i = 0; i < files; ++i)
            server.upload("/Team/" + name + "/file" + std::to_string(i) + ".txt", "x", "");
    }
    std::printf("server tree: %d folders x %d files made in %.0f ms\n", folders, files,
                ms(Clock::now() - t0));

    std::string hostPort = "127.0.0.1:" + std::to_string(server.process().port());
    auto keychain = tw::platform::keychain::makeFileKeychain((dir / "credentials.json").string());
    // The program's environment and account, answering from the program's volumes as the engine wires them.
    auto& env = tw::parts::serverEnvironment();
    env.keychain = keychain.get();
    tw::answerFromVolumes(env, tw::parts::volumes, tw::parts::metadataDatabase);
    env.credentials = tw::parts::credentials;
    keychain->addItem({hostPort, "alice", "Tidewell", "Tidewell Server Password"}, "s3cret&=x");
    auto& creds = tw::parts::credentials();
    creds.resetForTesting();
    creds.setServerProtocol("http");
    auto team = std::make_shared<tw::VolumeDetail>("Team", tw::ServerConfigurationDetails::sharedInstance());
    team->state = tw::VolumeDetail::volumeStates::Visible;
    tw::VolumeManager::sharedInstance().addVolume(team);
    fs::create_directories(team->localFolder);
    if (!tw::ServerCommunicator::ready(env)) {
        std::fprintf(stderr, "could not log on\n");
        return 1;
    }
    tw::FolderContentDetails root(env, "/");
    root.fetchFolderContents();
    for (const auto& e : root.contents)
        if (e.name == "Team") tw::CEAUtils::refreshFolder(team->localFolder, e.serverFacts());
    // Manual mode: folders are not listed in turn, so each folder's pass is queued by hand, as the
    // user opening them would.
    auto& timeline = tw::TimeLineManager::sharedInstance();
    timeline.setListingPasses({nullptr, [](tw::EventContext& context, const std::string& p, bool user) {
                                   auto s = Clock::now();
                                   tw::SyncFolder::performSync(context, p, user);
                                   std::lock_guard l(g_mutex);
                                   g_passMs += ms(Clock::now() - s);
                                   ++g_passes;
                               }});
    timeline.resumeTimeLine();

    auto start = Clock::now();
    timeline.addSyncFolderEvent(team->localFolder, true);
    timeline.syncQueue().waitUntilAllOperationsAreFinished(600s);
    timeline.waitUntilIdle(600s);
    for (int f = 0; f < folders; ++f)
        timeline.addSyncFolderEvent(team->localFolder + "/Folder" + std::to_string(f), true);
    for (int round = 0; round < 100; ++round) {
        timeline.syncQueue().waitUntilAllOperationsAreFinished(600s);
        timeline.waitUntilIdle(600s);
        if (timeline.eventCount() == 0 && timeline.syncQueue().operationCount() == 0) break;
    }
    double total = ms(Clock::now() - start);
    size_t made = 0;
    for (auto it = fs::recursive_directory_iterator(team->localFolder);
         it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file()) ++made;
    int items = folders * files + folders;
    std::printf(
        "first listing, end to end: %zu placeholders in %.0f ms = %.3f ms per item (%d passes, "
        "%.0f ms in passes)\n",
        made, total, total / items, g_passes, g_passMs);

    // Where the time goes: one folder's parts alone.
    std::string folder = team->localFolder + "/Folder0";
    auto s = Clock::now();
    tw::FolderContentDetails listing(env, folder);
    listing.fetchFolderContents();
    double requestMs = ms(Clock::now() - s);

    std::string scratch = team->localFolder + "/Scratch";
    fs::create_directories(scratch);
    {
        tw::CorvaneExtendedAttributes r(scratch);
        r.ceaStatus.setStatus(tw::CEAStatus::keys::Placeholder);
        if (auto saved = r.save(); !saved)
            std::fprintf(stderr, "the scratch folder's record was not written: %s\n",
                         saved.cause().describe().c_str());
    }
    // Paused, so the events the comparison queues wait and the direct runs below are the only ones.
    timeline.pauseTimeLine();
    std::vector<std::string> none;
    s = Clock::now();
    tw::SyncFolder::compareListing(timeline.context(), scratch, listing.contents, none, false);
    double compareMs = ms(Clock::now() - s);

    s = Clock::now();
    for (const auto& e : listing.contents)
        tw::DownloadSync(scratch, e, false).performAction(timeline.context());
    double eventMs = ms(Clock::now() - s);

    std::string floor = team->localFolder + "/Floor";
    fs::create_directories(floor);
    std::string record = "Status: Placeholder\nRevision: 1\n";
    s = Clock::now();
    for (const auto& e : listing.contents) {
        std::string p = floor + "/" + e.name;
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
        tw::platform::setCreationDate(p, 1.6e9);
        tw::platform::setModificationDate(p, 1.6e9);
        ::setxattr(p.c_str(), "user.com.meridot.tidewell", record.data(), record.size(), 0);
    }
    double floorMs = ms(Clock::now() - s);
    double n = static_cast<double>(listing.contents.size());
    std::printf("one folder of %.0f entries, each part alone:\n", n);
    std::printf("  listing request + parse     %8.2f ms  (%.3f ms per entry)\n", requestMs, requestMs / n);
    std::printf("  comparison, queueing        %8.2f ms  (%.3f ms per entry)\n", compareMs, compareMs / n);
    std::printf("  DownloadSync events         %8.2f ms  (%.3f ms per entry)\n", eventMs, eventMs / n);
    std::printf("  floor: bare system calls    %8.2f ms  (%.3f ms per entry)\n", floorMs, floorMs / n);
    server.stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
