// Splitting paths and telling which folder holds a path, with no file-system access.
#include "platform/paths.h"

#include <gtest/gtest.h>

namespace {

using namespace tw::platform;

TEST(Paths, FolderAndLastName) {
    EXPECT_EQ(parentFolder("/v/Work/a.txt"), "/v/Work");
    EXPECT_EQ(parentFolder("/a"), "/");
    EXPECT_EQ(parentFolder("a"), "/");
    EXPECT_EQ(lastPathComponent("/v/Work/a.txt"), "a.txt");
    EXPECT_EQ(lastPathComponent("a.txt"), "a.txt");
    EXPECT_EQ(lastPathComponent("/v/Work/"), "");
}

TEST(Paths, InsideAFolderMeansBelowItsWholeName) {
    EXPECT_TRUE(isInsideFolder("/v/Work/a", "/v/Work"));
    EXPECT_TRUE(isInsideFolder("/v/Work/sub/b", "/v/Work"));
    EXPECT_FALSE(isInsideFolder("/v/Workshop/a", "/v/Work")) << "a longer name is another folder";
    EXPECT_FALSE(isInsideFolder("/v/Work", "/v/Work")) << "the folder itself is not inside it";
    EXPECT_FALSE(isInsideFolder("/v/work/a", "/v/Work")) << "names compare exactly";
    EXPECT_FALSE(isInsideFolder("/v", "/v/Work"));
    EXPECT_TRUE(isInsideFolder("/a", "/"));
    EXPECT_FALSE(isInsideFolder("/", "/"));
    EXPECT_TRUE(isInsideFolder("/v/Work/a", "/v/Work/")) << "a folder spelt with its slash";
}

}  // namespace
