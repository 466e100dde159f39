// Temporary folders for tests: made fresh, removed with everything below them when dropped.
#pragma once

#include <filesystem>
#include <string>

namespace tw::test {

class TempDir {
  public:
    // Makes a new folder under $TMPDIR (or /tmp) whose name starts with `prefix`.
    explicit TempDir(const std::string& prefix = "tw-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& child) const { return path_ / child; }

  private:
    std::filesystem::path path_;
};

// Writes `content` to `path`, creating parents. Returns false on failure.
bool writeFile(const std::filesystem::path& path, const std::string& content);
// Whole content of a file, or "" when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// The per-process home that test_main.cc set up.
const std::filesystem::path& testHome();

}  // namespace tw::test
