// quillmend among other runs and in hostile places: a second run while one is in progress, what
// a killed run left, a summary that cannot be written, an installed read-only program run by a
// user who cannot write it. Real processes throughout.

#include "cli_process.h"
#include "fake_user_interface.h"
#include "test_support.h"

#include "app/common.h"
#include "paradox/family_swap.h"
#include "replace/replace_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

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

// Every entry under a folder with its mode, owner and bytes (folders included).
std::map<std::string, std::string> statTree(const fs::path& folder) {
    std::map<std::string, std::string> m;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        m[fs::relative(e.path(), folder).string()] =
            std::to_string(st.st_mode) + "/" + std::to_string(st.st_uid) + "/" +
            std::to_string(st.st_mtime) + "/" + (e.is_regular_file() ? slurp(e.path()) : "");
    }
    return m;
}

std::string replacedAll(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class SafetyCliTest : public QuillmendProcessTest {
  protected:
    void SetUp() override {
        previousApp_ = applicationFolder();
        QuillmendProcessTest::SetUp();
    }
    void TearDown() override { setApplicationFolder(previousApp_); }

    // A run of the window's engine in a child process, as the window would start it, over this
    // program's working database and backup folder, with fn called at every swap step.
    template <class Fn> pid_t startEngineRun(const fs::path& folder, Fn atStep) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            setApplicationFolder(app.string());
            paradox::testhooks::setSwapStepHook(atStep);
            FakeUserInterface ui;
            RunInputs in;
            for (const char* t : {"CUSTOMER", "ORDERS", "PRODUCTS"})
                in.rows.push_back({{t, folder.string(), ""}, true});
            in.findText = "grey";
            in.replaceText = "gray";
            RunOptions o;
            o.changeLog = tmp / "backups.log";
            o.backupRoot = backups;
            const RunResult r = runReplace(ui, in, o);
            ::_exit(r.clean() ? 0 : 1);
        }
        return pid;
    }

  private:
    std::string previousApp_;
};

TEST_F(SafetyCliTest, ASecondRunWhileOneIsInProgressIsRefusedWithStatusThree) {
    const fs::path db = samples();
    const Files before = tree(db);
    // The first run is held at its first write-back step until the test lets it go.
    int up[2], down[2];
    ASSERT_EQ(::pipe(up), 0);
    ASSERT_EQ(::pipe(down), 0);
    const pid_t first = startEngineRun(db, [&](int step) {
        if (step != 0)
            return;
        char c = 'h';
        (void)!::write(up[1], &c, 1);
        (void)!::read(down[0], &c, 1);
    });
    ::close(up[1]);
    ::close(down[0]);
    char c = 0;
    ASSERT_EQ(::read(up[0], &c, 1), 1) << "the first run reached its write-back";
    const Files during = tree(db);
    const Files journals = tree(backups / "pending");
    EXPECT_FALSE(journals.empty());

    for (const bool dry : {false, true}) {
        std::vector<std::string> args{"replace", db.string(), "--all", "--find",
                                      "grey",    "--replace", "gray"};
        if (dry)
            args.push_back("--dry-run");
        const ProcessOutput second = quillmend(args);
        EXPECT_EQ(second.status, 3) << second.err << second.out;
        EXPECT_NE(second.err.find("Another run is in progress"), std::string::npos) << second.err;
        EXPECT_TRUE(second.out.empty()) << second.out;
    }
    // A list is no run: it works, and leaves the live run's journal to it.
    const ProcessOutput list = quillmend({"list", db.string()});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(tree(db), during);
    EXPECT_EQ(tree(backups / "pending"), journals);

    c = 'g';
    ASSERT_EQ(::write(down[1], &c, 1), 1);
    EXPECT_EQ(waitForExit(first), 0) << "the first run ends as if alone";
    ::close(up[0]);
    ::close(down[1]);
    // As a run that had been alone: the same bytes as a run on another copy.
    const fs::path reference = temp.path() / "Reference";
    fs::create_directories(reference);
    for (const auto& [name, bytes] : before)
        std::ofstream(reference / name, std::ios::binary | std::ios::trunc) << bytes;
    const ProcessOutput alone =
        quillmend({"replace", reference.string(), "--all", "--find", "grey", "--replace", "gray"});
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_TRUE(tree(db) == tree(reference));
    EXPECT_TRUE(tree(db) != before);
    // Only the two runs' hits are in the change log.
    const std::string log = slurp(tmp / "backups.log");
    std::size_t lines = 0;
    for (auto at = log.find("\r\n"); at != std::string::npos; at = log.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, 12u) << log;
    EXPECT_TRUE(tree(backups / "pending").empty());
    // The locks went with the first run: the next run goes ahead.
    const ProcessOutput next =
        quillmend({"replace", db.string(), "--all", "--find", "gray", "--replace", "grey"});
    EXPECT_EQ(next.status, 0) << next.err << next.out;
}

