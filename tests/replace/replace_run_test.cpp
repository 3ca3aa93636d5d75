#include "replace_fixture.h"

#include "db/connection.h"
#include "paradox/family_swap.h"
#include "replace/change_log.h"
#include "replace/run_boxes.h"
#include "replace/run_recovery.h"

#include <cstdlib>
#include <regex>

namespace qm::test {
namespace {

using paradox::FieldType;

const std::vector<paradox::FieldSpec> kPets = {{"Name", FieldType::Alpha, 20},
                                               {"Notes", FieldType::Memo, 20},
                                               {"Age", FieldType::Long, 0},
                                               {"Owner", FieldType::Alpha, 30}};

class ReplaceRunTest : public ReplaceFixture {
  protected:
    fs::path pets(const std::vector<std::vector<std::string>>& rows) {
        return makeTable("PETS.DB", kPets, rows);
    }
    const FakeUserInterface::Box& lastBox() const { return ui.boxes.back(); }
};

TEST_F(ReplaceRunTest, EmptyListDoesNothingAndNoneTickedAsksForATable) {
    const auto r = run(RunInputs{});
    EXPECT_EQ(r.end, RunResult::End::EmptyList);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_TRUE(ui.pointers.empty());

    pets({{"black cat", "", "3", "Ann"}});
    RunInputs in = pair({row("PETS.DB")}, "cat", "dog");
    in.rows[0].ticked = false;
    const auto none = run(in);
    EXPECT_EQ(none.end, RunResult::End::NoneTicked);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Please select a table");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::Ok);
    EXPECT_EQ(ui.boxes[0].icon, Icon::None);
    EXPECT_TRUE(ui.pointers.empty());
    EXPECT_TRUE(operations.empty()) << "no database access";
    EXPECT_FALSE(fs::exists(options.changeLog));
}

TEST_F(ReplaceRunTest, SinglePairReplacesEveryOccurrenceCaseSensitivelyInAlphaAndMemo) {
    // The fourth record holds the find text only in other cases: no hit, no change.
    const fs::path db = pets({{"black cat", "a cat, a Cat and a long memo about cats", "3", "Ann"},
                              {"aAa", "", "4", "O'Brien's cat"},
                              {"", "", "", ""},
                              {"Tom CAT", "Cats and CATS", "5", "Cat"}});
    const auto r = run(pair({row("PETS.DB")}, "cat", "dog"));
    ASSERT_EQ(r.end, RunResult::End::Completed);
    EXPECT_TRUE(r.clean()) << endOfRunReport(r);
    ASSERT_EQ(ui.boxes.size(), 1u);
    // "Done." with the counts; the details give the table's line of the summary.
    EXPECT_EQ(ui.boxes[0].text, "Done.\r\n\r\n1 table: 3 hits, 3 values changed, 1 written back.");
    EXPECT_EQ(ui.boxes[0].icon, Icon::None);
    EXPECT_NE(ui.boxes[0].details.find("PETS (" + paradoxDir.string() +
                                       "): 3 hits, 3 values changed, written back (old files in "),
              std::string::npos)
        << ui.boxes[0].details;
    EXPECT_NE(ui.boxes[0].details.find("Change log: " + options.changeLog.string()),
              std::string::npos);
    EXPECT_NE(ui.boxes[0].details.find(backups.string()), std::string::npos);
    EXPECT_EQ(ui.pointers, (std::vector<PointerState>{PointerState::Busy, PointerState::Default}));

    const auto v = values(db);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], (std::vector<std::string>{
                        "black dog", "a dog, a Cat and a long memo about dogs", "3", "Ann"}));
    EXPECT_EQ(v[1], (std::vector<std::string>{"aAa", "", "4", "O'Brien's dog"}));
    EXPECT_EQ(v[2], (std::vector<std::string>{"", "", "", ""}));
    EXPECT_EQ(v[3], (std::vector<std::string>{"Tom CAT", "Cats and CATS", "5", "Cat"}));
    ASSERT_EQ(r.tables.size(), 1u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written);
    EXPECT_EQ(r.tables[0].hits, 3);
    EXPECT_EQ(r.tables[0].valuesChanged, 3);
    EXPECT_TRUE(fs::exists(r.tables[0].backupFolder));
    EXPECT_FALSE(r.tables[0].backupFolder.string().starts_with(paradoxDir.string()));

