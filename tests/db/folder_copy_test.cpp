#include "app/common.h"
#include "db/folder_copy.h"
#include "fake_user_interface.h"
#include "file_bytes.h"
#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

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
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::YesNoDefaultNo) << "an Enter does not copy";
    EXPECT_EQ(ui.boxes[0].icon, Icon::None);
    EXPECT_EQ(ui.boxes[0].title, appTitle());
    EXPECT_EQ(folder.get(), source.string());
    EXPECT_FALSE(fs::exists(root + "TestDB"));

    CopyDB(ui, folder, false, root);
    EXPECT_NE(ui.boxes[1].text.find("put Your db files"), std::string::npos);
}

TEST_F(CopyFixture, YesCopiesIntoAFolderNoEarlierCopyUsed) {
    fs::create_directory(root + "TestDB");
    std::ofstream(root + "TestDB/ORDERS.DB") << "changed in the first copy";
    FixedFolder folder(source.string());
    ui.answers.push_back(Answer::Yes);
    CopyDB(ui, folder, false, root);
    EXPECT_NE(ui.boxes[0].text.find("create the folder " + root + "TestDB2 and put"),
              std::string::npos)
        << ui.boxes[0].text;
    EXPECT_EQ(folder.get(), root + "TestDB2");
    EXPECT_EQ(test::fileText(root + "TestDB2/ORDERS.DB"), "new");
    EXPECT_TRUE(fs::exists(root + "TestDB2/sub/X.db"));
    EXPECT_EQ(test::fileText(root + "TestDB/ORDERS.DB"), "changed in the first copy")
        << "an earlier copy keeps the changes made there";
    EXPECT_TRUE(fs::exists(source / "ORDERS.DB")) << "the chosen folder stays untouched";

    // The next copy, of another folder, gets a folder of its own too.
    FixedFolder second(source.string());
    ui.answers.push_back(Answer::Yes);
    CopyDB(ui, second, false, root);
    EXPECT_EQ(second.get(), root + "TestDB3");
}

TEST_F(CopyFixture, CopyThatFellShortIsReportedAndStillPointsTheFieldAtTheTarget) {
    // A link that leads nowhere: what it names cannot arrive.
    fs::create_symlink(tmp.path() / "nowhere", source / "LOST.DB");
    FixedFolder folder(source.string());
    ui.answers.push_back(Answer::Yes);
    CopyDB(ui, folder, false, root);
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_NE(ui.boxes[1].text.find("in Quillworks2021/08/31.Paradox.CopyDB at line 120\r\r"),
              std::string::npos);
    EXPECT_EQ(folder.get(), root + "TestDB") << "the field names where the copy went";
    EXPECT_TRUE(fs::exists(source / "ORDERS.DB")) << "the chosen folder stays untouched";
}

TEST_F(CopyFixture, TargetIsInTheHomeFolderWhenTheRootCannotBeWritten) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "the administrator may write any folder";
    fs::create_directory(tmp.path() / "locked");
    fs::permissions(tmp.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    std::string home = ::getenv("HOME") ? ::getenv("HOME") : "";
    ASSERT_FALSE(home.empty());
    EXPECT_EQ(copyTargetFolder((tmp.path() / "locked").string() + "/"),
              (fs::path(home) / "TestDB").string());
    EXPECT_EQ(copyTargetFolder(root), root + "TestDB");
}

// The folder copy of a path with blanks as a user who cannot write "/": the copy lands in the
// home folder, the question names it, and the field points there. Runs the child below as
// another user when the tests run as root.
TEST(CopyAsUser, UnprivilegedUserCopiesIntoTheHomeFolder) {
    if (std::getenv("QM_COPY_CHILD"))
        GTEST_SKIP() << "the child itself";
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a second process as uid 65534";
    test::TempDir tmp;
    fs::permissions(tmp.path(), fs::perms::all, fs::perm_options::add);
    fs::path home = tmp.path() / "home";
    fs::path source = tmp.path() / "Paradox Tables";
    fs::create_directories(home);
    fs::create_directories(source / "sub");
    std::ofstream(source / "ORDERS.DB") << "orders";
    std::ofstream(source / "sub" / "X.db") << "x";
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    std::string command = "env QM_COPY_CHILD='" + source.string() + "' HOME='" + home.string() +
                          "' setpriv --reuid=65534 --regid=65534 --clear-groups "
                          "/proc/self/exe --gtest_filter=CopyAsUser.Child 2>&1";
    // /proc/self/exe of the shell would be the shell: name this program itself.
    command.replace(command.find("/proc/self/exe"), 14, fs::read_symlink("/proc/self/exe"));
    FILE* child = ::popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, child))
        output.append(buffer, n);
    int status = ::pclose(child);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(home / "TestDB" / "sub" / "X.db"));
}

TEST(CopyAsUser, Child) {
    const char* source = std::getenv("QM_COPY_CHILD");
    if (!source)
        GTEST_SKIP() << "run by UnprivilegedUserCopiesIntoTheHomeFolder";
    ASSERT_NE(::access("/", W_OK), 0) << "this user can write /";
    std::string target = std::string(std::getenv("HOME")) + "/TestDB";
    test::FakeUserInterface ui;
    ui.answers.push_back(Answer::Yes);
    FixedFolder folder(source);
    CopyDB(ui, folder, false);
    ASSERT_EQ(ui.boxes.size(), 1u) << ui.boxes.back().text;
    EXPECT_NE(ui.boxes[0].text.find("Is it OK to create the folder " + target + " and put"),
              std::string::npos)
        << ui.boxes[0].text;
    EXPECT_EQ(folder.get(), target);
    EXPECT_TRUE(fs::exists(target + "/ORDERS.DB"));
}
