#include "lock_holder.h"
#include "replace_fixture.h"

#include "paradox/family_swap.h"
#include "paradox/share_locks.h"
#include "replace/change_log.h"
#include "replace/table_write_back.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {
namespace {

using paradox::FieldType;

const std::vector<paradox::FieldSpec> kPets = {
    {"Name", FieldType::Alpha, 20}, {"Notes", FieldType::Memo, 20}, {"Age", FieldType::Long, 0}};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class SharedTablesTest : public ReplaceFixture {
  protected:
    void TearDown() override {
        testhooks::setBeforeWriteBackHook({});
        ReplaceFixture::TearDown();
    }
    fs::path pets() { return makeTable("PETS.DB", kPets, {{"cat", "", "1"}, {"dog", "", "2"}}); }
    fs::path birds() { return makeTable("BIRDS.DB", kPets, {{"cat bird", "", "3"}}); }
    void put(const std::string& name, const std::string& bytes) {
        std::ofstream(paradoxDir / name, std::ios::binary) << bytes;
    }
};

// A table another program holds keeps its files, and the report says why; the other tables of
// the run are written back.
TEST_F(SharedTablesTest, ATableAnotherProgramHoldsIsNotWrittenBack) {
    pets();
    birds();
    put("PDOXUSRS.LCK", std::string("\x02\x00PETS.DB\x00\x00", 11));
    const auto before = files(paradoxDir);
    RunResult r;
    {
        LockHolder other(paradoxDir / "PDOXUSRS.LCK", LockHolder::Kind::Write, 0x40000000, 16);
        r = run(pair({row("PETS.DB"), row("BIRDS.DB")}, "cat", "lion"));
    }
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_TRUE(contains(r.tables[0].reason, "in use by another program")) << r.tables[0].reason;
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written) << r.tables[1].reason;
    EXPECT_EQ(files(paradoxDir)["PETS.DB"], before.at("PETS.DB"));
    EXPECT_EQ(values(paradoxDir / "BIRDS.DB")[0][0], "lion bird");
    EXPECT_TRUE(contains(ui.boxes.back().text, "in use by another program"));
    EXPECT_FALSE(r.clean());
}

TEST_F(SharedTablesTest, AnotherProcessLockingATableFileKeepsTheTableAsItWas) {
    const fs::path db = pets();
    const auto before = files(paradoxDir);
    LockHolder other(db, LockHolder::Kind::Read, 2048, 1);
    const auto r = run(pair({row("PETS.DB")}, "cat", "lion"));
    ASSERT_EQ(r.tables.size(), 1u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_TRUE(contains(r.tables[0].reason, "in use by another program"));
    EXPECT_TRUE(contains(r.tables[0].reason, "PETS.DB"));
    EXPECT_EQ(files(paradoxDir), before);
}

// Lock files nobody holds: the run asks first; "No" leaves everything, the change log included,
// as it was; "Yes" goes on.
TEST_F(SharedTablesTest, StaleLockFilesAreAskedAbout) {
    pets();
    put("PARADOX.LCK", "left behind");
    const auto before = files(paradoxDir);
    const auto no = run(pair({row("PETS.DB")}, "cat", "lion"));
    EXPECT_EQ(no.end, RunResult::End::NotStarted);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::YesNo);
    EXPECT_TRUE(contains(ui.boxes[0].text, (paradoxDir / "PARADOX.LCK").string()));
    EXPECT_EQ(files(paradoxDir), before);
    EXPECT_FALSE(fs::exists(options.changeLog));
    EXPECT_TRUE(ui.pointers.empty());

    ui.boxes.clear();
    ui.answers.push_back(Answer::Yes);
    const auto yes = run(pair({row("PETS.DB")}, "cat", "lion"));
    EXPECT_TRUE(yes.clean()) << endOfRunReport(yes);
    EXPECT_EQ(values(paradoxDir / "PETS.DB")[0][0], "lion");
    EXPECT_EQ(files(paradoxDir)["PARADOX.LCK"], "left behind") << "not the run's to remove";

    ui.boxes.clear();
    options.ignoreStaleLocks = true;
    const auto told = run(pair({row("PETS.DB")}, "lion", "cat"));
    EXPECT_TRUE(told.clean());
    EXPECT_EQ(ui.boxes.size(), 1u) << "only the closing box";
}

