// quillmend runs, undo and prune as processes of their own, on copies of the sample database:
// what they print, their exit status, the bytes of the tables they leave, and what the backups
// cost and what room a run needs for them.

#include "cli_process.h"
#include "lock_holder.h"
#include "small_disk.h"
#include "test_support.h"

#include "replace/run_lock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

Files tree(const fs::path& folder) {
    Files m;
    if (!fs::exists(folder))
        return m;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            m[fs::relative(e.path(), folder).string()] = slurp(e.path());
    return m;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
        out.push_back(text.substr(from, at - from));
    return out;
}

// The run names `runs` prints, in its order (its last line gives the total).
std::vector<std::string> runNames(const std::string& out) {
    std::vector<std::string> names;
    for (const auto& l : lines(out))
        if (!l.empty() && l[0] != '\t' && !l.starts_with("All backups take "))
            names.push_back(l.substr(0, l.find('\t')));
    return names;
}

// The backup folders a run record names, one per table.
std::vector<fs::path> recordedFolders(const fs::path& record) {
    std::vector<fs::path> folders;
    for (const auto& l : lines(slurp(record)))
        if (l.starts_with("table\t"))
            folders.push_back(l.substr(l.find('\t', 6) + 1, l.rfind('\t') - l.find('\t', 6) - 1));
    return folders;
}

class UndoCliTest : public QuillmendProcessTest {
  protected:
    void SetUp() override {
        QuillmendProcessTest::SetUp();
        db = samples();
    }

    ProcessOutput replace(const std::string& find, const std::string& with,
                          const std::string& table = "") {
        std::vector<std::string> args{"replace", db.string()};
        if (table.empty())
            args.push_back("--all");
        else
            args.insert(args.end(), {"--table", table});
        args.insert(args.end(), {"--find", find, "--replace", with});
        return quillmend(args);
    }

    fs::path db;
};

