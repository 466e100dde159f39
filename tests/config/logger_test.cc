#include "Pinewick/config/Logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/temp_dir.h"

using tw::Logger;
using tw::test::readFile;
using tw::test::TempDir;
namespace fs = std::filesystem;

namespace {
size_t countLines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }
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
    std::string text = readFile(dir / "Tidewell.log");
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find("Warning: careful\n"), std::string::npos);
    EXPECT_NE(text.find("  Fatal: broken\n"), std::string::npos);
    // Audit lines alone carry a UTC timestamp.
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(  Audit: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000 Uploaded file: /x\n)")));
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
    EXPECT_EQ(readFile(dir / "Tidewell.log"), ": TimeLineManager.cc loadTimeLine() ->\n**DEBUG: d\n");
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
        EXPECT_EQ(readFile(dir / "Tidewell-1.log"), "Warning: earlier run\nWarning: line 1\nWarning: line 2\nWarning: line 3\n");
        EXPECT_EQ(readFile(dir / "Tidewell.log"), "Warning: line 4\n");
        EXPECT_FALSE(fs::exists(dir / "Tidewell-2.log"));
        // Six more rotations: never more than five generations.
        for (int i = 5; i <= 3 * 7; ++i) log.logWarning("line " + std::to_string(i));
        log.flush();
    }
    for (int g = 1; g <= 5; ++g) EXPECT_TRUE(fs::exists(dir / ("Tidewell-" + std::to_string(g) + ".log"))) << g;
    EXPECT_FALSE(fs::exists(dir / "Tidewell-6.log"));
    // Generation 1 is the newest full file: lines 19..21 went to it.
    EXPECT_EQ(readFile(dir / "Tidewell-1.log"), "Warning: line 19\nWarning: line 20\nWarning: line 21\n");
    EXPECT_EQ(countLines(readFile(dir / "Tidewell-5.log")), 3u);
    EXPECT_EQ(readFile(dir / "Tidewell.log"), "");
}

TEST(Logger, UnwritableFolderStillLogsToStdoutWithoutFailing) {
    TempDir dir;
    tw::test::writeFile(dir / "file", "x");
    // The "folder" is a file: nothing can be created below it.
    Logger log((dir / "file" / "Meridot").string(), Logger::logLevels::warning, Logger::kRotateEvery, false);
    log.logWarning("still fine");
    log.flush();
    SUCCEED();
}

TEST(Logger, ConcurrentCallersNeverInterleaveWithinALine) {
    TempDir dir;
    {
        Logger log(dir.str(), Logger::logLevels::warning, Logger::kRotateEvery, false);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i) log.logWarning("thread " + std::to_string(t) + " line " + std::to_string(i));
            });
        for (auto& th : threads) th.join();
        log.flush();
    }
    std::string text = readFile(dir / "Tidewell.log");
    EXPECT_EQ(countLines(text), 800u);
    std::regex line(R"(Warning: thread \d line \d+)");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_TRUE(std::regex_match(text.substr(start, end - start), line));
        start = end + 1;
    }
}
