#include "paradox/family_swap.h"
#include "paradox/patcher.h"
#include "paradox/writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

using namespace qm::paradox;
namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

void put(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

Files contents(const fs::path& folder) {
    Files m;
    if (!fs::exists(folder))
        return m;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) {
            std::ifstream in(e.path(), std::ios::binary);
            m[fs::relative(e.path(), folder).string()] = {std::istreambuf_iterator<char>(in),
                                                          std::istreambuf_iterator<char>()};
        }
    return m;
}

// The old family: .DB, .MB, .PX and a .VAL that the rewrite retires.
const Files kOld = {{"Stock.DB", std::string(5000, 'o')},
                    {"Stock.MB", std::string(8192, 'm')},
                    {"Stock.px", "old index"},
                    {"STOCK.VAL", "old checks"},
                    {"Other.DB", "not ours"}};
// The new family: .DB and .MB replaced, a new .PX, no .VAL.
const Files kNew = {{"Stock.DB", std::string(7000, 'n')},
                    {"Stock.MB", std::string(4096, 'M')},
                    {"Stock.px", "new index"},
                    {"Other.DB", "not ours"}};

void seed(const fs::path& folder) {
    for (const auto& [name, bytes] : kOld)
        put(folder / name, bytes);
}

// The whole rewrite as the program does it: announce, write, commit.
void rewrite(const fs::path& folder, const fs::path& backups) {
    FamilySwap swap(folder / "Stock.DB", backups);
    put(swap.newFile(".db"), kNew.at("Stock.DB"));
    put(swap.newFile(".mb"), kNew.at("Stock.MB"));
    put(swap.newFile(".px"), kNew.at("Stock.px"));
    swap.retireRestOfFamily();
    swap.commit();
}

