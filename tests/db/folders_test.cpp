#include "app/error.h"
#include "db/folders.h"
#include "fake_user_interface.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace qm;
namespace fs = std::filesystem;

namespace {

// Root reads any folder whatever its mode, so a folder without read permission is made to
// refuse its listing through the file-system layer as well; as an ordinary user the real
// permission does the refusing and the override never fires.
class RefusingFolders : public FolderSystem {
  public:
    std::set<std::string> denied;
    std::set<std::string> broken;
    mutable std::vector<std::string> listed;
    std::vector<std::string> subFolderNames(const std::string& folder) const override {
        listed.push_back(folder);
        if (denied.count(folder) && ::geteuid() == 0)
            throw Error(code::PermissionDenied, "Permission denied");
        if (broken.count(folder))
            throw Error(code::PathFileAccess, "Path/File access error");
        return FolderSystem::subFolderNames(folder);
    }
};

void touch(const fs::path& p) {
    std::ofstream(p) << "x";
}

std::string slash(const fs::path& p) {
    return p.string() + "/";
}

} // namespace

TEST(FolderWalk, FolderWithoutSubFoldersIsLeftUnchanged) {
    test::TempDir dir;
    touch(dir.path() / "a.db");
    test::FakeUserInterface ui;
    std::vector<std::string> list{slash(dir.path())};
    GetSubDirectories2016(ui, list, true);
    EXPECT_EQ(list, std::vector<std::string>{slash(dir.path())});
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(FolderWalk, BreadthFirstAcrossSeveralGivenFolders) {
    test::TempDir dir;
    const fs::path r = dir.path();
    fs::create_directories(r / "one" / "B");
    fs::create_directories(r / "one" / "a" / "C");
    fs::create_directories(r / "two" / "x");
    test::FakeUserInterface ui;
    std::vector<std::string> list{slash(r / "one"), slash(r / "two")};
    GetSubDirectories2016(ui, list, true);
    std::vector<std::string> expected{slash(r / "one"),        slash(r / "two"),
                                      slash(r / "one") + "a/", slash(r / "one") + "B/",
                                      slash(r / "two") + "x/", slash(r / "one") + "a/C/"};
    EXPECT_EQ(list, expected);

    // Without recursion only the first level is added.
    std::vector<std::string> flat{slash(r / "one")};
    GetSubDirectories2016(ui, flat, false);
    EXPECT_EQ(flat, (std::vector<std::string>{slash(r / "one"), slash(r / "one") + "a/",
                                              slash(r / "one") + "B/"}));
    EXPECT_GT(ui.eventPumps, 0);
    EXPECT_TRUE(ui.boxes.empty());
}

// The whole tree: three levels, hidden folders, odd names, a folder that refuses listing,
// a link back to the top and a link to a sibling.
TEST(FolderWalk, TreeWithHiddenOddUnreadableAndLoopingFolders) {
    test::TempDir dir;
    const fs::path r = dir.path();
    fs::create_directories(r / "A" / "C" / "E");
    fs::create_directories(r / "B" / "D");
    fs::create_directories(r / ".hidden" / "inside");
    fs::create_directories(r / ".readonly-hidden");
    fs::create_directories(r / "odd?name");
    fs::create_directories(r / "tab\tname");
    fs::create_directories(r / "bad\xFFname");
    fs::create_directories(r / "locked" / "under");
    fs::create_directory_symlink("../..", r / "A" / "C" / "up");
    fs::create_directory_symlink("B", r / "link-to-B");
    fs::create_directory_symlink("B", r / ".alias");
    ::chmod((r / ".readonly-hidden").c_str(), 0555);
    ::chmod((r / "locked").c_str(), 0);

    RefusingFolders folders;
    folders.denied.insert(slash(r / "locked"));
    test::FakeUserInterface ui;
    std::vector<std::string> list{slash(r)};
    GetSubDirectories2016(ui, list, true, folders);

    const std::string top = slash(r);
    std::vector<std::string> expected{top,          top + ".readonly-hidden/", top + "A/",
                                      top + "B/",   top + "link-to-B/",        top + "A/C/",
                                      top + "B/D/", top + "link-to-B/D/",      top + "A/C/E/"};
    EXPECT_EQ(list, expected);
    // The refused folder was tried, the hidden ones and the odd names never.
    std::set<std::string> tried(folders.listed.begin(), folders.listed.end());
    EXPECT_TRUE(tried.count(top + "locked/"));
    EXPECT_FALSE(tried.count(top + ".hidden/"));
    EXPECT_FALSE(tried.count(top + ".alias/"));
    EXPECT_FALSE(tried.count(top + "odd?name/"));
    EXPECT_FALSE(tried.count(top + "A/C/up/"));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(FolderWalk, RefusedListingRemovesTheFolderOtherFailuresKeepIt) {
    test::TempDir dir;
    const fs::path r = dir.path();
    fs::create_directories(r / "P" / "q");
    fs::create_directories(r / "S" / "t");
    ::chmod((r / "P").c_str(), 0);
    RefusingFolders folders;
    folders.denied.insert(slash(r / "P"));
    folders.broken.insert(slash(r / "S"));
    test::FakeUserInterface ui;
    std::vector<std::string> list{slash(r / "P"), slash(r / "S"), slash(r / "gone")};
    GetSubDirectories2016(ui, list, true, folders);
    // Only the refused folder goes; a folder that is not there is skipped but kept.
    std::vector<std::string> expected{slash(r / "S"), slash(r / "gone")};
    EXPECT_EQ(list, expected);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(FolderWalk, PathsOf260CharactersAreNotEntered) {
    test::TempDir dir;
    fs::path p = dir.path();
    const std::string name(50, 'n');
    std::vector<std::string> chain;
    while (slash(p).size() < 300) {
        p /= name;
        chain.push_back(slash(p));
    }
    fs::create_directories(p);
    test::FakeUserInterface ui;
    std::vector<std::string> list{slash(dir.path())};
    GetSubDirectories2016(ui, list, true);
    // Every folder is listed down to the first path of 260 or more, which is not entered.
    std::vector<std::string> expected{slash(dir.path())};
    for (const auto& c : chain) {
        expected.push_back(c);
        if (c.size() >= 260)
            break;
    }
    EXPECT_EQ(list, expected);
    EXPECT_GE(list.back().size(), 260u);
    EXPECT_LT(list[list.size() - 2].size(), 260u);
}

TEST(FolderWalk, DriveRootIsEnteredWhateverItsAttributes) {
    struct AllHiddenSystem : FolderSystem {
        mutable int listings = 0;
        long attributes(const std::string&) const override { return attr::HiddenSystemFolder; }
        std::vector<std::string> subFolderNames(const std::string&) const override {
            ++listings;
            return {"tmp"};
        }
    } folders;
    test::FakeUserInterface ui;
    std::vector<std::string> list{"/"};
    GetSubDirectories2016(ui, list, false, folders);
    EXPECT_EQ(folders.listings, 1);
    // Its sub-folder is not root, and with the same attributes it is left out.
    EXPECT_EQ(list, std::vector<std::string>{"/"});
    EXPECT_TRUE(IsDriveRoot("/"));
    EXPECT_TRUE(IsDriveRoot("//"));
    EXPECT_FALSE(IsDriveRoot("/tmp/"));
    EXPECT_FALSE(IsDriveRoot(""));
}

TEST(FolderWalk, FailedAttributeTestIsReportedAndTheFolderEntered) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "sub");
    struct NoAttributes : FolderSystem {
        long attributes(const std::string&) const override {
            throw Error(code::PathFileAccess, "Path/File access error");
        }
    } folders;
    test::FakeUserInterface ui;
    std::vector<std::string> list{slash(dir.path())};
    GetSubDirectories2016(ui, list, false, folders);
    // Entered at 116 in spite of the failure; its sub-folder fails again at 158 and is added.
    EXPECT_EQ(list, (std::vector<std::string>{slash(dir.path()), slash(dir.path() / "sub")}));
    ASSERT_EQ(ui.boxes.size(), 2u);
    const std::string report = "Path/File access error\r\nin "
                               "Brindlecap2021/08/31.AddFolder.GetSubDirectories2016 at line ";
    EXPECT_EQ(ui.boxes[0].text, report + "116\r\rPlease email screenshot of this message to "
                                         "support@quillmend.example");
    EXPECT_EQ(ui.boxes[1].text, report + "158\r\rPlease email screenshot of this message to "
                                         "support@quillmend.example");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::Ok);
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_EQ(ui.boxes[0].title, "Application Error");
}

