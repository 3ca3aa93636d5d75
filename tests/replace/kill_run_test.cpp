#include "replace_fixture.h"

#include "paradox/family_swap.h"
#include "replace/run_recovery.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

using paradox::FieldType;
using Files = std::map<std::string, std::string>;

class KillRunTest : public ReplaceFixture {
  protected:
    void seedTables(const fs::path& folder) {
        paradox::TableSpec spec;
        spec.fields = {{"Name", FieldType::Alpha, 20}, {"Notes", FieldType::Memo, 15}};
        std::vector<std::vector<paradox::Value>> rows;
        for (int i = 0; i < 300; ++i)
            rows.push_back({paradox::valueFromText(spec.fields[0], "cat " + std::to_string(i)),
                            paradox::valueFromText(spec.fields[1],
                                                   "a cat whose memo is longer than its leader " +
                                                       std::to_string(i))});
        paradox::createTable(paradox::familyPathsFor(folder / "Pets.DB"), spec, rows);
        paradox::TableSpec zoo;
        zoo.fields = {{"Code", FieldType::Alpha, 10}, {"Animal", FieldType::Alpha, 20}};
        zoo.keyFields = 1;
        paradox::createTable(paradox::familyPathsFor(folder / "zoo.db"), zoo,
                             {{paradox::valueFromText(zoo.fields[0], "Z1"),
                               paradox::valueFromText(zoo.fields[1], "a cat")}});
    }
    RunInputs inputsFor(const fs::path& folder) const {
        return pair({{"PETS", folder.string(), "Pets.DB"}, {"ZOO", folder.string(), "zoo.db"}},
                    "cat", "dog");
    }
    // The members of one table in a folder.
    static Files family(const Files& all, const std::string& stem) {
        Files out;
        for (const auto& [name, bytes] : all)
            if (fs::path(name).stem().string() == stem)
                out[name] = bytes;
        return out;
    }
};

TEST_F(KillRunTest, AKilledWriteBackLeavesEachTableOldOrNewAfterTheNextStart) {
    // The new versions, from a run that is not interrupted.
    // Seeded once and copied: a table's header carries the time it was written.
    const fs::path pristine = temp_.path() / "pristine";
    fs::create_directories(pristine);
    seedTables(pristine);
    const auto copyPristine = [&](const fs::path& to) {
        fs::create_directories(to);
        for (const auto& e : fs::directory_iterator(pristine))
            fs::copy_file(e.path(), to / e.path().filename());
    };
    const fs::path reference = temp_.path() / "reference";
    copyPristine(reference);
    const Files old = files(reference);
    {
        const auto r = run(inputsFor(reference));
        ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    }
    const Files fresh = files(reference);
    ASSERT_TRUE(family(fresh, "Pets") != family(old, "Pets"));
    ASSERT_TRUE(family(fresh, "zoo") != family(old, "zoo"));

    int killed = 0;
    bool sawBetween = false;
    for (int step = 1; step < 400; ++step) {
        SCOPED_TRACE("killed at swap step " + std::to_string(step));
        const fs::path base = temp_.path() / ("k" + std::to_string(step));
        const fs::path folder = base / "paradox", app = base / "app", root = base / "backups";
        fs::create_directories(app);
        std::ofstream(app / "dbTemp.mdb").close();
        copyPristine(folder);
        ASSERT_TRUE(files(folder) == old);

        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setApplicationFolder(app.string());
            paradox::testhooks::setSwapStepHook([step](int n) {
                if (n == step)
                    ::raise(SIGKILL);
            });
            FakeUserInterface childUi;
            RunOptions o;
            o.changeLog = base / "backups.log";
            o.backupRoot = root;
            runReplace(childUi, inputsFor(folder), o);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        const bool wasKilled = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (!wasKilled) {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_TRUE(files(folder) == fresh) << "the run past its last step completes";
            break;
        }
        ++killed;
        // The next start.
        recoverInterruptedRuns(root);
        const Files now = files(folder);
        EXPECT_TRUE(fs::is_empty(root / "pending") || !fs::exists(root / "pending"));
        for (const std::string stem : {"Pets", "zoo"}) {
            const Files mine = family(now, stem);
            EXPECT_TRUE(mine == family(old, stem) || mine == family(fresh, stem))
                << stem << " is neither its old nor its new version";
        }
        std::size_t members = family(now, "Pets").size() + family(now, "zoo").size();
        EXPECT_EQ(members, now.size()) << "no temporary file is left in the folder";
        if (family(now, "Pets") == family(fresh, "Pets") &&
            family(now, "zoo") == family(old, "zoo"))
            sawBetween = true;
    }
    EXPECT_GT(killed, 10) << "the write-back has that many steps to be killed at";
    EXPECT_TRUE(sawBetween) << "some kill fell between the two tables";
}

} // namespace
} // namespace qm::test