// Runs fn in a child that SIGKILLs itself at step n; true when it was killed.
template <class Fn> bool killedAt(int n, Fn fn) {
    pid_t pid = ::fork();
    if (pid == 0) {
        testhooks::setSwapStepHook([n](int step) {
            if (step == n)
                ::raise(SIGKILL);
        });
        try {
            fn();
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGKILL;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    return false;
}

// After recovery the folder holds exactly the old family or exactly the new one, nothing else;
// with the new one, the old files are all in one backup folder.
void expectOldOrNew(const fs::path& folder, const fs::path& backups, int n, int& olds, int& news) {
    const Files now = contents(folder);
    if (now == kOld) {
        ++olds;
    } else {
        ASSERT_EQ(now, kNew) << "killed at step " << n;
        ++news;
        Files saved = contents(backups);
        Files expected;
        for (const auto& [rel, bytes] : saved)
            if (fs::path(rel).filename() != "ORIGIN.txt")
                expected[fs::path(rel).filename().string()] = bytes;
        Files oldMembers = kOld;
        oldMembers.erase("Other.DB");
        EXPECT_EQ(expected, oldMembers) << "killed at step " << n;
    }
    EXPECT_TRUE(fs::is_empty(backups / "pending")) << "killed at step " << n;
}

} // namespace

// SIGKILL after every single step of a table rewrite, then the recovery of the next start.
TEST(KillDuringSwap, EveryStepEndsExactlyOldOrExactlyNew) {
    int olds = 0, news = 0, n = 0;
    for (;; ++n) {
        qm::test::TempDir folder, backups;
        seed(folder.path());
        bool killed = killedAt(n, [&] { rewrite(folder.path(), backups.path()); });
        auto report = recoverPendingSwaps(backups.path());
        // Killed before its journal existed or after removing it, a rewrite leaves nothing to do.
        EXPECT_LE(report.size(), killed ? 1u : 0u) << "killed at step " << n;
        expectOldOrNew(folder.path(), backups.path(), n, olds, news);
        if (!killed)
            break;
    }
    EXPECT_GT(n, 15);
    EXPECT_GT(olds, 5);
    EXPECT_GT(news, 1);
}

// The recovery itself is killed at every step, and the start after that recovers again.
TEST(KillDuringSwap, KilledRecoveryIsRecoveredAgain) {
    int olds = 0, news = 0, cases = 0;
    for (int n = 0; n < 40; n += 3) {
        for (int m = 0;; ++m) {
            qm::test::TempDir folder, backups;
            seed(folder.path());
            if (!killedAt(n, [&] { rewrite(folder.path(), backups.path()); }))
                break;
            bool killed = killedAt(m, [&] { recoverPendingSwaps(backups.path()); });
            recoverPendingSwaps(backups.path());
            expectOldOrNew(folder.path(), backups.path(), n * 1000 + m, olds, news);
            ++cases;
            if (!killed)
                break;
        }
    }
    EXPECT_GT(cases, 20);
    EXPECT_GT(olds, 0);
    EXPECT_GT(news, 0);
}

// The same for a real change of a keyed table with memos: killed at every step, the table is
// afterwards byte for byte the old one or the one an uninterrupted run produces.
TEST(KillDuringSwap, PatchedTableIsOldOrNewAfterEveryKill) {
    qm::test::TempDir original;
    TableSpec spec;
    spec.level = 12;
    spec.keyFields = 1;
    spec.fields = {
        {"Id", FieldType::Long, 0}, {"Text", FieldType::Alpha, 20}, {"Memo", FieldType::Memo, 20}};
    {
        TableWriter w(familyPathsFor(original.path() / "Parts.DB"), spec);
        for (int i = 0; i < 500; ++i)
            w.add(std::vector<Value>{Value{std::int64_t{i}, std::nullopt},
                                     Value{"part " + std::to_string(i), std::nullopt},
                                     Value{std::string(30 + i, 'a'), std::nullopt}});
        w.finish();
    }
    // A validity file with no checks: it travels with the table, untouched.
    std::string val(0x35, '\0');
    val[1] = 0x0C;
    put(original.path() / "Parts.VAL", val);
    std::vector<Change> changes;
    {
        Table t = Table::open(original.path() / "Parts.DB");
        int i = 0;
        t.forEachRecord([&](const Record& r) {
            if (i % 50 == 0) {
                changes.push_back({r.fileOffset(), 1, "changed " + std::to_string(i)});
                changes.push_back({r.fileOffset(), 2, std::string(3000 + i, 'b')});
            }
            ++i;
        });
    }
    const Files oldFiles = contents(original.path());
    Files newFiles;
    {
        qm::test::TempDir folder, backups;
        fs::copy(original.path(), folder.path(), fs::copy_options::recursive);
        patchTable(folder.path() / "Parts.DB", changes, backups.path());
        newFiles = contents(folder.path());
    }
    ASSERT_NE(oldFiles, newFiles);
    ASSERT_EQ(newFiles.at("Parts.PX"), oldFiles.at("Parts.PX"));
    int olds = 0, news = 0, n = 0;
    for (;; ++n) {
        qm::test::TempDir folder, backups;
        fs::copy(original.path(), folder.path(), fs::copy_options::recursive);
        bool killed =
            killedAt(n, [&] { patchTable(folder.path() / "Parts.DB", changes, backups.path()); });
        recoverPendingSwaps(backups.path());
        const Files now = contents(folder.path());
        if (now == oldFiles) {
            ++olds;
        } else {
            ASSERT_EQ(now, newFiles) << "killed at step " << n;
            ++news;
        }
        EXPECT_TRUE(fs::is_empty(backups.path() / "pending"));
        if (!killed)
            break;
    }
    EXPECT_GT(olds, 5);
    EXPECT_GT(news, 1);
}

// A changed key rewrites the .db in key order and the .PX: killed at any step, the table is its
// old family or its new one, index and all.
TEST(KillDuringSwap, ReSortedTableAndItsIndexAreOldOrNewAfterEveryKill) {
    qm::test::TempDir original;
    TableSpec spec;
    spec.level = 12;
    spec.keyFields = 1;
    spec.fields = {{"Id", FieldType::Long, 0}, {"Text", FieldType::Alpha, 20}};
    {
        TableWriter w(familyPathsFor(original.path() / "Parts.DB"), spec);
        for (int i = 0; i < 500; ++i)
            w.add(std::vector<Value>{Value{std::int64_t{i}, std::nullopt},
                                     Value{"part " + std::to_string(i), std::nullopt}});
        w.finish();
    }
    std::vector<Change> changes;
    {
        Table t = Table::open(original.path() / "Parts.DB");
        int i = 0;
        t.forEachRecord([&](const Record& r) {
            if (i % 50 == 0)
                changes.push_back({r.fileOffset(), 0, std::to_string(100000 - i)});
            ++i;
        });
    }
    const Files oldFiles = contents(original.path());
    Files newFiles;
    {
        qm::test::TempDir folder, backups;
        fs::copy(original.path(), folder.path(), fs::copy_options::recursive);
        patchTable(folder.path() / "Parts.DB", changes, backups.path());
        newFiles = contents(folder.path());
    }
    ASSERT_NE(newFiles.at("Parts.PX"), oldFiles.at("Parts.PX"));
    ASSERT_NE(newFiles.at("Parts.DB"), oldFiles.at("Parts.DB"));
    int olds = 0, news = 0, n = 0;
    for (;; ++n) {
        qm::test::TempDir folder, backups;
        fs::copy(original.path(), folder.path(), fs::copy_options::recursive);
        bool killed =
            killedAt(n, [&] { patchTable(folder.path() / "Parts.DB", changes, backups.path()); });
        recoverPendingSwaps(backups.path());
        const Files now = contents(folder.path());
        if (now == oldFiles) {
            ++olds;
        } else {
            ASSERT_EQ(now, newFiles) << "killed at step " << n;
            ++news;
        }
        if (!killed)
            break;
    }
    EXPECT_GT(olds, 5);
    EXPECT_GT(news, 1);
}
