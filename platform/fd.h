// File descriptors with an owner, and the whole-buffer writes every writer here needs.
//
// Thread-safety: a UniqueFd is used by one owner at a time; the functions are safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace tw::platform {

// Owns one file descriptor and closes it when dropped.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    // Closes now and reports close's own failure (the first error of a write that went to a cache).
    bool close();

  private:
    int fd_ = -1;
};

// Writes all of `data`, retrying after interruptions and short writes. False on the first failure.
bool writeAll(int fd, std::string_view data);

// Replaces `path` with `content` so a reader never sees half a file: writes a temporary file beside
// it, syncs it and renames it over. False (and nothing changed) on failure.
bool writeFileAtomically(const std::string& path, std::string_view content, unsigned mode = 0644);

}  // namespace tw::platform
