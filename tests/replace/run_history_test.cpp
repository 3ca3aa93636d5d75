// The record a run keeps for undo, and the checks undo makes before it puts a table back: the
// old files must be what the run set aside, the table's family exactly what the run left.

#include "replace_fixture.h"

#include "app/sha256.h"
#include "paradox/content_digest.h"
#include "replace/run_history.h"
#include "replace/run_report.h"

namespace qm::test {
namespace {

using paradox::FieldType;

const std::vector<paradox::FieldSpec> kName = {{"Name", FieldType::Alpha, 20}};

class RunHistoryTest : public ReplaceFixture {
  protected:
    UndoResult undo(const std::string& id = "", const CancelToken* cancel = nullptr) {
        UndoOptions o;
        o.backupRoot = backups;
        o.cancel = cancel;
        return undoRun(id, o);
    }
    const UndoOutcome& outcomeOf(const UndoResult& r, const std::string& file) {
        for (const auto& o : r.tables)
            if (o.db.filename() == file)
                return o;
        ADD_FAILURE() << "no outcome for " << file;
        return r.tables.front();
    }
};

TEST_F(RunHistoryTest, ARunKeepsARecordOfTheTablesItWroteAndADryRunKeepsNone) {
    makeTable("PETS.DB", kName, {{"black cat"}, {"cat"}});
    makeTable("ZOO.DB", kName, {{"bird"}});
    RunOptions dry = options;
    dry.dryRun = true;
    const RunResult preview =
        runReplace(ui, pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog"), dry);
    EXPECT_TRUE(preview.runRecord.empty());
    EXPECT_TRUE(recordedRuns(backups).empty());

    const auto before = files(paradoxDir);
    const RunResult r = run(pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog"));
    ASSERT_TRUE(r.clean());
    ASSERT_FALSE(r.runRecord.empty());
    EXPECT_TRUE(r.recordFailure.empty()) << r.recordFailure;
    const auto runs = recordedRuns(backups);
    ASSERT_EQ(runs.size(), 1u);
    const RunRecord& rec = runs[0];
    EXPECT_EQ(rec.id, r.runRecord);
    EXPECT_EQ(rec.what, "find \"cat\", replace with \"dog\"");
    ASSERT_EQ(rec.tables.size(), 1u) << "ZOO had no hit and was not written";
    const RunRecordTable& t = rec.tables[0];
    EXPECT_EQ(t.db.filename(), "PETS.DB");
    EXPECT_EQ(t.backupFolder, r.tables[0].backupFolder);
    // The old files' digests are those of the table before the run; the others of it now.
    ASSERT_FALSE(t.old.empty());
    for (const auto& [name, digest] : t.old)
        EXPECT_EQ(digest, "xxh3:" + paradox::digestOf(before.at(name)).hex()) << name;
    const auto after = files(paradoxDir);
    for (const auto& [name, digest] : t.files)
        EXPECT_EQ(digest, "xxh3:" + paradox::digestOf(after.at(name)).hex()) << name;
    EXPECT_FALSE(rec.undone());
    EXPECT_EQ(lastUndoableRun(backups).id, rec.id);
}

// A record that cannot be kept (here a file stands where its folder goes) leaves the table
// written, its old files set aside, and the run saying that no undo is offered.
TEST_F(RunHistoryTest, ARecordThatCannotBeKeptIsReportedAndTheOldFilesStayAside) {
    makeTable("PETS.DB", kName, {{"black cat"}, {"cat"}});
    const auto before = files(paradoxDir);
    fs::create_directories(backups);
    std::ofstream(backups / "runs") << "not a folder";
    const RunInputs in = pair({row("PETS.DB")}, "cat", "dog");
    const RunResult r = run(in);
    ASSERT_EQ(r.tables.size(), 1u);
    EXPECT_EQ(r.tables[0].valuesChanged, 2);
    EXPECT_TRUE(r.runRecord.empty());
    EXPECT_FALSE(r.recordFailure.empty());
    EXPECT_NE(endOfRunText(r, in, false).find("No undo record could be kept: " + r.recordFailure),
              std::string::npos)
        << endOfRunText(r, in, false);
    EXPECT_NE(files(paradoxDir), before);
    ASSERT_FALSE(r.tables[0].backupFolder.empty());
    const auto aside = files(r.tables[0].backupFolder);
    for (const auto& [name, bytes] : before)
        EXPECT_EQ(aside.count(name) ? aside.at(name) : std::string(), bytes) << name;
    EXPECT_TRUE(recordedRuns(backups).empty());
    EXPECT_EQ(undo().end, UndoResult::End::NoRun);
}

TEST_F(RunHistoryTest, OldFilesChangedInTheBackupOrAFileAddedToTheFamilyKeepTheTableAsItIs) {
    makeTable("PETS.DB", kName, {{"cat"}});
    makeTable("ZOO.DB", kName, {{"cat"}});
    ASSERT_TRUE(run(pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog")).clean());
    const auto written = files(paradoxDir);
    const RunRecord rec = lastUndoableRun(backups);
    ASSERT_EQ(rec.tables.size(), 2u);
    // Someone edits the backup copy of PETS's old .DB; a program adds an index file to ZOO.
    for (const auto& t : rec.tables)
        if (t.db.filename() == "PETS.DB")
            std::ofstream(t.backupFolder / "PETS.DB", std::ios::binary | std::ios::app) << "x";
    std::ofstream(paradoxDir / "ZOO.X02", std::ios::binary) << "index";

    const UndoResult r = undo();
    ASSERT_EQ(r.end, UndoResult::End::Completed);
    EXPECT_FALSE(r.clean());
    const UndoOutcome& pets = outcomeOf(r, "PETS.DB");
    EXPECT_EQ(pets.state, UndoOutcome::State::Failed);
    EXPECT_NE(pets.reason.find("is no longer what the run set aside"), std::string::npos)
        << pets.reason;
    const UndoOutcome& zoo = outcomeOf(r, "ZOO.DB");
    EXPECT_EQ(zoo.state, UndoOutcome::State::Changed);
    EXPECT_EQ(zoo.reason, "it has a file the run did not leave, ZOO.X02");
    auto now = files(paradoxDir);
    now.erase("ZOO.X02");
    EXPECT_TRUE(now == written) << "both tables left byte for byte";
    EXPECT_EQ(lastUndoableRun(backups).id, rec.id) << "nothing of the run was undone";
    EXPECT_TRUE(fs::is_empty(backups / "pending")) << "no swap was begun";
}

TEST_F(RunHistoryTest, AGarbledRecordIsNoRunAndACancelledUndoPutsNothingBack) {
    makeTable("PETS.DB", kName, {{"cat"}});
    ASSERT_TRUE(run(pair({row("PETS.DB")}, "cat", "dog")).clean());
    const auto written = files(paradoxDir);
    // A record cut short, and one of another format, are no runs to act upon.
    std::ofstream(backups / "runs" / "29990101-000000.run", std::ios::binary)
        << "quillmend run record 1\ntable\t/x/PETS.DB\n";
    std::ofstream(backups / "runs" / "29990101-000001.run", std::ios::binary) << "hello\n";
    ASSERT_EQ(recordedRuns(backups).size(), 1u);
    EXPECT_EQ(undo("29990101-000000").end, UndoResult::End::NoSuchRun);

    CancelToken cancel;
    cancel.request();
    const UndoResult r = undo("", &cancel);
    EXPECT_EQ(r.end, UndoResult::End::Cancelled);
    ASSERT_EQ(r.tables.size(), 1u);
    EXPECT_EQ(r.tables[0].state, UndoOutcome::State::NotReached);
    EXPECT_TRUE(files(paradoxDir) == written);
    EXPECT_EQ(undoReport(r).rfind("The undo was cancelled.", 0), 0u) << undoReport(r);

    const UndoResult done = undo();
    EXPECT_TRUE(done.clean());
    EXPECT_EQ(values(paradoxDir / "PETS.DB")[0][0], "cat");
    EXPECT_EQ(undo().end, UndoResult::End::NoRun);
}

TEST_F(RunHistoryTest, ATablePutBackByHandIsNotedAsBackNotRefusedAsChanged) {
    makeTable("PETS.DB", kName, {{"cat"}});
    const auto before = files(paradoxDir);
    const RunResult r = run(pair({row("PETS.DB")}, "cat", "dog"));
    ASSERT_TRUE(r.clean());
    // The old files copied back over the table's, as the README tells for doing it by hand.
    for (const auto& e : fs::directory_iterator(r.tables[0].backupFolder))
        if (e.path().filename() != "ORIGIN.txt")
            fs::copy_file(e.path(), paradoxDir / e.path().filename(),
                          fs::copy_options::overwrite_existing);
    ASSERT_TRUE(files(paradoxDir) == before);

    const UndoResult u = undo();
    ASSERT_EQ(u.tables.size(), 1u);
    EXPECT_EQ(u.tables[0].state, UndoOutcome::State::AlreadyDone) << u.tables[0].reason;
    EXPECT_EQ(u.tables[0].reason, "it is as it was before the run already");
    EXPECT_TRUE(u.clean());
    EXPECT_TRUE(files(paradoxDir) == before);
    EXPECT_TRUE(recordedRuns(backups).at(0).undone());
}

// Runs recorded by earlier builds keep SHA-256 digests: they still list, and undo checks each
// file against its SHA-256, putting back what is unchanged and leaving what is not.
TEST_F(RunHistoryTest, ARecordWithTheSha256DigestsOfAnEarlierBuildStillUndoes) {
    makeTable("PETS.DB", kName, {{"cat"}});
    makeTable("ZOO.DB", kName, {{"cat"}});
    const auto before = files(paradoxDir);
    const RunResult r = run(pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog"));
    ASSERT_TRUE(r.clean());
    const auto written = files(paradoxDir);
    const RunRecord rec = lastUndoableRun(backups);
    ASSERT_EQ(rec.tables.size(), 2u);
    const auto sha = [](const std::map<std::string, std::string>& in, const std::string& name) {
        return sha256Hex(in.at(name));
    };
    std::string text = "quillmend run record 1\nwhat\tfind \"cat\", replace with \"dog\"\n";
    for (const auto& t : rec.tables) {
        text += "table\t" + t.db.string() + "\t" + t.backupFolder.string() + "\twritten\n";
        for (const auto& e : fs::directory_iterator(t.backupFolder))
            if (e.path().filename() != "ORIGIN.txt")
                text += "old\t" + e.path().filename().string() + "\t" +
                        sha(before, e.path().filename().string()) + "\n";
        for (const auto& [name, digest] : t.files)
            text += "file\t" + name + "\t" + sha(written, name) + "\n";
    }
    std::ofstream(rec.file, std::ios::binary | std::ios::trunc) << text;
    // A digest of a kind no build wrote makes a record no run.
    std::ofstream(backups / "runs" / "19990101-000000.run", std::ios::binary)
        << "quillmend run record 2\ntable\t" << rec.tables[0].db.string() << "\t"
        << rec.tables[0].backupFolder.string()
        << "\twritten\nold\tPETS.DB\tmd5:" << std::string(32, '0') << "\n";

    const auto runs = recordedRuns(backups);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].id, rec.id);
    ASSERT_EQ(runs[0].tables.size(), 2u);
    EXPECT_EQ(runs[0].tables[0].files.at(0).second.size(), 64u) << "read as it was written";

    // ZOO is changed after the run (same size); PETS is as the run left it.
    std::string zoo = written.at("ZOO.DB");
    zoo.back() ^= 1;
    std::ofstream(paradoxDir / "ZOO.DB", std::ios::binary | std::ios::trunc) << zoo;
    const UndoResult u = undo();
    ASSERT_EQ(u.end, UndoResult::End::Completed);
    EXPECT_EQ(outcomeOf(u, "PETS.DB").state, UndoOutcome::State::PutBack)
        << outcomeOf(u, "PETS.DB").reason;
    EXPECT_EQ(outcomeOf(u, "ZOO.DB").state, UndoOutcome::State::Changed);
    EXPECT_EQ(outcomeOf(u, "ZOO.DB").reason, "its file ZOO.DB changed after the run wrote it");
    const auto now = files(paradoxDir);
    EXPECT_EQ(now.at("PETS.DB"), before.at("PETS.DB"));
    EXPECT_EQ(now.at("ZOO.DB"), zoo);

    // Once ZOO is back to what the run wrote, it undoes too; the record, rewritten by this
    // build after PETS, still holds its SHA-256 digests.
    std::ofstream(paradoxDir / "ZOO.DB", std::ios::binary | std::ios::trunc)
        << written.at("ZOO.DB");
    const UndoResult rest = undo();
    EXPECT_TRUE(rest.clean()) << undoReport(rest);
    EXPECT_EQ(outcomeOf(rest, "ZOO.DB").state, UndoOutcome::State::PutBack);
    EXPECT_TRUE(files(paradoxDir) == before);
    EXPECT_TRUE(recordedRuns(backups).at(0).undone());
}

// Two runs in one second get numbered ids; a record pruned from that second must not hand its id
// to a later run, which would then sort before the runs kept and be taken for an older one.
TEST(RunIds, ANewRunSortsAfterEveryRunOfItsSecondEvenWhenSomeWerePruned) {
    TempDir temp;
    const std::string s = "20261210-062600";
    const auto fresh = [&] {
        const fs::path f = freshRunFile(temp.path(), s);
        std::ofstream(f) << "";
        return f.stem().string();
    };
    EXPECT_EQ(fresh(), s);
    EXPECT_EQ(fresh(), s + "-02");
    fs::remove(temp.path() / (s + ".run")); // the older run of the second pruned
    const std::string third = fresh();
    EXPECT_EQ(third, s + "-03");
    EXPECT_GT(third, s + "-02");
    EXPECT_EQ(freshRunFile(temp.path(), "20261210-062601").stem().string(), "20261210-062601");
}

} // namespace
} // namespace qm::test
