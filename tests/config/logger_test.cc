#include "Pinewick/config/Logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "support/temp_dir.h"

using tw::Logger;
using tw::test::readFile;
using tw::test::TempDir;
namespace fs = std::filesystem;

namespace {
size_t countLines(const std::string& s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

const std::regex kStamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000 )");

// The log text with the timestamp that starts each line taken off (the later lines of a message that
// holds line feeds have none).
std::string unstamped(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size() - 1;
        std::string line = text.substr(start, end + 1 - start);
        std::smatch m;
        if (!std::regex_search(line, m, kStamp, std::regex_constants::match_continuous)) {
            out += line;
        } else {
            out += line.substr(static_cast<size_t>(m.length(0)));
        }
        start = end + 1;
    }
    return out;
}
}  // namespace

TEST(Logger, ThresholdDecidesWhichLevelsAreWrittenAndLineFormat) {
    TempDir dir;
    {
        Logger log(dir.str(), Logger::logLevels::warning, Logger::kRotateEvery, false);
        log.logDebug("hidden debug");
        log.logFunction("hidden function");
        log.logWarning("careful");
        log.logFatal("broken");
        log.logAudit("Uploaded file: /x");
        log.logWarning("two\nlines");
        log.flush();
    }
    std::string stamped = readFile(dir / "Tidewell.log");
    EXPECT_EQ(stamped.find("hidden"), std::string::npos);
    // Every line starts with its UTC timestamp, audit lines as the others.
    EXPECT_TRUE(std::regex_search(
        stamped, std::regex(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000   Audit: Uploaded file: /x\n)")));
    std::string text = unstamped(stamped);
    EXPECT_NE(text.find("Warning: careful\n"), std::string::npos);
    EXPECT_NE(text.find("  Fatal: broken\n"), std::string::npos);
    EXPECT_NE(text.find("  Audit: Uploaded file: /x\n"), std::string::npos);
    // A message with a line feed is written as is, with one line feed added.
    EXPECT_NE(text.find("Warning: two\nlines\n"), std::string::npos);
}

TEST(Logger, OffWritesNothingAndFunctionLevelWritesEverything) {
    TempDir dir;
    {
        Logger log(dir.str(), Logger::logLevels::off, Logger::kRotateEvery, false);
        log.logAudit("a");
        log.logFatal("f");
        log.flush();
    }
    EXPECT_EQ(readFile(dir / "Tidewell.log"), "");
    {
        Logger log(dir.str(), Logger::logLevels::function, Logger::kRotateEvery, false);
        log.logFunction(tw::prettyLog("->", "/src/engine/TimeLineManager.cc", "loadTimeLine()"));
        log.logDebug("d");
        log.flush();
    }
    EXPECT_EQ(unstamped(readFile(dir / "Tidewell.log")),
              ": TimeLineManager.cc loadTimeLine() ->\n**DEBUG: d\n");
    EXPECT_FALSE(Logger::levelFromRaw(6).has_value());
    EXPECT_EQ(Logger::levelFromRaw(3), Logger::logLevels::warning);
}

TEST(Logger, RotationKeepsFiveGenerationsAndBoundaryLineGoesToOldFile) {
    TempDir dir;
    // Content from an earlier run is appended to, not replaced.
    tw::test::writeFile(dir / "Tidewell.log", "Warning: earlier run\n");
    {
        Logger log(dir.str(), Logger::logLevels::warning, 3, false);
        // 3 lines: the third fills the old file, then rotation.
        for (int i = 1; i <= 3; ++i) log.logWarning("line " + std::to_string(i));
        log.logWarning("line 4");
        log.flush();
        std::string first = readFile(dir / "Tidewell-1.log");
        ASSERT_EQ(first.rfind("Warning: earlier run\n", 0), 0u);
        EXPECT_EQ(unstamped(first.substr(21)), "Warning: line 1\nWarning: line 2\nWarning: line 3\n");
        EXPECT_EQ(unstamped(readFile(dir / "Tidewell.log")), "Warning: line 4\n");
        EXPECT_FALSE(fs::exists(dir / "Tidewell-2.log"));
        // Six more rotations: never more than five generations.
        for (int i = 5; i <= 3 * 7; ++i) log.logWarning("line " + std::to_string(i));
        log.flush();
    }
    for (int g = 1; g <= 5; ++g)
        EXPECT_TRUE(fs::exists(dir / ("Tidewell-" + std::to_string(g) + ".log"))) << g;
    EXPECT_FALSE(fs::exists(dir / "Tidewell-6.log"));
    // Generation 1 is the newest full file: lines 19..21 went to it.
    EXPECT_EQ(unstamped(readFile(dir / "Tidewell-1.log")),
              "Warning: line 19\nWarning: line 20\nWarning: line 21\n");
    EXPECT_EQ(countLines(readFile(dir / "Tidewell-5.log")), 3u);
    EXPECT_EQ(readFile(dir / "Tidewell.log"), "");
}

TEST(Logger, UnwritableFolderStillLogsToStdoutWithoutFailing) {
    TempDir dir;
    tw::test::writeFile(dir / "file", "x");
    // The "folder" is a file: nothing can be created below it.
    testing::internal::CaptureStderr();
    {
        Logger log((dir / "file" / "Meridot").string(), Logger::logLevels::warning, Logger::kRotateEvery,
                   false);
        log.logWarning("still fine");
        log.flush();
    }
    // The log says once, outside the file it cannot have, why it stopped writing there.
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(
        err.find("   Fatal: The log cannot open " + (dir / "file" / "Meridot" / "Tidewell.log").string() +
                 ": Not a directory; lines go to standard output only\n"),
        std::string::npos)
        << err;
    EXPECT_EQ(countLines(err), 1u) << err;
}

TEST(Logger, AFileThatCannotBeReopenedAfterRotationIsReported) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only files and folders";
    TempDir dir;
    testing::internal::CaptureStderr();
    {
        Logger log(dir.str(), Logger::logLevels::warning, 2, false);
        log.logWarning("one");
        log.flush();
        // Neither the folder nor the file can be written: rotation can neither move the file away nor
        // open it again.
        fs::permissions(dir / "Tidewell.log", fs::perms::owner_read);
        fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
        log.logWarning("two");
        log.logWarning("three");
        log.flush();
        fs::permissions(dir.path(), fs::perms::owner_all);
        fs::permissions(dir / "Tidewell.log", fs::perms::owner_read | fs::perms::owner_write);
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("The log cannot reopen " + (dir / "Tidewell.log").string() + ": Permission denied"),
              std::string::npos)
        << err;
}

TEST(Logger, ConcurrentCallersNeverInterleaveWithinALine) {
    TempDir dir;
    {
        Logger log(dir.str(), Logger::logLevels::warning, Logger::kRotateEvery, false);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i)
                    log.logWarning("thread " + std::to_string(t) + " line " + std::to_string(i));
            });
        for (auto& th : threads) th.join();
        log.flush();
    }
    std::string text = readFile(dir / "Tidewell.log");
    EXPECT_EQ(countLines(text), 800u);
    std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000 Warning: thread \d line \d+)");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_TRUE(std::regex_match(text.substr(start, end - start), line));
        start = end + 1;
    }
}
