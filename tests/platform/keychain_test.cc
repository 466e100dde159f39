// Stored passwords: the private file store (always), and the Secret Service when one answers.
#include "platform/keychain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/temp_dir.h"

namespace tw::platform::keychain {
namespace {

const Item kItem{"sync.example.com", "anna", "Tidewell", "Tidewell Server Password"};

void exercise(Keychain& k) {
    std::vector<Item> found;
    ASSERT_EQ(k.findItems("Tidewell", "Tidewell Server Password", found), Status::ok);
    EXPECT_TRUE(found.empty());
    EXPECT_FALSE(k.password(kItem.service, kItem.account));

    ASSERT_EQ(k.addItem(kItem, "p&ss=w\xc3\xb6rd"), Status::ok);
    ASSERT_EQ(k.findItems("Tidewell", "Tidewell Server Password", found), Status::ok);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].service, kItem.service);
    EXPECT_EQ(found[0].account, kItem.account);
    EXPECT_EQ(k.password(kItem.service, kItem.account).value_or(""), "p&ss=w\xc3\xb6rd");

    // Same service and account replaces; another account is a second item.
    ASSERT_EQ(k.addItem(kItem, "second"), Status::ok);
    Item other = kItem;
    other.account = "bert";
    ASSERT_EQ(k.addItem(other, "x"), Status::ok);
    found.clear();
    ASSERT_EQ(k.findItems("Tidewell", "Tidewell Server Password", found), Status::ok);
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(k.password(kItem.service, kItem.account).value_or(""), "second");
    found.clear();
    ASSERT_EQ(k.findItems("Other", "Tidewell Server Password", found), Status::ok);
    EXPECT_TRUE(found.empty());

    EXPECT_EQ(k.deleteItem(kItem.service, kItem.account), Status::ok);
    EXPECT_EQ(k.deleteItem(kItem.service, kItem.account), Status::notFound);
    EXPECT_EQ(k.deleteItem(other.service, other.account), Status::ok);
}

TEST(FileKeychain, StoresFindsReplacesAndDeletesItems) {
    tw::test::TempDir dir;
    std::string path = (dir / "meridot/credentials.json").string();
    auto k = makeFileKeychain(path);
    exercise(*k);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(FileKeychain, RefusesAFileOthersCanRead) {
    tw::test::TempDir dir;
    std::string path = (dir / "credentials.json").string();
    auto k = makeFileKeychain(path);
    ASSERT_EQ(k->addItem(kItem, "secret"), Status::ok);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    std::vector<Item> found;
    EXPECT_EQ(k->findItems("Tidewell", "Tidewell Server Password", found), Status::failed);
    EXPECT_FALSE(k->password(kItem.service, kItem.account));
    EXPECT_EQ(k->addItem(kItem, "new"), Status::failed);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(k->password(kItem.service, kItem.account).value_or(""), "secret");
}

TEST(FileKeychain, AGarbledFileIsAFailureNotACrash) {
    tw::test::TempDir dir;
    std::string path = (dir / "credentials.json").string();
    ASSERT_TRUE(tw::test::writeFile(path, "{\"items\": 7"));
    ::chmod(path.c_str(), 0600);
    auto k = makeFileKeychain(path);
    std::vector<Item> found;
    EXPECT_EQ(k->findItems("Tidewell", "Tidewell Server Password", found), Status::failed);
}

extern "C" char** environ;

// GIO's asynchronous initialisation of the items libsecret builds during a search keeps a few bytes
// that are never freed; they are the library's, not ours. (The fast unwinder stops inside GLib, so the
// suppression names the libraries rather than the function.)
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgio-2.0.so\n";
}
// GLib is not built for ThreadSanitizer: its slice allocator and D-Bus worker thread synchronise in
// ways the tool cannot see, so reports from inside it (and libsecret on top) are not ours to act on.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\nrace:libgio-2.0.so\nrace:libsecret-1.so\n";
}

// A private Secret Service for the test: gnome-keyring's daemon on the test's session bus, with a fresh
// login keyring in the test's own data folder. Stopped (by its pid) when dropped.
class PrivateSecretService {
public:
    PrivateSecretService() {
        if (!getenv("DBUS_SESSION_BUS_ADDRESS") || ::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
            return;
        int fds[2], out[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        char* argv[] = {const_cast<char*>("/usr/bin/gnome-keyring-daemon"), const_cast<char*>("--foreground"),
                        const_cast<char*>("--unlock"), const_cast<char*>("--components=secrets"), nullptr};
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        ::close(out[1]);
        if (pid_ > 0) (void)!::write(fds[1], "test-password", 13);
        ::close(fds[1]);
        // The daemon prints its environment once it serves; wait for that (at most 10 s).
        std::string text;
        char buf[256];
        for (int i = 0; pid_ > 0 && text.find("GNOME_KEYRING_CONTROL=") == std::string::npos && i < 100;
             ++i) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
    }
    ~PrivateSecretService() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

TEST(SecretServiceKeychain, StoresFindsReplacesAndDeletesItems) {
    // Our own daemon first: asking the bus before would let it start one of its own outside the test's
    // home folder.
    PrivateSecretService own;
    std::unique_ptr<Keychain> k;
    for (int i = 0; !k && i < (own.started() ? 50 : 1); ++i) {
        k = makeSecretServiceKeychain();
        if (!k) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!k)
        GTEST_SKIP()
            << "no Secret Service answers on the session bus (run under dbus-run-session with gnome-keyring)";
    EXPECT_STREQ(k->kind(), "secret-service");
    exercise(*k);
}

}  // namespace
}  // namespace tw::platform::keychain