TEST_F(SafetyCliTest, EveryEntryPutsBackWhatAKilledRunLeftAsideBeforeItListsOrReads) {
    // Find a step of the write-back at which a table is away from its folder.
    const fs::path probe = samples("Probe");
    const Files pristine = tree(probe);
    int aside = -1;
    for (int n = 0; n < 80 && aside < 0; ++n) {
        fs::remove_all(probe);
        fs::create_directories(probe);
        for (const auto& [name, bytes] : pristine)
            std::ofstream(probe / name, std::ios::binary) << bytes;
        const pid_t pid = startEngineRun(probe, [n](int step) {
            if (step == n)
                ::raise(SIGKILL);
        });
        if (waitForExit(pid) != 128 + SIGKILL)
            break;
        for (const auto& [name, bytes] : pristine)
            if (fs::path(name).extension() != ".txt" && !fs::exists(probe / name))
                aside = n;
        paradox::recoverPendingSwaps(backups);
    }
    ASSERT_GE(aside, 0) << "no step leaves a table aside";

    const std::vector<std::vector<std::string>> entries = {
        {"list"},
        {"replace", "--all", "--find", "zzz", "--replace", "y", "--dry-run"},
        {"replace", "--all", "--find", "zzz", "--replace", "y"}};
    for (const auto& entry : entries) {
        SCOPED_TRACE(entry[0] + (entry.size() > 6 ? " --dry-run" : ""));
        const fs::path db = samples("Killed-" + std::to_string(entry.size()));
        const Files before = tree(db);
        const pid_t pid = startEngineRun(db, [aside](int step) {
            if (step == aside)
                ::raise(SIGKILL);
        });
        ASSERT_EQ(waitForExit(pid), 128 + SIGKILL);
        ASSERT_NE(tree(db), before) << "a table is aside";
        std::vector<std::string> args{entry[0], db.string()};
        args.insert(args.end(), entry.begin() + 1, entry.end());
        const ProcessOutput o = quillmend(args);
        EXPECT_EQ(o.status, 0) << o.err << o.out;
        EXPECT_NE(o.err.find("an interrupted run was put right"), std::string::npos) << o.err;
        for (const char* table : {"CUSTOMER", "ORDERS", "PRODUCTS"})
            EXPECT_NE(o.out.find(std::string(table) + (entry[0] == "list" ? "\t" : " (")),
                      std::string::npos)
                << table << " is missing: " << o.out;
        EXPECT_TRUE(tree(backups / "pending").empty());
        for (const auto& [name, bytes] : tree(db))
            EXPECT_TRUE(before.count(name)) << "a stray file " << name;
    }
}

TEST_F(SafetyCliTest, ASummaryThatCannotBeWrittenEndsWithAFailureStatus) {
    const fs::path db = samples();
    const int full = ::open("/dev/full", O_WRONLY);
    if (full < 0)
        GTEST_SKIP() << "no /dev/full here";
    const auto runTo = [&](const StdoutTo& out, const std::vector<std::string>& args) {
        std::vector<std::string> argv{program.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        const fs::path err = temp.path() / "err";
        ProcessOutput o;
        o.status = waitForExit(startProcess(argv, env, out, err));
        o.err = slurp(err);
        return o;
    };
    const std::vector<std::vector<std::string>> commands = {
        {"list", db.string()},
        {"replace", db.string(), "--all", "--find", "grey", "--replace", "gray", "--dry-run"},
        {"--help"},
        {"replace", db.string(), "--all", "--find", "grey", "--replace", "gray"}};
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0]);
        const ProcessOutput disk = runTo({{}, full}, args);
        EXPECT_EQ(disk.status, 1) << disk.err;
        EXPECT_NE(disk.err.find("cannot write to standard output: No space left on device"),
                  std::string::npos)
            << disk.err;

        int p[2];
        ASSERT_EQ(::pipe(p), 0);
        ::close(p[0]); // nobody will read
        const ProcessOutput pipe = runTo({{}, p[1]}, args);
        ::close(p[1]);
        EXPECT_EQ(pipe.status, 1) << "not killed by SIGPIPE: " << pipe.err;
        EXPECT_NE(pipe.err.find("cannot write to standard output: Broken pipe"), std::string::npos)
            << pipe.err;
    }
    ::close(full);
}