    // The apostrophes are part of both values.
    const auto replaced = workingOperations();
    EXPECT_NE(std::find(replaced.begin(), replaced.end(),
                        "replace PETS.Owner 'O'Brien's cat' -> 'O'Brien's dog'"),
              replaced.end());
    EXPECT_FALSE(db::TableExistsInDbTemp("PETS"));
}

// The new value is the old one cut short: the write-back must not take it for unchanged because
// the record's bytes begin with it.
TEST_F(ReplaceRunTest, AValueShortenedToAPrefixOfItselfIsWrittenBack) {
    const fs::path db = pets({{"Grey Owl Books", "Grey Owl Books", "1", "Grey Owl Books Ltd"},
                              {"Grey Owl", "", "2", "Grey Owl Book"}});
    const auto r = run(pair({row("PETS.DB")}, "Grey Owl Books", "Grey Owl"));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    const auto v = values(db);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], (std::vector<std::string>{"Grey Owl", "Grey Owl", "1", "Grey Owl Ltd"}));
    EXPECT_EQ(v[1], (std::vector<std::string>{"Grey Owl", "", "2", "Grey Owl Book"}));
    EXPECT_EQ(r.tables[0].valuesChanged, 3);
    // The reference decoder reads the same: no old bytes left behind the shorter text.
    const auto rows = pxdump(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "Grey Owl");
    EXPECT_EQ(rows[0][3], "Grey Owl Ltd");
}

TEST_F(ReplaceRunTest, ChangeLogHasOneLinePerRecordFieldAndHittingPair) {
    pets({{"cat", "", "1", "x"}, {"cat", "", "2", "x"}, {"cat", "", "3", "x"}});
    const auto r = run(pair({row("PETS.DB")}, "cat", "dog"));
    ASSERT_TRUE(r.clean());
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u) << "the later records still show cat in the snapshot";
    const std::regex form(
        R"(\[.+ .+\] - cat was replace to dog at table \(PETS\) and column \(Name\))");
    for (const auto& l : lines)
        EXPECT_TRUE(std::regex_match(l, form)) << l;
    // One replacement per hit; the first changed all three rows.
    const auto st = workingOperations();
    EXPECT_EQ(std::count(st.begin(), st.end(), "replace PETS.Name 'cat' -> 'dog'"), 3);
    for (const auto& rec : values(paradoxDir / "PETS.DB"))
        EXPECT_EQ(rec[0], "dog");
    EXPECT_EQ(r.tables[0].valuesChanged, 3);

    // A second run appends after the old lines.
    pets({{"cat", "", "1", "x"}});
    run(pair({row("PETS.DB")}, "cat", "dog"));
    EXPECT_EQ(logLines().size(), 4u);
}

TEST_F(ReplaceRunTest, SetsAreEachTestedAgainstTheOldValueAndOnlyTheFirstHitChangesIt) {
    const fs::path db = pets({{"black cat", "", "1", "grey cat"}, {"Black CAT", "", "2", "X"}});
    const auto r = run(sets({row("PETS.DB")}, {{"cat", "dog"}, {"black", "white"}, {"x", "y"}}));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0][0], "black dog");
    EXPECT_EQ(values(db)[0][3], "grey dog");
    EXPECT_EQ(values(db)[1], (std::vector<std::string>{"Black CAT", "", "2", "X"}))
        << "only other cases of the sets' find texts";
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("cat was replace to dog at table (PETS) and column (Name)"),
              std::string::npos);
    EXPECT_NE(lines[1].find("black was replace to white at table (PETS) and column (Name)"),
              std::string::npos);
    EXPECT_NE(lines[2].find("cat was replace to dog at table (PETS) and column (Owner)"),
              std::string::npos);
}

