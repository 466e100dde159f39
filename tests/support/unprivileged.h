// Permission tests where root ignores permissions: the body runs in a child process as the unprivileged
// user "nobody" (uid and gid 65534), with `tree` handed over to that user first. Without root the body
// simply runs in this process.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace tw::test {

// `body` returns "" when every check held, else what failed. Returns the same.
inline std::string runUnprivileged(const std::filesystem::path& tree,
                                   const std::function<std::string()>& body) {
    if (geteuid() != 0) return body();
    constexpr uid_t kNobody = 65534;
    std::error_code ec;
    if (lchown(tree.c_str(), kNobody, kNobody) != 0) return "cannot hand " + tree.string() + " to nobody";
    for (auto it = std::filesystem::recursive_directory_iterator(tree, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (lchown(it->path().c_str(), kNobody, kNobody) != 0)
            return "cannot hand " + it->path().string() + " over";
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(fds[0]);
        std::string result;
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            result = "cannot become nobody";
        else
            try {
                result = body();
            } catch (const std::exception& e) {
                result = std::string("exception: ") + e.what();
            }
        ssize_t ignored = write(fds[1], result.data(), result.size());
        (void)ignored;
        _exit(result.empty() ? 0 : 1);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "unprivileged child died";
    if (WEXITSTATUS(status) != 0 && out.empty()) return "unprivileged child failed";
    // The tree goes back to its owner so the test's own clean-up can remove it.
    if (lchown(tree.c_str(), 0, 0) != 0) return out;
    for (auto it = std::filesystem::recursive_directory_iterator(tree, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (lchown(it->path().c_str(), 0, 0) != 0) break;
    return out;
}

}  // namespace tw::test
