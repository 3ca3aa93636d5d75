#include "file_bytes.h"
#include "paradox/family_swap.h"
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using namespace qm::paradox;
namespace fs = std::filesystem;
using qm::test::fileText;
using qm::test::folderFiles;
using qm::test::writeFileText;

namespace {

struct Folders {
    qm::test::TempDir tables, backups;
    fs::path db() const { return tables.path() / "CUSTOMER.DB"; }
    void seed() {
        writeFileText(tables.path() / "CUSTOMER.DB", "old db");
        writeFileText(tables.path() / "CUSTOMER.MB", "old mb");
        writeFileText(tables.path() / "CUSTOMER.PX", "old px");
        writeFileText(tables.path() / "other.db", "someone else");
    }
    std::vector<fs::path> backupDirs() const {
        std::vector<fs::path> v;
        for (const auto& e : fs::directory_iterator(backups.path()))
            if (e.path().filename() != "pending")
                v.push_back(e.path());
        return v;
    }
    bool journalsLeft() const {
        return fs::exists(backups.path() / "pending") && !fs::is_empty(backups.path() / "pending");
    }
};

} // namespace

// The replaced members keep their exact names; untouched members stay; the old files end up in
// a backup folder outside the table's folder, and nothing temporary remains.
TEST(FamilySwap, ReplacesKeepingNamesAndBacksUpTheOldFiles) {
    Folders f;
    f.seed();
    fs::path backup;
    {
        FamilySwap swap(f.tables.path() / "customer.db", f.backups.path());
        writeFileText(swap.newFile(".db"), "new db");
        writeFileText(swap.newFile(".mb"), "new mb");
        EXPECT_EQ(swap.finalPath(".mb").filename(), "CUSTOMER.MB");
        backup = swap.commit();
    }
    auto now = folderFiles(f.tables.path());
    EXPECT_EQ(now, (std::map<std::string, std::string>{{"CUSTOMER.DB", "new db"},
                                                       {"CUSTOMER.MB", "new mb"},
                                                       {"CUSTOMER.PX", "old px"},
                                                       {"other.db", "someone else"}}));
    ASSERT_FALSE(backup.empty());
    auto old = folderFiles(backup);
    EXPECT_EQ(old["CUSTOMER.DB"], "old db");
    EXPECT_EQ(old["CUSTOMER.MB"], "old mb");
    EXPECT_EQ(old.count("CUSTOMER.PX"), 0u);
    EXPECT_FALSE(f.journalsLeft());
}

// A table rewritten as a whole takes its stale index and validity files out with it; a member
// that did not exist takes the case of the table's extension.
TEST(FamilySwap, WholeFamilyReplacementRetiresStaleMembers) {
    Folders f;
    writeFileText(f.tables.path() / "Orders.db", "old");
    writeFileText(f.tables.path() / "ORDERS.px", "old px");
    writeFileText(f.tables.path() / "orders.X02", "old x");
    writeFileText(f.tables.path() / "Orders.VAL", "old val");
    writeFileText(f.tables.path() / "Orders.txt", "not a family member");
    FamilySwap swap(f.tables.path() / "Orders.db", f.backups.path());
    writeFileText(swap.newFile(".db"), "new");
    writeFileText(swap.newFile(".mb"), "new mb");
    swap.retireRestOfFamily();
    fs::path backup = swap.commit();
    EXPECT_EQ(folderFiles(f.tables.path()),
              (std::map<std::string, std::string>{{"Orders.db", "new"},
                                                  {"Orders.mb", "new mb"},
                                                  {"Orders.txt", "not a family member"}}));
    auto old = folderFiles(backup);
    EXPECT_EQ(old.size(), 5u); // four members and the note of where they came from
    EXPECT_EQ(old["orders.X02"], "old x");
    EXPECT_EQ(old["Orders.VAL"], "old val");
}

// A failure at any step of the swap itself puts the old files back and leaves nothing behind.
TEST(FamilySwap, FailureAtAnyStepPutsTheOldFilesBack) {
    int failedAt = 0;
    for (int n = 0;; ++n) {
        Folders f;
        f.seed();
        const auto before = folderFiles(f.tables.path());
        FamilySwap swap(f.db(), f.backups.path());
        writeFileText(swap.newFile(".db"), "new db");
        writeFileText(swap.newFile(".mb"), "new mb");
        writeFileText(swap.newFile(".val"), "new val");
        bool threw = false;
        testhooks::setSwapStepHook([n](int step) {
            if (step == n)
                throw std::runtime_error("disk full");
        });
        try {
            swap.commit();
        } catch (const std::runtime_error&) {
            threw = true;
        }
        testhooks::setSwapStepHook(nullptr);
        auto after = folderFiles(f.tables.path());
        if (!threw) {
            EXPECT_EQ(after["CUSTOMER.DB"], "new db");
            EXPECT_EQ(after["CUSTOMER.VAL"], "new val");
            break;
        }
        failedAt = n;
        // Before the commit point the old family is back; after it, the new one stays and the
        // old files wait for the backup (journal kept).
        if (after["CUSTOMER.DB"] == "old db") {
            EXPECT_EQ(after, before) << "step " << n;
            EXPECT_FALSE(f.journalsLeft()) << "step " << n;
        } else {
            recoverPendingSwaps(f.backups.path());
            after = folderFiles(f.tables.path());
            EXPECT_EQ(after.size(), 5u) << "step " << n;
            EXPECT_EQ(after["CUSTOMER.MB"], "new mb");
            EXPECT_FALSE(f.journalsLeft());
        }
    }
    EXPECT_GT(failedAt, 8);
}

