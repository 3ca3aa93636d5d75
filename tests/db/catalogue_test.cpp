#include "app/error.h"
#include "app/error_report.h"
#include "db/catalogue.h"
#include "fake_user_interface.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {
void PrintTo(const TableRow& r, std::ostream* os) {
    *os << "{" << r.name << ", " << r.folder << ", " << r.fileName << "}";
}
} // namespace qm

using namespace qm;
namespace fs = std::filesystem;

namespace {

struct RecordingList : TableList {
    std::vector<TableRow> rows;
    int clears = 0;
    void clear() override {
        ++clears;
        rows.clear();
    }
    void appendUnchecked(const TableRow& row) override { rows.push_back(row); }
};

// See folders_test.cpp: as root a folder without permissions still lists, so the refusal
// is made in the file-system layer too.
struct RefusingFolders : FolderSystem {
    std::set<std::string> deniedFolders;
    std::set<std::string> deniedFiles;
    std::vector<std::string> subFolderNames(const std::string& folder) const override {
        if (deniedFolders.count(folder) && ::geteuid() == 0)
            throw Error(code::PermissionDenied, "Permission denied");
        return FolderSystem::subFolderNames(folder);
    }
    std::vector<std::string> fileNames(const std::string& folder,
                                       const std::string& pattern) const override {
        if (deniedFiles.count(folder))
            throw Error(code::PermissionDenied, "Permission denied");
        return FolderSystem::fileNames(folder, pattern);
    }
};

void touch(const fs::path& p) {
    std::ofstream(p) << "x";
}

} // namespace

TEST(TableName, EveryDotDbGoesAfterUpperCasing) {
    EXPECT_EQ(TableNameFromFile("Orders.db"), "ORDERS");
    EXPECT_EQ(TableNameFromFile("orders.DB"), "ORDERS");
    EXPECT_EQ(TableNameFromFile("Sales.DB.db"), "SALES");
    EXPECT_EQ(TableNameFromFile("MY.DBASE.db"), "MYASE");
    EXPECT_EQ(TableNameFromFile(".db"), "");
    EXPECT_EQ(TableNameFromFile("a.d.b.db"), "A.D.B");
    EXPECT_EQ(TableNameFromFile("caf\xC3\xA9.db"), "CAF\xC3\x89");
}

// The tree of the folder walk test, with table files in it: the rows come in walk order,
// each with the real folder its file was found in.
TEST(Catalogue, RowsOfAFolderTreeInWalkOrderWithTheirFolders) {
    test::TempDir dir;
    const fs::path r = dir.path();
    fs::create_directories(r / "A" / "C" / "E");
    fs::create_directories(r / "B" / "D");
    fs::create_directories(r / ".hidden");
    fs::create_directories(r / ".readonly-hidden");
    fs::create_directories(r / "odd?name");
    fs::create_directories(r / "locked");
    fs::create_directory(r / "folder.db");
    fs::create_directory_symlink("../..", r / "A" / "C" / "up");
    fs::create_directory_symlink("B", r / "link-to-B");
    for (const char* f : {"orders.DB", "Orders.db", "ORDERS.DB", "~ORDERS.db", "Sales.DB.db",
                          "MY.DBASE.db", ".hidden.db", "notes.txt"})
        touch(r / f);
    fs::create_symlink("gone.db", r / "broken.db");
    touch(r / ".hidden" / "inner.db");
    touch(r / ".readonly-hidden" / "ro.db");
    touch(r / "odd?name" / "odd.db");
    touch(r / "locked" / "locked.db");
    touch(r / "B" / "D" / "orders.db");
    touch(r / "A" / "C" / "E" / "deep.db");
    ::chmod((r / ".readonly-hidden").c_str(), 0555);
    ::chmod((r / "locked").c_str(), 0);

    RefusingFolders folders;
    folders.deniedFolders.insert(r.string() + "/locked/");
    test::FakeUserInterface ui;
    FixedFolder current(r.string());
    RecordingList list;
    list.rows.push_back({"STALE", "/", "stale.db"});
    AddTablesToParadoxListbox(ui, current, list, folders);

    // Rows name real folders: link-to-B/D is B/D again and is listed once.
    const std::string top = fs::canonical(r).string();
    std::vector<TableRow> expected{
        {".HIDDEN", top, ".hidden.db"},
        {"MYASE", top, "MY.DBASE.db"},
        {"ORDERS", top, "ORDERS.DB"},
        {"ORDERS", top, "Orders.db"},
        {"ORDERS", top, "orders.DB"},
        {"SALES", top, "Sales.DB.db"},
        {"RO", top + "/.readonly-hidden", "ro.db"},
        {"ORDERS", top + "/B/D", "orders.db"},
        {"DEEP", top + "/A/C/E", "deep.db"},
    };
    EXPECT_EQ(list.clears, 1);
    EXPECT_EQ(list.rows, expected);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_GT(ui.eventPumps, 0);
}

TEST(Catalogue, EmptyFolderFieldEmptiesTheList) {
    test::FakeUserInterface ui;
    FixedFolder current("");
    RecordingList list;
    list.rows.push_back({"OLD", "/x", "old.db"});
    AddTablesToParadoxListbox(ui, current, list);
    EXPECT_EQ(list.clears, 1);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_FALSE(FolderHasParadoxTables(current));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(Catalogue, MissingFolderListsNothing) {
    test::TempDir dir;
    test::FakeUserInterface ui;
    FixedFolder current((dir.path() / "missing").string());
    RecordingList list;
    AddTablesToParadoxListbox(ui, current, list);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_FALSE(FolderHasParadoxTables(current));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(Catalogue, FailedFileListingIsReportedAndTheWalkGoesOn) {
    test::TempDir dir;
    const fs::path r = dir.path();
    fs::create_directories(r / "a");
    fs::create_directories(r / "b");
    touch(r / "a" / "x.db");
    touch(r / "b" / "y.db");
    RefusingFolders folders;
    folders.deniedFiles.insert(r.string() + "/a/");
    test::FakeUserInterface ui;
    FixedFolder current(r.string());
    RecordingList list;
    AddTablesToParadoxListbox(ui, current, list, folders);
    EXPECT_EQ(list.rows, (std::vector<TableRow>{{"Y", r.string() + "/b", "y.db"}}));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text,
              "Permission denied\r\nin Quillworks2021/08/31.Paradox.AddTablesToParadoxListbox "
              "at line 114\r\rPlease email screenshot of this message to "
              "support@quillmend.example");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::Ok);
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_EQ(ui.boxes[0].title, "Application Error");
}

TEST(Catalogue, FolderHasTablesLooksOnlyInTheFolderItself) {
    test::TempDir dir;
    const fs::path r = dir.path();
    fs::create_directories(r / "sub");
    touch(r / "sub" / "t.db");
    FixedFolder current(r.string());
    EXPECT_FALSE(FolderHasParadoxTables(current));
    touch(r / "~only.DB");
    EXPECT_TRUE(FolderHasParadoxTables(current));
    fs::remove(r / "~only.DB");
    touch(r / ".hidden.db");
    EXPECT_TRUE(FolderHasParadoxTables(current));
    current.set(r.string() + "/");
    EXPECT_TRUE(FolderHasParadoxTables(current));
    RefusingFolders folders;
    folders.deniedFiles.insert(r.string() + "/");
    current.set(r.string());
    EXPECT_THROW(FolderHasParadoxTables(current, folders), Error);
}
