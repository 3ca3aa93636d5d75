// Runs killed at random moments while a second run starts at random: real quillmend processes
// sharing one working database and one backup folder. After the next start's recovery every
// table is byte for byte its old version or the version an uninterrupted run makes, and every
// summary a run printed agrees with what is on disk.
//
// QM_KILL_TRIALS sets the number of trials (default 200), QM_KILL_SEED the random seed (default:
// a fresh one, printed so that a failure can be replayed). The trials work in /dev/shm when there
// is one (QM_KILL_DIR names another folder): a killed process leaves its writes in the page cache
// all the same, so the disk's flushes would only make each trial slower, not the test stronger.

#include "cli_process.h"
#include "file_bytes.h"
#include "test_support.h"

#include "paradox/writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using paradox::FieldType;
using Files = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;

const char* const kTables[] = {"PETS", "ZOO", "BIRDS"};

void seedTables(const fs::path& folder) {
    fs::create_directories(folder);
    paradox::TableSpec pets;
    pets.fields = {{"Name", FieldType::Alpha, 20}, {"Notes", FieldType::Memo, 15}};
    std::vector<std::vector<paradox::Value>> rows;
    for (int i = 0; i < 600; ++i)
        rows.push_back(
            {paradox::valueFromText(pets.fields[0], "cat " + std::to_string(i)),
             paradox::valueFromText(pets.fields[1], "a cat whose memo is longer than its leader " +
                                                        std::to_string(i))});
    paradox::createTable(paradox::familyPathsFor(folder / "PETS.DB"), pets, rows);

    paradox::TableSpec zoo;
    zoo.fields = {{"Code", FieldType::Alpha, 10}, {"Animal", FieldType::Alpha, 20}};
    zoo.keyFields = 1;
    rows.clear();
    for (int i = 0; i < 100; ++i)
        rows.push_back({paradox::valueFromText(zoo.fields[0], "Z" + std::to_string(1000 + i)),
                        paradox::valueFromText(zoo.fields[1], i % 2 ? "a cat" : "a bird")});
    paradox::createTable(paradox::familyPathsFor(folder / "ZOO.db"), zoo, rows);

    paradox::TableSpec birds;
    birds.fields = {{"Name", FieldType::Alpha, 30}};
    rows.clear();
    for (int i = 0; i < 300; ++i)
        rows.push_back({paradox::valueFromText(
            birds.fields[0], i == 299 ? "catbird" : "finch " + std::to_string(i))});
    paradox::createTable(paradox::familyPathsFor(folder / "Birds.DB"), birds, rows);
}

struct Summary {
    bool dryRun = false;
    // Per table: what its line said.
    std::map<std::string, std::string> lines;
    bool closed = false; // the closing count line was printed
};

// The complete lines of a printed summary.
Summary parseSummary(const std::string& out, bool dryRun) {
    Summary s;
    s.dryRun = dryRun;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof() && !out.ends_with("\n"))
            break; // cut off by the kill
        const auto paren = line.find(" (");
        if (paren != std::string::npos && line.find("): ") != std::string::npos)
            s.lines[line.substr(0, paren)] = line;
        else if (line.find(" needing no change, ") != std::string::npos)
            s.closed = true;
    }
    return s;
}

