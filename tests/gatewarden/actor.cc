// gw_actor: a separate process that performs one file operation, so the watcher sees a process other
// than the test's. Prints and exits with the errno of the operation (0 on success).
//   gw_actor [--name COMM] [--umask OCTAL] OP ARGS...
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/userclient.h"

namespace {
int result(int rc) {
    int e = rc < 0 ? errno : 0;
    printf("%d\n", e);
    return e;
}

int readAll(const char* path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
    }
    int e = errno;
    close(fd);
    errno = e;
    return n < 0 ? -1 : 0;
}

int openWrite(const char* path, int flags, const char* data) {
    int fd = open(path, flags, 0644);
    if (fd < 0) return -1;
    if (data && write(fd, data, strlen(data)) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return close(fd);
}
}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--name")
            prctl(PR_SET_NAME, argv[i + 1]);
        else if (opt == "--umask")
            umask(static_cast<mode_t>(strtoul(argv[i + 1], nullptr, 8)));
        else
            break;
    }
    if (i >= argc) return 100;
    std::string op = argv[i];
    const char* a = i + 1 < argc ? argv[i + 1] : "";
    const char* b = i + 2 < argc ? argv[i + 2] : nullptr;
    if (op == "read") return result(readAll(a));
    if (op == "open-close") {
        int fd = open(a, O_RDONLY);
        return result(fd < 0 ? -1 : close(fd));
    }
    if (op == "open-write-close") return result(openWrite(a, O_WRONLY, nullptr));
    if (op == "write") return result(openWrite(a, O_WRONLY | O_TRUNC, b ? b : "written"));
    if (op == "rdwr") {
        int fd = open(a, O_RDWR);
        return result(fd < 0 ? -1 : close(fd));
    }
    if (op == "create") return result(openWrite(a, O_WRONLY | O_CREAT | O_EXCL, b));
    if (op == "truncate") return result(truncate(a, b ? atoll(b) : 0));
    if (op == "unlink") return result(unlink(a));
    if (op == "rmdir") return result(rmdir(a));
    if (op == "mkdir") return result(mkdir(a, 0755));
    // With the mode in octal, under the umask given with --umask.
    if (op == "create-mode") {
        int fd =
            open(a, O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(strtoul(b ? b : "0644", nullptr, 8)));
        return result(fd < 0 ? -1 : close(fd));
    }
    if (op == "mkdir-mode") return result(mkdir(a, static_cast<mode_t>(strtoul(b ? b : "0755", nullptr, 8))));
    if (op == "mkfifo") return result(mkfifo(a, 0644));
    if (op == "symlink") return result(symlink(a, b));  // a link at `b` to `a`
    if (op == "rename") return result(rename(a, b));
    if (op == "link") return result(link(a, b));
    if (op == "exchange") return result(renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE));
    if (op == "list") {
        DIR* d = opendir(a);
        if (!d) return result(-1);
        while (readdir(d)) {
        }
        return result(closedir(d));
    }
    if (op == "hold-open") {
        // Keeps a file open until killed.
        int fd = open(a, O_RDONLY);
        if (fd < 0) return result(-1);
        printf("open\n");
        fflush(stdout);
        for (;;) pause();
    }
    if (op == "hold-write") {
        // An editor with its document open: opens it for writing, says so, and on SIGUSR1 saves `b`
        // through the descriptor it holds (replacing the content) and closes it.
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr);
        int fd = open(a, O_WRONLY);
        if (fd < 0) return result(-1);
        printf("open\n");
        fflush(stdout);
        // The holder stops listening once it knows the file is open; the result goes by exit code.
        signal(SIGPIPE, SIG_IGN);
        int sig = 0;
        sigwait(&usr1, &sig);
        const char* data = b ? b : "saved";
        size_t len = strlen(data);
        int rc = ftruncate(fd, 0);
        if (rc == 0) rc = pwrite(fd, data, len, 0) == static_cast<ssize_t>(len) ? 0 : -1;
        if (rc == 0) rc = fsync(fd);
        int e = errno;
        if (close(fd) != 0 && rc == 0) return result(-1);
        errno = e;
        return result(rc);
    }
    if (op == "hold-driver" || op == "hold-driver-reading") {
        // Opens the driver on the socket `a`, says so, and waits to be killed; "-reading" meanwhile
        // reads events without pause, as the application's listen loop does.
        auto c = tw::platform::UserClient::connect(a);
        if (!c || c->openConnection() != tw::pw::kIOReturnSuccess) return result(-1);
        printf("open\n");
        fflush(stdout);
        tw::pw::_pwevent rec;
        if (op == "hold-driver-reading")
            while (c->receive(rec) == tw::pw::kIOReturnSuccess) {
            }
        for (;;) pause();
    }
    fprintf(stderr, "gw_actor: unknown op %s\n", op.c_str());
    return 100;
}