TEST_F(ReplaceRunTest, ARecordsNewValueIsNotChangedAgainByTheRecordThatHeldItBefore) {
    // The first record's new value is the second record's old one; the second record's UPDATE
    // finds both rows equal to its value, but only its own was meant.
    fs::path db = pets(
        {{"Blue Sky", "", "1", "a"}, {"Blue Sky Club", "", "2", "b"}, {"Blue Sky", "", "3", "c"}});
    auto r = run(pair({row("PETS.DB")}, "Blue Sky", "Blue Sky Club"));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    auto v = values(db);
    EXPECT_EQ(v[0][0], "Blue Sky Club");
    EXPECT_EQ(v[1][0], "Blue Sky Club Club");
    EXPECT_EQ(v[2][0], "Blue Sky Club") << "a repeated value still changes with the first hit";
    EXPECT_EQ(r.tables[0].valuesChanged, 3);
    // The replacements are asked as they are.
    const auto st = workingOperations();
    EXPECT_NE(std::find(st.begin(), st.end(),
                        "replace PETS.Name 'Blue Sky Club' -> 'Blue Sky Club Club'"),
              st.end());

    // Sets that swap two values swap them; a set that leaves a value as it was leaves it open
    // to the next set that hits it.
    db = pets({{"Courier", "", "1", "same"}, {"Post", "", "2", "same"}});
    r = run(sets({row("PETS.DB")},
                 {{"Courier", "Post"}, {"Post", "Courier"}, {"same", "same"}, {"am", "AM"}}));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    v = values(db);
    EXPECT_EQ(v[0][0], "Post");
    EXPECT_EQ(v[1][0], "Courier");
    EXPECT_EQ(v[0][3], "sAMe");
    EXPECT_EQ(v[1][3], "sAMe");

    // Another column of a row that took a change is still open to its own UPDATE.
    db = pets({{"cat", "", "1", "cat"}, {"x", "", "2", "cat"}});
    r = run(pair({row("PETS.DB")}, "cat", "dog"));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    v = values(db);
    EXPECT_EQ(v[0][0], "dog");
    EXPECT_EQ(v[0][3], "dog");
    EXPECT_EQ(v[1][3], "dog");
}

TEST_F(ReplaceRunTest, NoSetsOrEmptyFindOrNoHitLeaveEveryFileAsItWas) {
    pets({{"black cat", "memo", "1", "x"}, {"", "", "", ""}});
    const auto before = files(paradoxDir);

    auto r = run(sets({row("PETS.DB")}, {}));
    EXPECT_TRUE(r.clean());
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Unchanged);
    // Nothing to search for is not a success to report with "Done.".
    EXPECT_EQ(ui.boxes.back().text.rfind("There are no find and replace sets", 0), 0u)
        << ui.boxes.back().text;
    EXPECT_EQ(files(paradoxDir), before);

    // An empty find text would hit every non-empty field, change none and log every hit: it is
    // refused before anything runs, of the pair as of a set.
    for (const RunInputs& in : {pair({row("PETS.DB")}, "", "zzz"),
                                sets({row("PETS.DB")}, {{"cat", "dog"}, {"", "zzz"}})}) {
        r = run(in);
        EXPECT_EQ(r.end, RunResult::End::Failed);
        EXPECT_TRUE(r.tables.empty());
        EXPECT_NE(ui.boxes.back().text.find("the find text is empty"), std::string::npos)
            << ui.boxes.back().text;
        EXPECT_EQ(files(paradoxDir), before);
        EXPECT_FALSE(fs::exists(options.changeLog));
    }
}