// A table whose validity file cannot be read: the run asks once for that table, "No" by default,
// whether its values go in untested; the end report names the table either way.
TEST_F(SharedTablesTest, UnreadableValidityChecksAreAskedAboutOncePerTable) {
    pets();
    birds();
    std::string val(0x35, '\0');
    val[1] = '\x20'; // a layout no Paradox we know writes
    put("PETS.VAL", val);
    put("BIRDS.VAL", val);
    const auto before = files(paradoxDir);
    const auto no = run(pair({row("PETS.DB"), row("BIRDS.DB")}, "cat", "lion"));
    ASSERT_EQ(no.tables.size(), 2u);
    ASSERT_GE(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::YesNoDefaultNo);
    EXPECT_TRUE(contains(ui.boxes[0].text, "table PETS")) << ui.boxes[0].text;
    EXPECT_TRUE(contains(ui.boxes[0].text, "\"PETS.VAL\" has a layout of level 32"));
    EXPECT_TRUE(contains(ui.boxes[1].text, "table BIRDS")) << ui.boxes[1].text;
    ASSERT_EQ(no.tables[0].leftUnchanged.size(), 1u);
    EXPECT_EQ(no.tables[0].leftUnchanged[0].count, 1);
    EXPECT_TRUE(contains(no.tables[0].leftUnchanged[0].reason, "PETS.VAL"));
    EXPECT_EQ(files(paradoxDir), before);

    ui.boxes.clear();
    ui.answers = {Answer::Yes, Answer::No};
    const auto mixed = run(pair({row("PETS.DB"), row("BIRDS.DB")}, "cat", "lion"));
    EXPECT_EQ(values(paradoxDir / "PETS.DB")[0][0], "lion");
    EXPECT_TRUE(contains(mixed.tables[0].reason, "without testing its validity checks"))
        << mixed.tables[0].reason;
    EXPECT_EQ(files(paradoxDir)["BIRDS.DB"], before.at("BIRDS.DB"));
    EXPECT_EQ(std::count_if(ui.boxes.begin(), ui.boxes.end(),
                            [](const auto& b) { return b.buttons == Buttons::YesNoDefaultNo; }),
              2);
}

// Another process changes the table between its import and its write-back: the run's values,
// made from the old state, must not replace the new one.
TEST_F(SharedTablesTest, ATableChangedDuringTheRunIsNotWrittenBack) {
    const fs::path db = pets();
    birds();
    std::string changedTo;
    testhooks::setBeforeWriteBackHook([&](const TableRow& row, const std::string&) {
        if (row.name != "PETS")
            return;
        EXPECT_EQ(inChildProcess([&] {
                      const int fd = ::open(db.c_str(), O_WRONLY | O_APPEND);
                      return fd >= 0 && ::write(fd, "\0", 1) == 1 ? 0 : 1;
                  }),
                  0);
        changedTo = files(paradoxDir).at("PETS.DB");
    });
    const auto r = run(pair({row("PETS.DB"), row("BIRDS.DB")}, "cat", "lion"));
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_TRUE(contains(r.tables[0].reason, "changed by another program during the run"))
        << r.tables[0].reason;
    EXPECT_EQ(files(paradoxDir).at("PETS.DB"), changedTo) << "the other program's change stays";
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written);
    EXPECT_TRUE(contains(ui.boxes.back().text, "changed by another program"));
}

// A change that keeps the size and the modification time is still a change.
TEST_F(SharedTablesTest, AChangeOfContentAloneIsSeen) {
    const fs::path db = pets();
    testhooks::setBeforeWriteBackHook([&](const TableRow&, const std::string&) {
        struct stat st {};
        ::stat(db.c_str(), &st);
        std::string bytes = files(paradoxDir).at("PETS.DB");
        const auto at = bytes.find("dog");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(inChildProcess([&] {
                      const int fd = ::open(db.c_str(), O_WRONLY);
                      return fd >= 0 && ::pwrite(fd, "cow", 3, static_cast<off_t>(at)) == 3 ? 0 : 1;
                  }),
                  0);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(AT_FDCWD, db.c_str(), times, 0);
    });
    const auto r = run(pair({row("PETS.DB")}, "cat", "lion"));
    ASSERT_EQ(r.tables.size(), 1u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_TRUE(contains(r.tables[0].reason, "content of its file PETS.DB changed"))
        << r.tables[0].reason;
    EXPECT_EQ(values(db)[1][0], "cow");
    EXPECT_EQ(values(db)[0][0], "cat");
}

// A change log that is a link, or not the user's, stops the run before it begins.
TEST_F(SharedTablesTest, AChangeLogThatIsALinkIsRefusedBeforeTheRun) {
    pets();
    const fs::path target = temp_.path() / "precious.txt";
    std::ofstream(target) << "keep me\n";
    fs::create_symlink(target, options.changeLog);
    const auto before = files(paradoxDir);
    const auto r = run(pair({row("PETS.DB")}, "cat", "lion"));
    EXPECT_EQ(r.end, RunResult::End::NotStarted);
    EXPECT_TRUE(contains(r.failure, "symbolic link")) << r.failure;
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].title, kErrorReportTitle);
    EXPECT_EQ(files(paradoxDir), before);
    EXPECT_EQ(files(temp_.path()).at("precious.txt"), "keep me\n");
    EXPECT_THROW(WriteChangeLog(options.changeLog, "a line"), Error);
    EXPECT_EQ(files(temp_.path()).at("precious.txt"), "keep me\n");

    fs::remove(options.changeLog);
    fs::create_directory(options.changeLog);
    EXPECT_TRUE(contains(changeLogProblem(options.changeLog), "not a regular file"));
    fs::remove(options.changeLog);
    EXPECT_EQ(changeLogProblem(options.changeLog), "") << "made at the first hit";
}

