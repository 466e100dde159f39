// Stored passwords: the private file store (always), and the Secret Service when one answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/keychain.h"
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

TEST(SecretServiceKeychain, StoresFindsReplacesAndDeletesItems) {
    auto k = makeSecretServiceKeychain();
    if (!k) GTEST_SKIP() << "no Secret Service answers on the session bus";
    exercise(*k);
}

}  // namespace
}  // namespace tw::platform::keychain