TEST_F(ReplaceRunTest, RefusedValuesAreReportedInsteadOfDone) {
    // Age is a Long: its text holds the find text, but the quoted comparison is refused. The
    // Name value would outgrow its 20 characters.
    const fs::path db = pets({{"cat 12", "", "12", "cat"}});
    const auto r = run(pair({row("PETS.DB")}, "12", "a much longer text here"));
    ASSERT_EQ(r.end, RunResult::End::Completed);
    EXPECT_FALSE(r.clean());
    EXPECT_EQ(logLines().size(), 2u) << "refused hits are logged all the same";
    ASSERT_EQ(r.tables[0].leftUnchanged.size(), 2u);
    EXPECT_EQ(r.tables[0].leftUnchanged[0].column, "Name");
    EXPECT_EQ(r.tables[0].leftUnchanged[1].column, "Age");
    EXPECT_NE(r.tables[0].leftUnchanged[1].reason.find("not a text column"), std::string::npos);
    EXPECT_EQ(values(db)[0], (std::vector<std::string>{"cat 12", "", "12", "cat"}));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text.find("Done."), std::string::npos);
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_NE(ui.boxes[0].text.find("2 hits, 0 values changed, 0 written back, 2 values left "
                                    "unchanged."),
              std::string::npos)
        << ui.boxes[0].text;
    EXPECT_NE(ui.boxes[0].text.find("PETS: 2 values left unchanged"), std::string::npos);
    // Every column and reason is in the details, as the command line prints them.
    EXPECT_NE(ui.boxes[0].details.find("  refused: 1 value in column Age: the column is not a "
                                       "text column"),
              std::string::npos)
        << ui.boxes[0].details;
    EXPECT_NE(ui.boxes[0].details.find("  refused: 1 value in column Name: "), std::string::npos);
}

TEST_F(ReplaceRunTest, KeyFieldsChangeAndReSortButCharactersOutsideTheCodePageAreRefused) {
    const fs::path db = makeTable("KEYED.DB", {{"Code", FieldType::Alpha, 10}, kPets[0]},
                                  {{"cat1", "cat"}, {"cat2", "kitten"}}, 1, 1252);
    const auto before = files(paradoxDir);
    auto r = run(pair({row("KEYED.DB")}, "cat", "\xe7\x8c\xab")); // a CJK character
    EXPECT_FALSE(r.clean());
    EXPECT_EQ(files(paradoxDir), before);
    ASSERT_EQ(r.tables[0].leftUnchanged.size(), 2u) << endOfRunReport(r);
    EXPECT_NE(r.tables[0].leftUnchanged[0].reason.find("code page 1252"), std::string::npos);
    EXPECT_NE(r.tables[0].leftUnchanged[1].reason.find("code page 1252"), std::string::npos);
    EXPECT_EQ(r.tables[0].leftUnchanged[0].count, 2);

    // "cat2" becomes "a2" and goes first; "cat1" would become "cat2" while that key still
    // stands, so it stays as it was.
    r = run(pair({row("KEYED.DB")}, "cat1", "cat2"));
    EXPECT_FALSE(r.clean());
    ASSERT_EQ(r.tables[0].leftUnchanged.size(), 1u) << endOfRunReport(r);
    EXPECT_EQ(r.tables[0].leftUnchanged[0].reason, "the key would repeat");
    r = run(pair({row("KEYED.DB")}, "cat2", "a2"));
    EXPECT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0], (std::vector<std::string>{"a2", "kitten"}));
    EXPECT_EQ(values(db)[1], (std::vector<std::string>{"cat1", "cat"}));
}

TEST_F(ReplaceRunTest, NamesWithBlanksAreQuotedAndReplacedLikeAnyOther) {
    const fs::path db =
        makeTable("My Pets.db", {{"First Name", FieldType::Alpha, 20}}, {{"Tom cat"}});
    const auto r = run(pair({row("My Pets.db")}, "cat", "dog"));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0][0], "Tom dog");
    EXPECT_TRUE(fs::exists(paradoxDir / "My Pets.db")) << "the file keeps its name and case";
    EXPECT_NE(logLines()[0].find("at table (MY PETS) and column (First Name)"), std::string::npos);
}