// A folder of its own for the trials, removed with everything in it.
class TrialFolder {
  public:
    TrialFolder() {
        fs::path base = fs::temp_directory_path();
        if (const char* dir = std::getenv("QM_KILL_DIR"); dir && *dir)
            base = dir;
        else if (::access("/dev/shm", W_OK) == 0)
            base = "/dev/shm";
        std::string pattern = (base / "qm-kill-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TrialFolder() {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    TrialFolder(const TrialFolder&) = delete;
    TrialFolder& operator=(const TrialFolder&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

class KillCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp.path().empty()) << "cannot make a folder for the trials";
        app = temp.path() / "app";
        fs::create_directories(app);
        program = app / "quillmend";
        fs::copy_file(QM_CLI_PROGRAM, program);
        fs::copy_file(fs::path(QM_CLI_PROGRAM).parent_path() / "dbTemp.mdb", app / "dbTemp.mdb");
        data = temp.path() / "data";
        fs::create_directories(temp.path() / "tmp");
        backups = data / "Quillmend" / "backups";
        env = {"TEMP=" + (temp.path() / "tmp").string(), "XDG_DATA_HOME=" + data.string()};
    }

    std::vector<std::string> command(const std::string& what, const fs::path& folder) const {
        std::vector<std::string> argv{program.string(), what == "list" ? "list" : "replace",
                                      folder.string()};
        if (what != "list")
            argv.insert(argv.end(), {"--all", "--find", "cat", "--replace", "dog"});
        if (what == "dry")
            argv.push_back("--dry-run");
        return argv;
    }

    TrialFolder temp;
    fs::path app, program, data, backups;
    std::vector<std::string> env;
};

TEST_F(KillCliTest, EveryTableIsOldOrNewAndEveryPrintedSummaryIsTrue) {
    int trials = 200;
    if (const char* n = std::getenv("QM_KILL_TRIALS"))
        trials = std::max(1, std::atoi(n));
    unsigned seed = std::random_device{}();
    if (const char* s = std::getenv("QM_KILL_SEED"))
        seed = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
    std::cout << "kill trials: " << trials << ", seed " << seed << " (QM_KILL_SEED)\n";
    std::mt19937 random(seed);

    const fs::path pristine = temp.path() / "pristine";
    seedTables(pristine);
    const Files old = folderFiles(pristine);
    // The new versions, from a run that nobody disturbs; its length sets the time scale (the
    // shortest of three: the first one also makes the working database's pages).
    const fs::path work = temp.path() / "work";
    auto cleanTime = Clock::duration::max();
    for (int i = 0; i < 3; ++i) {
        fs::remove_all(work);
        fs::copy(pristine, work);
        const auto started = Clock::now();
        const ProcessOutput clean = runProcess(command("replace", work), env, temp.path());
        cleanTime = std::min(cleanTime, Clock::now() - started);
        ASSERT_EQ(clean.status, 0) << clean.err << clean.out;
    }
    const Files fresh = folderFiles(work);
    for (const char* t : kTables)
        ASSERT_TRUE(tableFamily(fresh, t) != tableFamily(old, t))
            << t << " has something to change";
    std::cout << "an undisturbed run takes "
              << std::chrono::duration_cast<std::chrono::milliseconds>(cleanTime).count()
              << " ms\n";

    std::map<std::string, int> figures;
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(cleanTime) * 11 / 10;
    std::uniform_int_distribution<long long> when(0, span.count());
    for (int trial = 0; trial < trials && !HasFatalFailure(); ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + ", seed " + std::to_string(seed));
        fs::remove_all(work);
        fs::copy(pristine, work);
        fs::remove_all(backups);
        const std::string second = std::array<const char*, 5>{"replace", "replace", "replace",
                                                              "dry", "list"}[random() % 5];
        const auto killAt = std::chrono::microseconds(when(random));
        const auto secondAt = std::chrono::microseconds(when(random));

        const fs::path outA = temp.path() / "a.out", errA = temp.path() / "a.err";
        const fs::path outB = temp.path() / "b.out", errB = temp.path() / "b.err";
        const auto t0 = Clock::now();
        const pid_t a = startProcess(command("replace", work), env, {outA}, errA);
        pid_t b = -1;
        const bool killFirst = killAt < secondAt;
        for (int event = 0; event < 2; ++event) {
            const bool kill = (event == 0) == killFirst;
            std::this_thread::sleep_until(t0 + (kill ? killAt : secondAt));
            if (kill)
                ::kill(a, SIGKILL); // a run that has ended already is a zombie: no harm
            else
                b = startProcess(command(second, work), env, {outB}, errB);
        }
        const int statusA = waitForExit(a);
        const int statusB = waitForExit(b);
        const bool killed = statusA == 128 + SIGKILL;
        figures[killed         ? "first run killed"
                : statusA == 3 ? "first run refused (second was first)"
                               : "first run ended before its kill"]++;
        EXPECT_TRUE(statusA == 0 || statusA == 3 || killed) << statusA << slurp(errA);
        if (second == "list") {
            EXPECT_EQ(statusB, 0) << slurp(errB);
            figures["second was a list"]++;
        } else {
            EXPECT_TRUE(statusB == 0 || statusB == 3) << statusB << slurp(errB) << slurp(outB);
            figures[statusB == 3 ? "second run refused: another run in progress"
                                 : "second run ran"]++;
        }
        if (statusA == 3 || statusB == 3) {
            const std::string& err = slurp(statusA == 3 ? errA : errB);
            EXPECT_NE(err.find("Another run is in progress"), std::string::npos) << err;
            EXPECT_TRUE(slurp(statusA == 3 ? outA : outB).empty());
        }

        // The next start: a list, which puts right what a killed run left before it lists.
        const ProcessOutput next = runProcess(command("list", work), env, temp.path());
        EXPECT_EQ(next.status, 0) << next.err;
        for (const char* t : kTables)
            EXPECT_NE(next.out.find(std::string(t) + "\t"), std::string::npos)
                << t << " is missing from the list";
        if ((b > 0 && slurp(errB).find("was put right") != std::string::npos) ||
            next.err.find("was put right") != std::string::npos)
            figures["a killed write-back was finished or undone"]++;
        const Files now = folderFiles(work);
        std::map<std::string, bool> isNew;
        int news = 0;
        for (const char* t : kTables) {
            const Files mine = tableFamily(now, t);
            const bool asNew = mine == tableFamily(fresh, t);
            EXPECT_TRUE(asNew || mine == tableFamily(old, t)) << t << " is neither old nor new";
            isNew[t] = asNew;
            news += asNew;
        }
        figures[news == 0   ? "all tables old"
                : news == 3 ? "all tables new"
                            : "some old, some new"]++;
        EXPECT_EQ(now.size(), old.size()) << "a temporary file is left in the folder";
        EXPECT_TRUE(!fs::exists(backups / "pending") || fs::is_empty(backups / "pending"))
            << "a journal or its lock file is left";

        // What each run printed is true of the disk.
        const auto check = [&](const std::string& out, bool dryRun, const char* who) {
            const Summary s = parseSummary(out, dryRun);
            if (s.lines.empty())
                return;
            figures[std::string(who) + " printed a summary"]++;
            EXPECT_TRUE(s.closed) << "a summary without its count: " << out;
            for (const auto& [table, line] : s.lines) {
                SCOPED_TRACE(line);
                ASSERT_TRUE(isNew.count(table));
                EXPECT_EQ(line.find("not written back"), std::string::npos);
                if (line.find(", would be written back") != std::string::npos) {
                    // The dry run saw it old. Only when it made the first run wait was nothing
                    // run after it: a first run that was not refused may have started late and
                    // taken the locks once the dry run had ended.
                    if (statusA == 3) {
                        EXPECT_FALSE(isNew[table]) << "a dry run saw it old, and nothing ran after";
                    }
                } else if (line.find(", written back") != std::string::npos ||
                           line.find(", nothing to write back") != std::string::npos)
                    EXPECT_TRUE(isNew[table]);
                else
                    ADD_FAILURE() << "unexpected line";
            }
        };
        if (!killed)
            check(slurp(outA), false, "first run");
        if (second != "list")
            check(slurp(outB), second == "dry", "second run");
        else
            EXPECT_EQ(statusB, 0);
    }
    std::cout << "kill test figures over " << trials << " trials:\n";
    for (const auto& [what, n] : figures)
        std::cout << "  " << what << ": " << n << "\n";
    EXPECT_GT(figures["first run killed"], trials / 4) << "the kills fall inside the runs";
}