TEST(FolderWalk, AttributeValuesOnThisPlatform) {
    test::TempDir dir;
    const fs::path r = dir.path();
    fs::create_directories(r / "plain");
    fs::create_directories(r / ".dot");
    fs::create_directories(r / ".dotro");
    ::chmod((r / ".dotro").c_str(), 0555);
    fs::create_directory_symlink("plain", r / "link");
    fs::create_directory_symlink("plain", r / ".dotlink");
    const FolderSystem& f = platformFolders();
    EXPECT_EQ(f.attributes(slash(r / "plain")), 16);
    EXPECT_EQ(f.attributes(slash(r / ".dot")), 22);
    EXPECT_EQ(f.attributes(slash(r / ".dotro")), 23);
    EXPECT_EQ(f.attributes((r / "link").string()), 1040);
    EXPECT_EQ(f.attributes(slash(r / ".dotlink")), 1046);
    try {
        f.attributes(slash(r / "missing"));
        ADD_FAILURE() << "attributes of a missing folder";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::PathNotFound);
    }
}

TEST(FolderWalk, OddNames) {
    EXPECT_FALSE(NameHasOddCharacters(""));
    EXPECT_FALSE(NameHasOddCharacters("Orders 2021 (copy) ~ é ß € 日本"));
    EXPECT_TRUE(NameHasOddCharacters("a?b"));
    EXPECT_TRUE(NameHasOddCharacters("tab\there"));
    EXPECT_TRUE(NameHasOddCharacters(std::string("nul\0x", 5)));
    EXPECT_TRUE(NameHasOddCharacters("del\x7F"));
    EXPECT_TRUE(NameHasOddCharacters("c1\xC2\x85"));    // U+0085
    EXPECT_TRUE(NameHasOddCharacters("c1\xC2\x9F"));    // U+009F
    EXPECT_FALSE(NameHasOddCharacters("nbsp\xC2\xA0")); // U+00A0
    EXPECT_TRUE(NameHasOddCharacters("latin1 \xE9"));   // not UTF-8
    EXPECT_FALSE(NameHasOddCharacters("~$lock"));
}