TEST_F(ReplaceRunTest, TablesAreProcessedInListOrderEachInItsOwnFolder) {
    const fs::path other = temp_.path() / "other";
    fs::create_directories(other);
    pets({{"cat", "", "1", ""}});
    paradox::TableSpec spec;
    spec.fields = kPets;
    paradox::createTable(paradox::familyPathsFor(other / "PETS.DB"), spec,
                         {{paradox::valueFromText(kPets[0], "other cat"), {}, {}, {}}});
    makeTable("ZOO.DB", {kPets[0]}, {{"cat"}});
    RunInputs in = pair({row("ZOO.DB"), row("PETS.DB", other), row("PETS.DB")}, "cat", "dog");
    in.rows.insert(in.rows.begin() + 1, {row("UNTICKED.DB"), false});
    const auto r = run(in);
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    ASSERT_EQ(r.tables.size(), 3u);
    EXPECT_EQ(r.tables[0].table.name, "ZOO");
    EXPECT_EQ(r.tables[1].table.folder, other.string());
    EXPECT_EQ(values(other / "PETS.DB")[0][0], "other dog");
    EXPECT_EQ(values(paradoxDir / "PETS.DB")[0][0], "dog");
    EXPECT_EQ(values(paradoxDir / "ZOO.DB")[0][0], "dog");
}

TEST_F(ReplaceRunTest, AReplaceTextEqualToTheFindTextIsNoRefusalInAKeyField) {
    const fs::path db = makeTable("KEYED.DB", {kPets[0], kPets[3]}, {{"cat", "cat"}}, 1);
    const auto before = files(paradoxDir);
    auto r = run(pair({row("KEYED.DB")}, "cat", "cat"));
    EXPECT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(r.tables[0].hits, 2);
    EXPECT_EQ(files(paradoxDir), before);
    // A real change of the key is made.
    r = run(pair({row("KEYED.DB")}, "cat", "dog"));
    EXPECT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0], (std::vector<std::string>{"dog", "dog"}));
}

TEST_F(ReplaceRunTest, WhatTheRunReportsAgreesWithTheTableWhereverTheSwapFails) {
    // A failure at any step of the write-back's file swap: before the new files are in place the
    // table keeps its old values and is reported not written back; after, it holds the new ones
    // and is reported written back, so nobody runs the same change twice.
    bool sawOld = false, sawNew = false;
    for (int n = 0; n < 200; ++n) {
        pets({{"cat", "", "1", ""}});
        bool thrown = false;
        paradox::testhooks::setSwapStepHook([&, n](int step) {
            if (step == n) {
                thrown = true;
                throw std::runtime_error("disk trouble");
            }
        });
        const auto r = run(pair({row("PETS.DB")}, "cat", "dog"));
        paradox::testhooks::setSwapStepHook(nullptr);
        recoverInterruptedRuns(backups);
        ASSERT_EQ(r.tables.size(), 1u);
        const std::string now = values(paradoxDir / "PETS.DB")[0][0];
        const auto& t = r.tables[0];
        if (now == "dog") {
            EXPECT_EQ(t.writeBack, TableOutcome::WriteBack::Written) << n << ": " << t.reason;
            EXPECT_EQ(t.valuesChanged, 1) << n;
            sawNew = sawNew || thrown;
        } else {
            EXPECT_EQ(now, "cat") << n;
            EXPECT_EQ(t.writeBack, TableOutcome::WriteBack::NotWritten) << n;
            sawOld = true;
        }
        if (!thrown)
            break;
    }
    EXPECT_TRUE(sawOld && sawNew) << "failures on both sides of the commit point";
}

TEST_F(ReplaceRunTest, ATableListedTwiceThroughALinkIsChangedOnce) {
    pets({{"cat", "", "1", ""}});
    const fs::path link = temp_.path() / "link";
    fs::create_directory_symlink(paradoxDir, link);
    const auto r = run(pair({row("PETS.DB"), row("PETS.DB", link)}, "cat", "cat and dog"));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(paradoxDir / "PETS.DB")[0][0], "cat and dog");
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written);
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Unchanged);
    EXPECT_NE(r.tables[1].reason.find("same table as PETS in " + paradoxDir.string()),
              std::string::npos)
        << r.tables[1].reason;
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(ReplaceRunTest, ARowWhoseNameLeadsToAnotherFileIsNotTouched) {
    // "A.DB.DB" lists as A, which names A.DB: the run must not work on the wrong table.
    makeTable("A.DB", {kPets[0]}, {{"cat"}});
    makeTable("A.DB.DB", {kPets[0]}, {{"cat"}});
    const auto before = files(paradoxDir);
    const auto r = run(pair({row("A.DB.DB")}, "cat", "dog"));
    EXPECT_FALSE(r.clean());
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_NE(r.tables[0].reason.find("A.DB.DB"), std::string::npos);
    EXPECT_EQ(files(paradoxDir), before);
    EXPECT_NE(ui.boxes.back().text.find("A: not written back, its name A leads"), std::string::npos)
        << ui.boxes.back().text;
}