// The run's writer opens the log at its first line and keeps it: each line reaches the file at
// once (another program may read it meanwhile), and it refuses what WriteChangeLog refuses.
TEST_F(SharedTablesTest, TheRunsChangeLogWriterAppendsEachLineAtOnce) {
    {
        ChangeLogWriter writer(options.changeLog);
        EXPECT_FALSE(fs::exists(options.changeLog)) << "made at the first line, not before";
        writer.write("first");
        EXPECT_EQ(files(temp_.path()).at("backups.log"), "first\r\n");
        writer.write("second");
        EXPECT_EQ(files(temp_.path()).at("backups.log"), "first\r\nsecond\r\n");
    }
    ChangeLogWriter again(options.changeLog);
    again.write("third");
    EXPECT_EQ(files(temp_.path()).at("backups.log"), "first\r\nsecond\r\nthird\r\n");

    fs::remove(options.changeLog);
    std::ofstream(temp_.path() / "precious.txt") << "keep me\n";
    fs::create_symlink(temp_.path() / "precious.txt", options.changeLog);
    ChangeLogWriter linked(options.changeLog);
    EXPECT_THROW(linked.write("a line"), Error);
    EXPECT_EQ(files(temp_.path()).at("precious.txt"), "keep me\n");
}

TEST_F(SharedTablesTest, AChangeLogOfAnotherUserIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the change log to another user";
    pets();
    std::ofstream(options.changeLog) << "";
    ASSERT_EQ(::chown(options.changeLog.c_str(), 65534, 65534), 0);
    const auto r = run(pair({row("PETS.DB")}, "cat", "lion"));
    EXPECT_EQ(r.end, RunResult::End::NotStarted);
    EXPECT_TRUE(contains(r.failure, "belongs to another user")) << r.failure;
    EXPECT_EQ(values(paradoxDir / "PETS.DB")[0][0], "cat");
}

// Table files that are links to another folder: the files they lead to are read, backed up and
// rewritten; the links stay links.
TEST_F(SharedTablesTest, ATableOfLinksIsRewrittenWhereTheyLead) {
    const fs::path real = pets();
    const fs::path elsewhere = temp_.path() / "linked";
    fs::create_directories(elsewhere);
    for (const auto& member : paradox::familyFiles(real))
        fs::create_symlink(member, elsewhere / member.filename());
    const auto r = run(pair({row("PETS.DB", elsewhere)}, "cat", "lion"));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_TRUE(fs::is_symlink(elsewhere / "PETS.DB"));
    EXPECT_EQ(values(real)[0][0], "lion");
    ASSERT_FALSE(r.tables[0].backupFolder.empty());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(r.tables[0].backupFolder / "PETS.DB")));

    // Only the .db a link: refused with the reason, nothing changed.
    const fs::path mixed = temp_.path() / "mixed";
    fs::create_directories(mixed);
    fs::create_symlink(real, mixed / "PETS.DB");
    fs::copy_file(paradoxDir / "PETS.MB", mixed / "PETS.MB");
    const auto again = run(pair({row("PETS.DB", mixed)}, "lion", "cat"));
    ASSERT_EQ(again.tables.size(), 1u);
    EXPECT_EQ(again.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_TRUE(contains(again.tables[0].reason, "symbolic links")) << again.tables[0].reason;
    EXPECT_TRUE(fs::is_symlink(mixed / "PETS.DB"));
    EXPECT_EQ(values(real)[0][0], "lion");
}

} // namespace
} // namespace qm::test
