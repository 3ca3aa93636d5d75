#include "app/common.h"
#include "db/folder_copy.h"
#include "fake_user_interface.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace qm;

namespace {
struct CopyFixture : ::testing::Test {
    test::TempDir tmp;
    test::FakeUserInterface ui;
    std::string root;
    fs::path source;
    void SetUp() override {
        root = tmp.path().string() + "/";
        source = tmp.path() / "My Tables";
        fs::create_directories(source / "sub");
        std::ofstream(source / "ORDERS.DB") << "new";
        std::ofstream(source / "sub" / "X.db") << "x";
    }
};
} // namespace

TEST_F(CopyFixture, PathWithoutInnerBlankAsksNothing) {
    FixedFolder folder("  " + tmp.path().string() + "  ");
    CopyDB(ui, folder, false, root);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(folder.get(), "  " + tmp.path().string() + "  ");
}

TEST_F(CopyFixture, QuestionWordingAndNoKeepsTheField) {
    FixedFolder folder(source.string());
    CopyDB(ui, folder, true, root);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text,
              "In some cases the software needs to use a folder without spaces.\r\n"
              "Is it OK to create the folder " +
                  root + "TestDB and put sample db files in it?");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::YesNo);
    EXPECT_EQ(ui.boxes[0].icon, Icon::None);
    EXPECT_EQ(ui.boxes[0].title, appTitle());
    EXPECT_EQ(folder.get(), source.string());
    EXPECT_FALSE(fs::exists(root + "TestDB"));

    CopyDB(ui, folder, false, root);
    EXPECT_NE(ui.boxes[1].text.find("put Your db files"), std::string::npos);
}

TEST_F(CopyFixture, YesCopiesIntoTheReusedTargetAndPointsTheFieldThere) {
    fs::create_directory(root + "TestDB");
    std::ofstream(root + "TestDB/ORDERS.DB") << "old";
    std::ofstream(root + "TestDB/KEEP.DB") << "keep";
    FixedFolder folder(source.string());
    ui.answers.push_back(Answer::Yes);
    CopyDB(ui, folder, false, root);
    EXPECT_EQ(folder.get(), root + "TestDB");
    std::ifstream in(root + "TestDB/ORDERS.DB");
    std::string content;
    in >> content;
    EXPECT_EQ(content, "new");
    EXPECT_TRUE(fs::exists(root + "TestDB/KEEP.DB"));
    EXPECT_TRUE(fs::exists(root + "TestDB/sub/X.db"));
    EXPECT_TRUE(fs::exists(source / "ORDERS.DB")) << "the chosen folder stays untouched";
}

TEST_F(CopyFixture, FailedCopyIsReportedAndKeepsTheOriginalFolder) {
    FixedFolder folder((tmp.path() / "No Such Folder").string());
    ui.answers.push_back(Answer::Yes);
    CopyDB(ui, folder, false, root);
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_NE(ui.boxes[1].text.find("in Quillworks2021/08/31.Paradox.CopyDB at line 120\r\r"),
              std::string::npos);
    EXPECT_EQ(folder.get(), (tmp.path() / "No Such Folder").string());
}