TEST_F(ReplaceRunTest, ProtectedTablesAreNotChangedAndTheUserIsTold) {
    if (!haveCorpus())
        GTEST_SKIP() << "corpus folder absent";
    copyFamily(corpusDir() / "leonhad__paradoxdriver/encrypt/encrypted.db");
    pets({{"cat", "", "", ""}});
    const auto before = files(paradoxDir);
    const auto r = run(pair({row("encrypted.db"), row("PETS.DB")}, "a", "b"));
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_NE(r.tables[0].reason.find("password-protected"), std::string::npos);
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written);
    EXPECT_EQ(files(paradoxDir)["encrypted.db"], before.at("encrypted.db"));
    EXPECT_NE(ui.boxes.back().text.find("password-protected"), std::string::npos);
}

TEST_F(ReplaceRunTest, AnUntoleratedFailureEndsTheRunWithTheReportAndThePointerBack) {
    pets({{"cat", "", "", ""}});
    makeTable("ZOO.DB", {kPets[0]}, {{"cat"}});
    const auto before = files(paradoxDir);
    options.changeLog = temp_.path() / "no such folder" / "backups.log";
    const auto r = run(pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog"));
    EXPECT_EQ(r.end, RunResult::End::Failed);
    EXPECT_FALSE(r.clean());
    // The error report, then the end of the run: what stopped it and what it never reached.
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[1].text.rfind("The run stopped on an error: ", 0), 0u) << ui.boxes[1].text;
    EXPECT_NE(ui.boxes[1].text.find("Not reached, left as they were: ZOO."), std::string::npos)
        << ui.boxes[1].text;
    EXPECT_EQ(ui.boxes[0].title, "Application Error");
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_NE(ui.boxes[0].text.find("backups.log"), std::string::npos);
    EXPECT_NE(ui.boxes[0].text.find("Form2.PushButton1_Click"), std::string::npos);
    EXPECT_EQ(ui.pointer(), PointerState::Default);
    // The tables after the current one are not processed, and the result says so.
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0].reason, "the run stopped before it was written back");
    EXPECT_EQ(r.tables[1].table.name, "ZOO");
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_EQ(r.tables[1].reason, "the run stopped before it reached this table");
    EXPECT_EQ(r.tables[1].hits, 0);
    EXPECT_EQ(files(paradoxDir), before);
    EXPECT_TRUE(db::TableExistsInDbTemp("PETS")) << "the working copy stays, not exported";
}

TEST(ChangeLog, LinesAppendWithCrLfAndFailuresCarryFileCodes) {
    TempDir dir;
    const fs::path log = dir.path() / "backups.log";
    WriteChangeLog(log, changeLogLine("cat", "dog", "Pets", "Name"));
    WriteChangeLog(log, changeLogLine("two\r\nlines", "x", "T", "C"));
    std::ifstream f(log, std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    const std::regex form(R"(\[[^\]]+ [^\]]+\] - cat was replace to dog at table \(Pets\) and )"
                          R"(column \(Name\)\r\n\[[^\]]+\] - two\r\nlines was replace to x at )"
                          R"(table \(T\) and column \(C\)\r\n)");
    EXPECT_TRUE(std::regex_match(all, form)) << all;

    try {
        WriteChangeLog(dir.path() / "missing" / "backups.log", "x");
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::PathNotFound);
    }
    fs::create_directories(dir.path() / "locked");
    fs::permissions(dir.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    if (::geteuid() != 0) {
        try {
            WriteChangeLog(dir.path() / "locked" / "backups.log", "x");
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::PermissionDenied);
        }
    }
    fs::permissions(dir.path() / "locked", fs::perms::owner_all);
}