TEST(FamilySwap, AbandonedSwapRemovesItsTemporaryFiles) {
    Folders f;
    f.seed();
    const auto before = folderFiles(f.tables.path());
    {
        FamilySwap swap(f.db(), f.backups.path());
        writeFileText(swap.newFile(".db"), "half written");
    }
    EXPECT_EQ(folderFiles(f.tables.path()), before);
    EXPECT_FALSE(f.journalsLeft());

    // A new file that was announced but never written makes the commit fail harmlessly.
    FamilySwap swap(f.db(), f.backups.path());
    swap.newFile(".db");
    EXPECT_THROW(swap.commit(), FileError);
    EXPECT_EQ(folderFiles(f.tables.path()), before);
}

TEST(FamilySwap, RefusesABackupFolderInsideTheTableFolder) {
    Folders f;
    f.seed();
    EXPECT_THROW(FamilySwap(f.db(), f.tables.path() / "backups"), FileError);
    EXPECT_THROW(FamilySwap(f.db(), f.tables.path()), FileError);
    EXPECT_FALSE(fs::exists(f.tables.path() / "backups"));
}

TEST(FamilySwap, DefaultBackupRootIsInTheUsersDataFolder) {
    const char* old = std::getenv("XDG_DATA_HOME");
    std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(defaultBackupRoot(), fs::path("/data/home/Quillmend/backups"));
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", std::getenv("HOME") ? std::getenv("HOME") : "/h", 1);
    EXPECT_EQ(defaultBackupRoot(),
              fs::path(std::getenv("HOME")) / ".local/share/Quillmend/backups");
    if (old)
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
}

// A table written anew replaces the whole old family, keyed or not, under the old names.
TEST(FamilySwap, ReplaceTableWritesANewFamilyInPlace) {
    Folders f;
    f.seed();
    TableSpec spec;
    spec.fields = {{"Name", FieldType::Alpha, 10}, {"Notes", FieldType::Memo, 15}};
    fs::path backup = replaceTable(
        f.tables.path() / "customer.db", spec,
        [](TableWriter& w) {
            for (int i = 0; i < 50; ++i)
                w.add(std::vector<Value>{Value{"n" + std::to_string(i), std::nullopt},
                                         Value{std::string(20 + i, 'q'), std::nullopt}});
        },
        f.backups.path());
    auto now = folderFiles(f.tables.path());
    EXPECT_EQ(now.size(), 3u); // CUSTOMER.DB, CUSTOMER.MB, other.db: the old .PX is retired
    EXPECT_EQ(now.count("CUSTOMER.PX"), 0u);
    EXPECT_EQ(folderFiles(backup)["CUSTOMER.PX"], "old px");
    auto d = qm::test::decodeWithReference(f.tables.path() / "CUSTOMER.DB");
    ASSERT_EQ(d.status, 0);
    ASSERT_EQ(d.rows.size(), 50u);
    EXPECT_EQ(d.rows[49][1], std::string(69, 'q'));
    // The header names the table, not the temporary file it was written as.
    Table t = Table::open(f.tables.path() / "CUSTOMER.DB");
    EXPECT_EQ(t.header().tableName, "CUSTOMER.DB");

    // A table that did not exist is simply created.
    replaceTable(
        f.tables.path() / "fresh.db", spec, [](TableWriter&) {}, f.backups.path());
    EXPECT_TRUE(fs::exists(f.tables.path() / "fresh.db"));
    EXPECT_TRUE(fs::exists(f.tables.path() / "fresh.mb"));
}

// Backups on another file system are copied, flushed and only then removed from the folder.
TEST(FamilySwap, BackupOnAnotherFileSystem) {
    Folders f;
    f.seed();
    struct stat a {
    }, b{};
    const fs::path other = "/dev/shm";
    if (::stat(other.c_str(), &b) != 0 || ::stat(f.tables.path().c_str(), &a) != 0 ||
        a.st_dev == b.st_dev || ::access(other.c_str(), W_OK) != 0)
        GTEST_SKIP() << "no second writable file system";
    const fs::path root = other / ("qm-swap-test-" + std::to_string(::getpid()));
    {
        FamilySwap swap(f.db(), root);
        writeFileText(swap.newFile(".db"), "new db");
        fs::path backup = swap.commit();
        EXPECT_EQ(fileText(backup / "CUSTOMER.DB"), "old db");
        EXPECT_FALSE(fs::exists(backup / "CUSTOMER.DB.part"));
    }
    EXPECT_EQ(folderFiles(f.tables.path()).size(), 4u);
    EXPECT_EQ(fileText(f.db()), "new db");
    fs::remove_all(root);
}