TEST(FileListing, SequenceIsOneBasedOrHoldsOnlyPositionZero) {
    test::TempDir dir;
    for (int i = 0; i < 120; ++i)
        touch(dir.path() / ("t" + std::to_string(1000 + i) + ".db"));
    touch(dir.path() / "other.txt");
    FileNameSequence seq = GetFilesInFolder(dir.path().string(), "*.db");
    EXPECT_EQ(seq.lowerBound(), 1);
    ASSERT_EQ(seq.upperBound(), 120);
    EXPECT_EQ(seq[1], "t1000.db");
    EXPECT_EQ(seq[120], "t1119.db");
    EXPECT_THROW(seq[0], Error);
    EXPECT_THROW(seq[121], Error);

    FileNameSequence none = GetFilesInFolder(slash(dir.path()), "*.mb");
    EXPECT_EQ(none.lowerBound(), 0);
    EXPECT_EQ(none.upperBound(), 0);
    EXPECT_EQ(none[0], "");
    int loops = 0;
    for (int i = 1; i <= none.upperBound(); ++i)
        ++loops;
    EXPECT_EQ(loops, 0);
    EXPECT_EQ(GetFilesInFolder((dir.path() / "missing").string(), "*.db").upperBound(), 0);
}

TEST(FileListing, OnlyOpenableFilesOfAnyCaseAndHiddenOnesCount) {
    test::TempDir dir;
    const fs::path r = dir.path();
    touch(r / "orders.DB");
    touch(r / "Orders.db");
    touch(r / "ORDERS.DB");
    touch(r / ".hidden.db");
    touch(r / "x.dbf");
    touch(r / "nodot_db");
    fs::create_directory(r / "folder.db");
    fs::create_symlink("nowhere.db", r / "broken.db");
    fs::create_symlink("ORDERS.DB", r / "alias.db");
    ASSERT_EQ(::mkfifo((r / "pipe.db").c_str(), 0600), 0);
    FileNameSequence seq = GetFilesInFolder(r.string(), "*.db");
    EXPECT_EQ(seq.names(), (std::vector<std::string>{".hidden.db", "alias.db", "ORDERS.DB",
                                                     "Orders.db", "orders.DB"}));

    EXPECT_TRUE(FileIsPresent((r / "Orders.db").string()));
    EXPECT_TRUE(FileIsPresent((r / "alias.db").string()));
    EXPECT_FALSE(FileIsPresent((r / "broken.db").string()));
    EXPECT_FALSE(FileIsPresent((r / "folder.db").string()));
    EXPECT_FALSE(FileIsPresent((r / "pipe.db").string()));
    EXPECT_FALSE(FileIsPresent((r / "missing.db").string()));
    EXPECT_FALSE(FileIsPresent(""));
}

TEST(FileListing, WildcardsMatchWithoutCase) {
    EXPECT_TRUE(MatchesPattern("Orders.DB", "*.db"));
    EXPECT_TRUE(MatchesPattern(".db", "*.db"));
    EXPECT_FALSE(MatchesPattern("orders.dbf", "*.db"));
    EXPECT_FALSE(MatchesPattern("orders.db.bak", "*.db"));
    EXPECT_TRUE(MatchesPattern("a.b.db", "*.db"));
    EXPECT_TRUE(MatchesPattern("\xC3\xA9t\xC3\xA9.db", "\xC3\x89T?.DB")); // étÉ
    EXPECT_TRUE(MatchesPattern("anything", "*"));
    EXPECT_FALSE(MatchesPattern("ab", "a?b"));
    // A byte that is not UTF-8 (a name written in Latin-1) is one character of its own, and
    // keeps its case; the valid characters around it still change theirs.
    EXPECT_TRUE(MatchesPattern("caf\xE9.db", "CAF?.DB"));
    EXPECT_FALSE(MatchesPattern("caf\xE9.db", "CAF??.DB"));
    EXPECT_EQ(upperCase("caf\xE9 \xC3\xA9\xC3"), "CAF\xE9 \xC3\x89\xC3");
}

TEST(FolderPicker, ChoiceGoesThroughTheSeam) {
    test::FakeUserInterface ui;
    ui.folderAnswers.push_back(std::string("/data/db\0garbage", 16));
    EXPECT_EQ(BrowseForFolder(ui, "Please select folder:", "/data"), "/data/db");
    EXPECT_EQ(BrowseForFolder(ui, "Please select folder:", ""), "");
    ASSERT_EQ(ui.folderRequests.size(), 2u);
    EXPECT_EQ(ui.folderRequests[0],
              (std::pair<std::string, std::string>{"Please select folder:", "/data"}));
    EXPECT_TRUE(ui.boxes.empty());
}