TEST(ChangeLog, LivesInTempOrTheSystemTemporaryFolder) {
    const char* old = std::getenv("TEMP");
    const std::string saved = old ? old : "";
    ::setenv("TEMP", "/some/where", 1);
    EXPECT_EQ(changeLogPath(), fs::path("/some/where/backups.log"));
    ::unsetenv("TEMP");
    EXPECT_EQ(changeLogPath().filename(), "backups.log");
    EXPECT_TRUE(fs::is_directory(changeLogPath().parent_path()));
    if (old)
        ::setenv("TEMP", saved.c_str(), 1);
}

} // namespace
} // namespace qm::test

namespace qm::test {
namespace {

TEST_F(ReplaceRunTest, AtMostOneErrorBoxPerTableTheRestGoToTheEndReport) {
    pets({{"cat", "", "", ""}, {"cat", "", "", ""}});
    makeTable("ZOO.DB", {kPets[0]}, {{"cat"}, {"cat"}});
    const auto before = files(paradoxDir);
    // Every record the import copies fails (not the working database itself, whose failure ends
    // the table at once): a report per record, two per table.
    db::setOperationLog([](const db::Operation& op) {
        if (op.kind == db::Operation::Kind::CopyRecord)
            throw Error(code::Malformed, "the record cannot be copied");
    });
    const auto r = run(pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog"));

    std::size_t errorBoxes = 0;
    for (const auto& b : ui.boxes)
        errorBoxes += b.title == "Application Error";
    EXPECT_EQ(errorBoxes, 2u) << "one box for each of the two tables";
    ASSERT_EQ(r.tables.size(), 2u);
    for (const auto& t : r.tables) {
        EXPECT_GT(t.errorReports.size(), 1u) << t.table.name;
        EXPECT_EQ(t.writeBack, TableOutcome::WriteBack::NotWritten);
    }
    EXPECT_EQ(files(paradoxDir), before);
    // The reports not shown are in the end report's details, one line each.
    const std::string& details = ui.boxes.back().details;
    std::size_t lines = 0;
    for (std::size_t p = details.find("\n  error: "); p != std::string::npos;
         p = details.find("\n  error: ", p + 1))
        ++lines;
    EXPECT_EQ(lines, r.tables[0].errorReports.size() + r.tables[1].errorReports.size()) << details;
}

TEST(RunBoxes, OnlyTheFirstErrorReportOfATableIsShownAndQuestionsAlwaysAre) {
    FakeUserInterface inner;
    CancelToken cancel;
    RunBoxes boxes(inner, &cancel);
    std::vector<std::string> a, b;
    boxes.beginTable(&a);
    boxes.messageBox("first", Buttons::Ok, Icon::Exclamation, "Application Error");
    boxes.messageBox("second", Buttons::Ok, Icon::Exclamation, "Application Error");
    inner.answers.push_back(Answer::Yes);
    EXPECT_EQ(boxes.messageBox("go on?", Buttons::YesNo, Icon::None, ""), Answer::Yes);
    boxes.beginTable(&b);
    boxes.messageBox("third", Buttons::Ok, Icon::Exclamation, "Application Error");
    boxes.beginTable(nullptr);
    boxes.messageBox("fourth", Buttons::Ok, Icon::Exclamation, "Application Error");
    ASSERT_EQ(inner.boxes.size(), 4u);
    EXPECT_EQ(inner.boxes[0].text, "first");
    EXPECT_EQ(inner.boxes[1].text, "go on?");
    EXPECT_EQ(inner.boxes[2].text, "third");
    EXPECT_EQ(inner.boxes[3].text, "fourth") << "outside a table every report is shown";
    EXPECT_EQ(a, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(b, std::vector<std::string>{"third"});

    // A cancel is heard at an event pump only while the run says it is at a safe point.
    cancel.request();
    boxes.setSafePoint(false);
    EXPECT_NO_THROW(boxes.processEvents());
    boxes.setSafePoint(true);
    EXPECT_THROW(boxes.processEvents(), RunCancelled);
    EXPECT_EQ(inner.eventPumps, 1);
}

} // namespace
} // namespace qm::test
