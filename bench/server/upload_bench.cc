// Single-shot upload of a large file through UploadDetails, compared in the same run with the curl
// command-line tool uploading the same file to the same tidewell-devserver.
//
// Goal: at least 0.9 of curl's throughput, with this process's peak resident size under 64 MiB (the
// file is mapped and streamed, never copied). Prints one line per run and a verdict; exits 1 when a
// goal is missed.
//
// TIDEWELL_BENCH_UPLOAD_MB sets the file size (default 1024).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Pinewick/app/Parts.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/keychain.h"
#include "platform/uuid.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid = -1;
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            int status;
            ::waitpid(pid, &status, 0);
        }
    }
};

// Runs a command to completion with `input` on its standard input; its exit status, or -1. Secrets go
// through standard input, never on a command line.
int run(const std::vector<std::string>& args, const std::string& input) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (rc == 0) (void)!::write(fds[1], input.data(), input.size());
    ::close(fds[1]);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts the server and returns its "host:port", or "" when it did not come up.
std::string startServer(Child& child, const fs::path& root, const std::string& password) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "";
    std::vector<std::string> args{
        TIDEWELL_DEVSERVER_BINARY, "--root",     root.string(), "--listen", "127.0.0.1:0", "--user",
        "bench:" + password,       "--mappoint", "Team",        "--quiet"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    int rc = posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return "";
    }
    std::string line;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(fds[0]);
    auto at = line.find("http://");
    return at == std::string::npos ? "" : line.substr(at + 7);
}

double mibPerSecond(int64_t bytes, Clock::duration d) {
    return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(d).count();
}

}  // namespace

