// From addCloseEvent on an idle, running timeline to the end of the small file's upload at the
// reference server on loopback. The end of the upload bounds the arrival of its first byte from above,
// so a median under the goal (20 ms to the first byte) meets it. Baseline in the same run: the same
// upload request made directly, without the timeline.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "Pinewick/app/Parts.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/keychain.h"
#include "platform/places.h"
#include "support/devserver_process.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {
double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-36s n=%zu  median %.2f ms  p90 %.2f ms  max %.2f ms\n", what, v.size(), v[v.size() / 2],
                v[v.size() * 9 / 10], v.back());
}

void writeFile(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}
}  // namespace

int main(int argc, char** argv) {
    int samples = argc > 1 ? std::atoi(argv[1]) : 100;
    tw::Logger::sharedInstance().setLogLevel(tw::Logger::logLevels::off);
    char base[] = "/tmp/tw-upload-bench-XXXXXX";
    if (!mkdtemp(base)) return 1;
    fs::path dir(base);
    // A private home, so the bench never touches the user's files.
    setenv("HOME", base, 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    setenv("TIDEWELL_VOLUMES_ROOT", (dir / "Volumes").c_str(), 1);
    fs::create_directories(dir / "root");

    std::string password = "bench-" + std::to_string(::getpid());
    tw::test::ServerProcess server;
    if (!server.start({"--root", (dir / "root").string(), "--listen", "127.0.0.1:0", "--user",
                       "bench:" + password, "--mappoint", "Team", "--quiet"},
                      dir / "devserver.log")) {
        std::fprintf(stderr, "tidewell-devserver did not start\n");
        return 1;
    }
    std::string hostPort = "127.0.0.1:" + std::to_string(server.port());
    auto keychain = tw::platform::keychain::makeFileKeychain((dir / "credentials.json").string());
    // The program's environment and account, answering from the program's volumes as the engine wires them.
    auto& env = tw::parts::serverEnvironment();
    env.keychain = keychain.get();
    tw::answerFromVolumes(env, tw::parts::volumes, tw::parts::metadataDatabase);
    env.credentials = tw::parts::credentials;
    keychain->addItem({hostPort, "bench", "Tidewell", "Tidewell Server Password"}, password);
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

    std::vector<double> timeline, direct;
    {
        tw::TimeLineManager t((dir / "support").string() + "/", tw::TimeLineManager::sharedParts());
        t.resumeTimeLine();
        for (int i = 0; i < samples; ++i) {
            std::string path = team->localFolder + "/t" + std::to_string(i) + ".txt";
            writeFile(path, "a small document " + std::to_string(i));
            t.waitUntilIdle(10s);
            auto t0 = Clock::now();
            t.addCloseEvent(path);
            t.waitUntilIdle(30s);
            timeline.push_back(ms(Clock::now() - t0));
        }
    }
    for (int i = 0; i < samples; ++i) {
        std::string path = team->localFolder + "/d" + std::to_string(i) + ".txt";
        writeFile(path, "a small document " + std::to_string(i));
        auto t0 = Clock::now();
        tw::UploadDetails(env, path).uploadFile();
        direct.push_back(ms(Clock::now() - t0));
    }
    report("addCloseEvent -> upload done", timeline);
    report("upload request alone (baseline)", direct);
    std::sort(timeline.begin(), timeline.end());
    std::printf("goal: median under 20 ms to the first byte: %s\n",
                timeline[timeline.size() / 2] < 20 ? "met" : "NOT met");
    server.stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
