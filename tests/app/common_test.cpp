#include "app/common.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace qm;

TEST(Common, NullToDefaultOnlyReplacesNull) {
    EXPECT_EQ(NullToDefault(Variant::null(), "").toString(), "");
    EXPECT_TRUE(NullToDefault(Variant::null(), "").isText());
    EXPECT_EQ(NullToDefault(0, ""), Variant(0));
    EXPECT_TRUE(NullToDefault(Variant(), "x").isEmpty());
    EXPECT_EQ(NullToDefault(std::string(), "x"), Variant(std::string()));
}

TEST(Common, FileExistsByDateAndIsFolder) {
    test::TempDir dir;
    auto file = dir.path() / "a.db";
    std::ofstream(file) << "x";
    EXPECT_TRUE(FileExistsByDate(file.string()));
    EXPECT_TRUE(FileExistsByDate(dir.path().string()));
    EXPECT_FALSE(FileExistsByDate((dir.path() / "missing").string()));
    EXPECT_FALSE(FileExistsByDate(""));
    EXPECT_EQ(IsFolder(dir.path().string()), Variant(true));
    EXPECT_EQ(IsFolder(file.string()), Variant(false));
    EXPECT_TRUE(IsFolder((dir.path() / "missing").string()).isEmpty());
}

TEST(Common, FileNameFromPath) {
    EXPECT_EQ(FileNameFromPath("/a/b/Orders.db"), "Orders.db");
    EXPECT_EQ(FileNameFromPath("Orders.db"), "Orders.db");
    EXPECT_EQ(FileNameFromPath("/a/b/"), "");
}

TEST(Common, AppTitleCutsAtLeastTheLastWord) {
    SetAppTitle();
    EXPECT_EQ(appTitle(), "Quillmend");
}

TEST(Common, CollapseBackslashesOnThePlatformSeparator) {
    EXPECT_EQ(CollapseBackslashes("a/b/c"), "a/b/c");
    EXPECT_EQ(CollapseBackslashes("a//b///c"), "a/b//c");
    EXPECT_EQ(CollapseBackslashes("//server//share"), "//server/share");
    EXPECT_EQ(CollapseBackslashes("/single"), "//single");
    EXPECT_EQ(CollapseBackslashes("////x//y"), "//x/y");
    EXPECT_EQ(AppDriveRoot(), "/");
}