TEST_F(UndoCliTest, UndoPutsEveryTableBackByteForByteNewestRunFirstOrByName) {
    const ProcessOutput none = quillmend({"runs"});
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_TRUE(none.out.empty()) << none.out;
    const ProcessOutput nothing = quillmend({"undo"});
    EXPECT_EQ(nothing.status, 2) << nothing.out;
    EXPECT_NE(nothing.err.find("there is no run to undo"), std::string::npos) << nothing.err;

    const Files before = tree(db);
    ASSERT_EQ(replace("grey", "gray").status, 0);
    const Files afterFirst = tree(db);
    ASSERT_NE(afterFirst, before);
    // A dry run writes nothing back and keeps no record.
    ASSERT_EQ(quillmend({"replace", db.string(), "--all", "--find", "Folder", "--replace", "File",
                         "--dry-run"})
                  .status,
              0);
    ASSERT_EQ(replace("Folder", "File", "PRODUCTS").status, 0);
    const Files afterSecond = tree(db);
    ASSERT_NE(afterSecond, afterFirst);

    const ProcessOutput listed = quillmend({"runs"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    const auto names = runNames(listed.out);
    ASSERT_EQ(names.size(), 2u) << listed.out;
    const auto rows = lines(listed.out);
    ASSERT_EQ(rows.size(), 7u) << listed.out;
    // Each run's backups are the old files of its tables: a few KiB for these.
    EXPECT_TRUE(rows[0].starts_with(names[0] + "\t1 table\twritten\t")) << rows[0];
    EXPECT_TRUE(rows[0].ends_with(" KiB\tfind \"Folder\", replace with \"File\"")) << rows[0];
    EXPECT_EQ(rows[1], "\t" + (fs::canonical(db) / "Products.db").string());
    EXPECT_TRUE(rows[2].starts_with(names[1] + "\t3 tables\twritten\t")) << rows[2];
    EXPECT_TRUE(rows[2].ends_with(" KiB\tfind \"grey\", replace with \"gray\"")) << rows[2];
    EXPECT_TRUE(rows[6].starts_with("All backups take ")) << rows[6];
    EXPECT_NE(rows[6].find(" KiB in " + backups.string()), std::string::npos) << rows[6];

    // The newest run first: the tables are as the first run left them.
    const ProcessOutput last = quillmend({"undo"});
    EXPECT_EQ(last.status, 0) << last.err << last.out;
    EXPECT_EQ(last.out.rfind("Undone.\n\nRun " + names[0], 0), 0u) << last.out;
    EXPECT_NE(last.out.find("Products.db: put back as it was before the run; the files it "
                            "replaced are in " +
                            backups.string()),
              std::string::npos)
        << last.out;
    EXPECT_TRUE(tree(db) == afterFirst);

    // By name: every byte as before the first run, in every file of the folder.
    const ProcessOutput first = quillmend({"undo", names[1]});
    EXPECT_EQ(first.status, 0) << first.err << first.out;
    EXPECT_NE(first.out.find(": 3 put back, 0 left as they are."), std::string::npos) << first.out;
    EXPECT_TRUE(tree(db) == before);

    const ProcessOutput after = quillmend({"runs"});
    EXPECT_NE(after.out.find(names[0] + "\t1 table\tundone"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find(names[1] + "\t3 tables\tundone"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("Products.db\t(put back)"), std::string::npos) << after.out;

    // Nothing is left to undo, and a run is put back once.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"undo"}, {"undo", names[1]}, {"undo", "19990101-000000"}}) {
        const ProcessOutput o = quillmend(args);
        EXPECT_EQ(o.status, 2) << args.back() << ": " << o.out;
        EXPECT_NE(o.err.find("nothing was put back"), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty()) << o.out;
    }
    EXPECT_TRUE(tree(db) == before);
}

TEST_F(UndoCliTest, ATableChangedSinceTheRunIsLeftAloneUntilItIsBackToWhatTheRunWrote) {
    const Files before = tree(db);
    ASSERT_EQ(replace("grey", "gray").status, 0);
    const Files afterFirst = tree(db);
    const auto first = runNames(quillmend({"runs"}).out);
    ASSERT_EQ(first.size(), 1u);
    // A later run changes one of the first run's tables.
    ASSERT_EQ(replace("gray", "silver", "CUSTOMER").status, 0);
    const Files afterSecond = tree(db);

    const ProcessOutput refused = quillmend({"undo", first[0]});
    EXPECT_EQ(refused.status, 1) << refused.err << refused.out;
    EXPECT_EQ(refused.out.rfind("Not every table of the run could be put back.", 0), 0u)
        << refused.out;
    EXPECT_NE(refused.out.find("CUSTOMER.DB: not put back, its file CUSTOMER.DB changed after "
                               "the run wrote it; it was left as it is"),
              std::string::npos)
        << refused.out;
    EXPECT_NE(refused.out.find(": 2 put back, 1 left as it is."), std::string::npos) << refused.out;
    const Files now = tree(db);
    EXPECT_TRUE(now.at("CUSTOMER.DB") == afterSecond.at("CUSTOMER.DB")) << "left byte for byte";
    EXPECT_TRUE(now.at("ORDERS.DB") == before.at("ORDERS.DB"));
    EXPECT_TRUE(now.at("Products.db") == before.at("Products.db"));
    EXPECT_NE(quillmend({"runs"}).out.find(first[0] + "\t3 tables\tpartly undone"),
              std::string::npos);

    // Once the later run is undone, CUSTOMER is what the first run wrote, and goes back too.
    ASSERT_EQ(quillmend({"undo"}).status, 0);
    EXPECT_TRUE(tree(db).at("CUSTOMER.DB") == afterFirst.at("CUSTOMER.DB"));
    const ProcessOutput rest = quillmend({"undo", first[0]});
    EXPECT_EQ(rest.status, 0) << rest.err << rest.out;
    EXPECT_NE(rest.out.find("ORDERS.DB: an earlier undo put it back"), std::string::npos)
        << rest.out;
    EXPECT_TRUE(tree(db) == before);
}

TEST_F(UndoCliTest, UndoWaitsForNoRunAndLeavesATableAnotherProgramHolds) {
    const Files before = tree(db);
    ASSERT_EQ(replace("grey", "gray").status, 0);
    const Files after = tree(db);
    {
        // Another run (a window's, say) holds the run lock: nothing is touched.
        const fs::path lock = RunLock::backupLockFile(backups);
        ASSERT_TRUE(fs::exists(lock));
        LockHolder other(lock, LockHolder::Kind::Flock);
        const ProcessOutput busy = quillmend({"undo"});
        EXPECT_EQ(busy.status, 3) << busy.err << busy.out;
        EXPECT_NE(busy.err.find("Another run is in progress"), std::string::npos) << busy.err;
        EXPECT_TRUE(tree(db) == after);
    }
    {
        // A Paradox program holds CUSTOMER: the undo leaves it, puts back the others.
        std::ofstream(db / "PDOXUSRS.LCK", std::ios::binary) << std::string("\0CUSTOMER\0", 10);
        LockHolder other(db / "PDOXUSRS.LCK", LockHolder::Kind::Write, 0x3b9aca00, 1);
        const ProcessOutput held = quillmend({"undo"});
        EXPECT_EQ(held.status, 1) << held.err << held.out;
        EXPECT_NE(held.out.find("CUSTOMER.DB: not put back: in use by another program"),
                  std::string::npos)
            << held.out;
        const Files now = tree(db);
        EXPECT_TRUE(now.at("CUSTOMER.DB") == after.at("CUSTOMER.DB"));
        EXPECT_TRUE(now.at("ORDERS.DB") == before.at("ORDERS.DB"));
    }
    fs::remove(db / "PDOXUSRS.LCK");
    const ProcessOutput rest = quillmend({"undo"});
    EXPECT_EQ(rest.status, 0) << rest.err << rest.out;
    EXPECT_TRUE(tree(db) == before);
}

TEST_F(UndoCliTest, PruneKeepsTheNewestRunsWholeAndRemovesOnlyWhatTheProgramMade) {
    const ProcessOutput firstRun = replace("grey", "gray");
    ASSERT_EQ(firstRun.status, 0) << firstRun.err;
    // The summary says what the run's backups took and what all of them take now.
    EXPECT_NE(firstRun.out.find("Backups: the old files of this run take "), std::string::npos)
        << firstRun.out;
    EXPECT_NE(firstRun.out.find("; all backups now take "), std::string::npos) << firstRun.out;
    EXPECT_NE(firstRun.out.find(" in " + backups.string() + ".\n"), std::string::npos)
        << firstRun.out;
    ASSERT_EQ(replace("Folder", "File", "PRODUCTS").status, 0);
    const Files beforeLast = tree(db);
    ASSERT_EQ(replace("gray", "silver", "CUSTOMER").status, 0);
    const Files tables = tree(db);
    const auto names = runNames(quillmend({"runs"}).out);
    ASSERT_EQ(names.size(), 3u);
    const fs::path oldest = recordedFolders(backups / "runs" / (names[2] + ".run")).at(0);
    ASSERT_TRUE(fs::is_directory(oldest)) << oldest;

    const Files allBackups = tree(backups);
    {
        // While a run or an undo holds the run lock, nothing goes.
        LockHolder other(RunLock::backupLockFile(backups), LockHolder::Kind::Flock);
        const ProcessOutput busy = quillmend({"prune", "--keep", "1"});
        EXPECT_EQ(busy.status, 3) << busy.err << busy.out;
        EXPECT_NE(busy.err.find("Another run is in progress"), std::string::npos) << busy.err;
    }
    const ProcessOutput dry = quillmend({"prune", "--keep", "1", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("Would remove run " + names[2] + " (3 tables, "), std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("Would remove 2 runs, giving back "), std::string::npos) << dry.out;
    EXPECT_TRUE(tree(backups) == allBackups) << "a refused or dry prune removed something";

    // A file the program did not put in a backup folder keeps that run's backups, and a link
    // there leads nowhere the prune goes.
    const fs::path outside = temp.path() / "outside.txt";
    std::ofstream(outside) << "not a backup";
    fs::create_symlink(outside, oldest / "link");
    const ProcessOutput kept = quillmend({"prune", "--keep", "1"});
    EXPECT_EQ(kept.status, 1) << kept.err << kept.out;
    EXPECT_NE(kept.out.find("Removed run " + names[1]), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("Kept run " + names[2]), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("holds link, which the program did not put there"), std::string::npos)
        << kept.out;
    EXPECT_EQ(slurp(outside), "not a backup");
    EXPECT_TRUE(fs::is_directory(oldest));
    fs::remove(oldest / "link");

    const ProcessOutput pruned = quillmend({"prune", "--keep", "1"});
    EXPECT_EQ(pruned.status, 0) << pruned.err << pruned.out;
    EXPECT_NE(pruned.out.find("Removed 1 run, gave back "), std::string::npos) << pruned.out;
    EXPECT_FALSE(fs::exists(oldest));
    EXPECT_EQ(runNames(quillmend({"runs"}).out), std::vector<std::string>{names[0]});
    EXPECT_TRUE(tree(db) == tables) << "the prune touched a table";
    EXPECT_EQ(slurp(outside), "not a backup");

    // The run kept still goes back, byte for byte.
    const ProcessOutput undo = quillmend({"undo"});
    EXPECT_EQ(undo.status, 0) << undo.err << undo.out;
    EXPECT_TRUE(tree(db) == beforeLast);
}

TEST_F(UndoCliTest, ARunWithoutRoomForItsBackupsRefusesTheTablesUpFront) {
    SmallDisk disk(temp.path() / "data", 4 << 20);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why();
    fs::create_directories(backups);
    disk.fill();
    const Files before = tree(db);
    const ProcessOutput full = replace("grey", "gray");
    EXPECT_EQ(full.status, 1) << full.err << full.out;
    EXPECT_NE(full.out.find("CUSTOMER (" + fs::canonical(db).string() +
                            "): 0 hits, 0 values changed, not written back: there is not enough "
                            "room on the disk of " +
                            backups.string() +
                            " (the backup folder): the table's old files "
                            "need about 1."),
              std::string::npos)
        << full.out;
    EXPECT_NE(full.out.find("are free; remove old backups (quillmend prune"), std::string::npos)
        << full.out;
    EXPECT_TRUE(tree(db) == before);
    EXPECT_FALSE(fs::exists(backups / "runs"));

    disk.removeFiller();
    const ProcessOutput roomy = replace("grey", "gray");
    EXPECT_EQ(roomy.status, 0) << roomy.err << roomy.out;
}

TEST_F(UndoCliTest, RunsUndoAndPruneRefuseOptionsTheyDoNotTake) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"runs", "x"},
                                               {"runs", "--all"},
                                               {"undo", "a", "b"},
                                               {"undo", "--dry-run"},
                                               {"prune"},
                                               {"prune", "--dry-run"},
                                               {"prune", "--keep", "1", "--older-than", "3"},
                                               {"prune", "--keep", "0"},
                                               {"prune", "--older-than", "x"},
                                               {"prune", "--keep", "2", "RUN"}}) {
        const ProcessOutput o = quillmend(args);
        EXPECT_EQ(o.status, 2) << args.back();
        EXPECT_NE(o.err.find("Try 'quillmend --help'"), std::string::npos) << o.err;
    }
    const ProcessOutput help = quillmend({"--help"});
    EXPECT_NE(help.out.find("quillmend undo [RUN]"), std::string::npos);
    EXPECT_NE(help.out.find("quillmend prune (--keep N | --older-than DAYS) [--dry-run]"),
              std::string::npos);
}

} // namespace
} // namespace qm::test