// As root: a read-only copy of the build's program folder, run by an unprivileged user whose
// only writable place is a home of its own.
TEST_F(SafetyCliTest, AnInstalledReadOnlyProgramWorksForAnUnprivilegedUserAsFromABuildFolder) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to install a read-only program and run it as uid 65534";
    if (!fs::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "setpriv is not installed";
    constexpr uid_t kNobody = 65534;
    fs::permissions(temp.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    const fs::path installed = temp.path() / "opt" / "quillmend";
    fs::create_directories(installed);
    fs::copy_file(program, installed / "quillmend");
    fs::copy_file(app / "dbTemp.mdb", installed / "dbTemp.mdb");
    const fs::path shippedSamples = samples("shipped");
    fs::rename(shippedSamples, installed / "Samples");
    const auto readOnly = [](const fs::path& p) {
        fs::permissions(p,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        fs::permissions(p, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add);
    };
    for (const auto& e : fs::recursive_directory_iterator(installed))
        readOnly(e.path());
    readOnly(installed);
    const auto shipped = statTree(installed);

    // The user's home and a copy of the samples to work on, all the user's.
    const fs::path home = temp.path() / "home";
    fs::create_directories(home / "tmp");
    fs::copy(installed / "Samples", home / "Work");
    for (const auto& e : fs::recursive_directory_iterator(home)) {
        ASSERT_EQ(::chown(e.path().c_str(), kNobody, kNobody), 0);
        fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
    fs::permissions(home, fs::perms::owner_all);
    const std::vector<std::string> userEnv = {"HOME=" + home.string(), "XDG_DATA_HOME",
                                              "TEMP=" + (home / "tmp").string(), "TMPDIR"};
    const auto asUser = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                      "--clear-groups", (installed / "quillmend").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv, userEnv, temp.path());
    };

    // The same run from a build folder, as root, for comparison.
    const fs::path reference = temp.path() / "Reference";
    fs::copy(installed / "Samples", reference);
    fs::permissions(reference, fs::perms::owner_write, fs::perm_options::add);
    for (const auto& e : fs::recursive_directory_iterator(reference))
        fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
    const ProcessOutput expected =
        quillmend({"replace", reference.string(), "--all", "--find", "grey", "--replace", "gray"});
    ASSERT_EQ(expected.status, 0) << expected.err;

    const fs::path work = home / "Work";
    const ProcessOutput list = asUser({"list", work.string()});
    EXPECT_EQ(list.status, 0) << list.err;
    const ProcessOutput dry = asUser(
        {"replace", work.string(), "--all", "--find", "grey", "--replace", "gray", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err << dry.out;
    const ProcessOutput o =
        asUser({"replace", work.string(), "--all", "--find", "grey", "--replace", "gray"});
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_TRUE(o.err.empty()) << o.err;
    // The summary differs only in the folders named.
    std::string mine = replacedAll(o.out, work.string(), "FOLDER");
    std::string theirs = replacedAll(expected.out, reference.string(), "FOLDER");
    const fs::path userBackups = home / ".local" / "share" / "Quillmend" / "backups";
    mine = replacedAll(mine, userBackups.string(), "BACKUPS");
    theirs = replacedAll(theirs, backups.string(), "BACKUPS");
    const auto ids = [](std::string s) {
        // Backup folder names carry the time and the process.
        for (auto at = s.find("BACKUPS/"); at != std::string::npos; at = s.find("BACKUPS/", at + 1))
            s.erase(at + 8, s.find(')', at) - at - 8);
        return s;
    };
    EXPECT_EQ(ids(mine), ids(theirs));
    EXPECT_EQ(tree(work), tree(reference)) << "the same bytes as a run from a build folder";

    EXPECT_EQ(statTree(installed), shipped) << "the shipped files are untouched";
    const fs::path own = home / ".local" / "share" / "Quillmend" / "dbTemp.mdb";
    struct stat st {};
    ASSERT_EQ(::stat(own.c_str(), &st), 0) << "the user's working database";
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_TRUE(fs::exists(own.string() + ".lock"));
    EXPECT_TRUE(fs::exists(userBackups / "run.lock"));

    // The shipped samples themselves are read-only: a run on them changes nothing.
    const ProcessOutput onShipped = asUser(
        {"replace", (installed / "Samples").string(), "--all", "--find", "grey", "--replace", "x"});
    EXPECT_EQ(onShipped.status, 1) << onShipped.err << onShipped.out;
    EXPECT_EQ(statTree(installed), shipped);
}

} // namespace
} // namespace qm::test