// A run killed at each of its renames, and at each of its flushes, in turn (strace's fault
// injection), then undone: every table is back as it was before the run. An undo that cannot
// find a run is right only when the run had changed nothing.
TEST_F(KillCliTest, AnUndoAfterAKillAtAnyRenameOrFlushPutsEveryTableBack) {
    if (::access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    const fs::path pristine = temp.path() / "pristine", work = temp.path() / "work";
    seedTables(pristine);
    const Files old = folderFiles(pristine);
    std::map<std::string, int> kills;
    for (const std::string call : {"rename", "fsync"}) {
        for (int n = 1; !HasFailure(); ++n) {
            SCOPED_TRACE("killed at " + call + " " + std::to_string(n));
            fs::remove_all(work);
            fs::copy(pristine, work);
            fs::remove_all(backups);
            // Two of the tables: a run of more only repeats the same steps.
            // LeakSanitizer cannot work under ptrace: a sanitizer build of the program ends with
            // a failure status there unless its leak check is off.
            const std::vector<std::string> argv{"/usr/bin/strace",
                                                "-E",
                                                "ASAN_OPTIONS=detect_leaks=0",
                                                "-f",
                                                "-qq",
                                                "-o",
                                                "/dev/null",
                                                "-e",
                                                "trace=" + call,
                                                "-e",
                                                "inject=" + call +
                                                    ":signal=KILL:when=" + std::to_string(n),
                                                program.string(),
                                                "replace",
                                                work.string(),
                                                "--table",
                                                "PETS",
                                                "--table",
                                                "BIRDS",
                                                "--find",
                                                "cat",
                                                "--replace",
                                                "dog"};
            const ProcessOutput run = runProcess(argv, env, temp.path());
            if (run.status != 128 + SIGKILL) {
                EXPECT_EQ(run.status, 0) << run.err << run.out;
                EXPECT_GT(n, 3) << "the run makes that call";
                break; // past its last such call
            }
            ++kills[call];
            const ProcessOutput undo = runProcess({program.string(), "undo"}, env, temp.path());
            EXPECT_EQ(folderFiles(work), old) << undo.out << undo.err;
            EXPECT_TRUE(undo.status == 0 || undo.status == 2) << undo.out << undo.err;
        }
    }
    std::cout << "kills: " << kills["rename"] << " at renames, " << kills["fsync"]
              << " at flushes\n";
}

} // namespace
} // namespace qm::test
