// One run at a time: the run locks between real processes, and a run of the window (runReplace)
// refused while another process holds them.

#include "replace_fixture.h"

#include "replace/run_lock.h"

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

using paradox::FieldType;

// Another process that takes the run locks and keeps them until it is killed.
class OtherRun {
  public:
    OtherRun(const fs::path& workingDb, const fs::path& backupRoot) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            const RunLock lock = RunLock::acquire(workingDb, backupRoot);
            const char c = lock.held() ? 'h' : 'n';
            (void)!::write(ready[1], &c, 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char c = 0;
        held_ = ::read(ready[0], &c, 1) == 1 && c == 'h';
        ::close(ready[0]);
    }
    ~OtherRun() { end(); }
    bool held() const { return held_; }
    void end() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    bool held_ = false;
};

// Whether a fresh process could take the locks now (it exits at once either way).
bool anotherProcessCouldRun(const fs::path& workingDb, const fs::path& backupRoot) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(RunLock::acquire(workingDb, backupRoot).held() ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class RunLockTest : public ReplaceFixture {
  protected:
    fs::path workingDb() const { return appDir / "dbTemp.mdb"; }
};

TEST_F(RunLockTest, ASecondProcessIsRefusedAtOnceAndTheLocksDieWithTheirProcess) {
    OtherRun first(workingDb(), backups);
    ASSERT_TRUE(first.held());
    const auto start = std::chrono::steady_clock::now();
    const RunLock refused = RunLock::acquire(workingDb(), backups);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "no waiting";
    EXPECT_EQ(refused.state(), RunLock::State::Busy);
    EXPECT_TRUE(refused.reason().starts_with(kAnotherRunInProgress)) << refused.reason();

    // Either lock alone keeps a second run out: another backup folder with the same working
    // database, or the same backup folder with another working database.
    EXPECT_EQ(RunLock::acquire(workingDb(), temp_.path() / "other-backups").state(),
              RunLock::State::Busy);
    EXPECT_EQ(RunLock::acquire(temp_.path() / "other.mdb", backups).state(), RunLock::State::Busy);

    first.end(); // killed: its locks go with it
    const RunLock mine = RunLock::acquire(workingDb(), backups);
    EXPECT_TRUE(mine.held()) << mine.reason();
}

TEST_F(RunLockTest, OneProcessSharesItsLocksAndLetsThemGoWithTheLastHolder) {
    std::optional<RunLock> outer(RunLock::acquire(workingDb(), backups));
    ASSERT_TRUE(outer->held()) << outer->reason();
    {
        // The command line holds the locks and then starts the run, which takes them again.
        const RunLock inner = RunLock::acquire(workingDb(), backups / "." / "");
        EXPECT_TRUE(inner.held()) << inner.reason();
    }
    EXPECT_FALSE(anotherProcessCouldRun(workingDb(), backups)) << "the outer holder still has them";
    outer.reset();
    EXPECT_TRUE(anotherProcessCouldRun(workingDb(), backups));
}

TEST_F(RunLockTest, ALockFileThatCannotBeMadeStopsTheRunBeforeItStarts) {
    std::ofstream(temp_.path() / "blocked").close(); // a file where the backup folder should be
    const RunLock lock = RunLock::acquire(workingDb(), temp_.path() / "blocked" / "backups");
    EXPECT_EQ(lock.state(), RunLock::State::Failed);
    EXPECT_FALSE(lock.reason().starts_with(kAnotherRunInProgress)) << lock.reason();
}

TEST_F(RunLockTest, AWindowRunWhileAnotherRunsSaysSoAndChangesNothing) {
    makeTable("PETS.DB", {{"Name", FieldType::Alpha, 20}}, {{"black cat"}});
    const auto before = files(paradoxDir);
    const auto inputs = pair({row("PETS.DB")}, "cat", "dog");
    for (const bool dry : {false, true}) {
        SCOPED_TRACE(dry ? "dry run" : "run");
        OtherRun other(workingDb(), backups);
        ASSERT_TRUE(other.held());
        options.dryRun = dry;
        ui.boxes.clear();
        const RunResult r = run(inputs);
        EXPECT_EQ(r.end, RunResult::End::Busy);
        EXPECT_FALSE(r.clean());
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_TRUE(ui.boxes[0].text.starts_with(kAnotherRunInProgress)) << ui.boxes[0].text;
        EXPECT_EQ(endOfRunReport(r), ui.boxes[0].text);
        EXPECT_TRUE(r.tables.empty());
        EXPECT_EQ(files(paradoxDir), before);
        EXPECT_FALSE(fs::exists(options.changeLog));
        EXPECT_EQ(fs::file_size(workingDb()), 0u) << "the working database was not opened";
    }
    options.dryRun = false;
    const RunResult after = run(inputs);
    EXPECT_TRUE(after.clean()) << endOfRunReport(after);
    EXPECT_EQ(values(paradoxDir / "PETS.DB"),
              (std::vector<std::vector<std::string>>{{"black dog"}}));
}

} // namespace
} // namespace qm::test