int main() {
    int64_t sizeMb = 1024;
    if (const char* s = getenv("TIDEWELL_BENCH_UPLOAD_MB")) sizeMb = std::max(1L, atol(s));
    const int64_t size = sizeMb << 20;

    // A private home, so the client's log, records and keychain stay inside the run.
    fs::path base = fs::temp_directory_path() / ("tw-upload-bench-" + std::to_string(::getpid()));
    fs::create_directories(base / "home/.config");
    fs::create_directories(base / "home/.local/state");
    fs::create_directories(base / "Volumes/Team");
    fs::create_directories(base / "root");
    setenv("HOME", (base / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (base / "home/.config").c_str(), 1);
    setenv("XDG_STATE_HOME", (base / "home/.local/state").c_str(), 1);
    setenv("XDG_DATA_HOME", (base / "home/.local/share").c_str(), 1);
    setenv("TIDEWELL_VOLUMES_ROOT", (base / "Volumes").c_str(), 1);

    int rcode = 1;
    {
        // A throwaway account for this run only (the reference server takes its users on its command line).
        const std::string password = tw::platform::newUUID();
        Child server;
        std::string hostPort = startServer(server, base / "root", password);
        if (hostPort.empty()) {
            std::fprintf(stderr, "upload_bench: tidewell-devserver did not start\n");
            fs::remove_all(base);
            return 1;
        }

        // The file: written once in 8 MiB blocks, so this process never holds it.
        std::string file = (base / "Volumes/Team/big.bin").string();
        {
            int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            std::string block(8 << 20, '\0');
            for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
            for (int64_t done = 0; done < size; done += static_cast<int64_t>(block.size()))
                if (::write(fd, block.data(), std::min<int64_t>(block.size(), size - done)) < 0) return 1;
            ::close(fd);
        }

        auto keychain = tw::platform::keychain::makeFileKeychain((base / "credentials.json").string());
        keychain->addItem({hostPort, "bench", "Tidewell", "Tidewell Server Password"}, password);
        auto& env = tw::parts::serverEnvironment();
        env.keychain = keychain.get();
        tw::answerFromVolumes(env, tw::parts::volumes, tw::parts::metadataDatabase);
        env.credentials = tw::parts::credentials;
        tw::VolumeManager::sharedInstance().addVolume(
            std::make_shared<tw::VolumeDetail>("Team", tw::ServerConfigurationDetails::sharedInstance()));
        auto& creds = tw::parts::credentials();
        creds.resetForTesting();
        creds.setServerProtocol("http");
        if (!tw::ServerCommunicator::ready(env)) {
            std::fprintf(stderr, "upload_bench: cannot log on\n");
            return 1;
        }
        const std::string serviceBase = tw::ServerCommunicator::serviceBase(env);

        // curl rides on the client's session: the cookie goes to it as a config line on standard input.
        const std::string curlConfig =
            "header = \"Cookie: " + tw::platform::http::Session::shared().cookies().headerFor(serviceBase) +
            "\"\n";
        auto curlUpload = [&](const std::string& name) {
            auto start = Clock::now();
            int rc = run({"curl",
                          "-s",
                          "-f",
                          "-o",
                          "/dev/null",
                          "-K",
                          "-",
                          "-H",
                          "Expect:",
                          "-H",
                          "Accept: application/json",
                          "-F",
                          "operation=create",
                          "-F",
                          "creation_time=2024-01-01T00:00:00.000Z",
                          "-F",
                          "modification_time=2024-01-01T00:00:00.000Z",
                          "-F",
                          "size=" + std::to_string(size),
                          "-F",
                          "revision=",
                          "-F",
                          "file=@" + file + ";type=application/octet-stream;filename=" + name,
                          serviceBase + "folders/Team/" + name},
                         curlConfig);
            auto took = Clock::now() - start;
            return rc == 0 ? took : Clock::duration::zero();
        };
        auto clientUpload = [&]() {
            tw::UploadDetails up(env, file);
            auto start = Clock::now();
            auto outcome = up.uploadFile();
            auto took = Clock::now() - start;
            // What the upload event does after success: the next upload replaces this revision.
            if (up.fileObject) (void)env.itemRecords().setRevision(file, up.fileObject->revision);
            return outcome == tw::normalisedResponse::allOkay ? took : Clock::duration::zero();
        };

        // Rounds alternate which side goes first, and each upload starts with the server's earlier
        // writes flushed, so neither side pays for the other's write-back.
        // The verdict uses the median of the per-round ratios: both sides of a round share the machine's
        // state at that moment (other builds, the server's disk), which best-against-best does not.
        double bestCurl = 0, bestClient = 0;
        std::vector<double> ratios;
        for (int round = 0; round < 3; ++round) {
            Clock::duration c{}, t{};
            for (int side = 0; side < 2; ++side) {
                ::sync();
                // Both sides start with the file out of the page cache (the client reads uncached).
                int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
                ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
                ::close(fd);
                if ((side == 0) == (round % 2 == 0))
                    c = curlUpload("curl" + std::to_string(round) + ".bin");
                else
                    t = clientUpload();
            }
            if (c == Clock::duration::zero() || t == Clock::duration::zero()) {
                std::fprintf(stderr, "upload_bench: an upload failed (curl %s, client %s)\n",
                             c == Clock::duration::zero() ? "failed" : "ok",
                             t == Clock::duration::zero() ? "failed" : "ok");
                return 1;
            }
            double cm = mibPerSecond(size, c), tm = mibPerSecond(size, t);
            std::printf("round %d: curl %.1f MiB/s, client %.1f MiB/s\n", round + 1, cm, tm);
            bestCurl = std::max(bestCurl, cm);
            bestClient = std::max(bestClient, tm);
            ratios.push_back(tm / cm);
        }
        std::sort(ratios.begin(), ratios.end());
        struct rusage ru {};
        ::getrusage(RUSAGE_SELF, &ru);
        double peakMiB = static_cast<double>(ru.ru_maxrss) / 1024.0;
        double ratio = ratios[ratios.size() / 2];
        bool ok = ratio >= 0.9 && peakMiB < 64.0;
        std::printf(
            "upload %lld MiB: client/curl throughput, median of rounds %.2f (best against best %.2f; goal >= "
            "0.90), "
            "client peak RSS %.1f MiB (goal < 64): %s\n",
            static_cast<long long>(sizeMb), ratio, bestClient / bestCurl, peakMiB, ok ? "PASS" : "MISS");
        rcode = ok ? 0 : 1;
        tw::Logger::sharedInstance().flush();
    }
    fs::remove_all(base);
    return rcode;
}
