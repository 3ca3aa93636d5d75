// quillmend run by root on a folder others use too: what another user can plant there, leave
// half done or hold, and what its owner made read-only, must not make a run or an undo write
// anything but the tables it was asked to change. Real processes throughout; the other user is
// nobody, through setpriv.

#include "cli_process.h"
#include "lock_holder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <ctime>
#include <sys/stat.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

class NeighbourCliTest : public QuillmendProcessTest {
  protected:
    void SetUp() override {
        QuillmendProcessTest::SetUp();
        fs::permissions(temp.path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
        shared = samples(temp.path() / "shared");
        fs::permissions(shared, fs::perms::all); // world-writable, as shared folders often are
        secret = temp.path() / "secret";
        std::ofstream(secret) << "root's own, mode 600";
        fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    }

    std::vector<std::string> replaceArgs() const {
        return {"replace", shared.string(), "--table",   "Products",
                "--find",  "grey",          "--replace", "gray"};
    }

    // The secret's bytes and mode, which no run may change.
    std::string secretState() const {
        struct stat st {};
        ::stat(secret.c_str(), &st);
        return std::to_string(st.st_mode) + "/" + slurp(secret);
    }

    // As nobody: links to the secret under every name a run's temporary file for name could have
    // if it were made of the time, the process number and a count, for the next seconds and
    // process numbers.
    void plantLinks(const std::string& name) {
        std::ifstream lastPid("/proc/sys/kernel/ns_last_pid");
        long last = 0;
        lastPid >> last;
        std::vector<std::string> argv{"/usr/bin/perl", "-e",
                                      "my $t = shift; symlink($t, $_) or die for @ARGV",
                                      secret.string()};
        const std::time_t now = std::time(nullptr);
        for (int s = 0; s < 4; ++s) {
            const std::time_t at = now + s;
            std::tm tm{};
            ::localtime_r(&at, &tm);
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
            for (long pid = last + 1; pid <= last + 400; ++pid)
                argv.push_back((shared / ("~qm" + std::string(stamp) + "-" + std::to_string(pid) +
                                          "-1-" + name + ".new"))
                                   .string());
        }
        const ProcessOutput o = runProcess(asNobody(argv), {}, temp.path());
        ASSERT_EQ(o.status, 0) << o.err;
    }

    void removeLinks() {
        for (const auto& e : fs::directory_iterator(shared))
            if (e.is_symlink())
                fs::remove(e.path());
    }

    fs::path shared, secret;
};

// A replace and an undo, each with links planted for its temporary files.
TEST_F(NeighbourCliTest, LinksPlantedForTheTemporaryFilesLeadNowhere) {
    if (!canActAsNobody())
        GTEST_SKIP() << "acting as another user needs root and setpriv";
    const std::string secretBefore = secretState();
    const auto before = fileTree(shared);

    plantLinks("Products.db");
    const ProcessOutput replaced = quillmend(replaceArgs());
    EXPECT_EQ(replaced.status, 0) << replaced.err << replaced.out;
    EXPECT_EQ(secretState(), secretBefore) << "the replace wrote through a link";
    removeLinks();
    EXPECT_NE(fileTree(shared), before) << "the table was not written";

    plantLinks("Products.db");
    const ProcessOutput undone = quillmend({"undo"});
    EXPECT_EQ(undone.status, 0) << undone.err << undone.out;
    EXPECT_EQ(secretState(), secretBefore) << "the undo wrote through a link";
    removeLinks();
    EXPECT_EQ(fileTree(shared), before);
}

// The files of one table whose name begins so, with their bytes.
std::map<std::string, std::string> familyOf(const std::map<std::string, std::string>& files,
                                            const std::string& table) {
    std::map<std::string, std::string> out;
    for (const auto& [name, bytes] : files)
        if (name.size() > table.size() && name[table.size()] == '.' &&
            std::equal(table.begin(), table.end(), name.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            out[name] = bytes;
    return out;
}

// User A's run is killed at each rename in turn; user B, with a data folder of its own that
// holds none of A's journals, then runs on the same table, and A's next start puts right what
// A left. Where B said it wrote the table back, B's change stays.
TEST_F(NeighbourCliTest, ARecoveryNeverUndoesAnotherUsersWriteBack) {
    if (::access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    const fs::path pristine = temp.path() / "pristine";
    fs::copy(shared, pristine);
    const std::vector<std::string> envB = {"TEMP=" + tmp.string(),
                                           "XDG_DATA_HOME=" + (temp.path() / "dataB").string()};
    const std::vector<std::string> byB{program.string(), "replace",   shared.string(),
                                       "--table",        "Products",  "--find",
                                       "Folder",         "--replace", "Binder"};
    int refused = 0, kills = 0;
    for (int n = 1; !HasFailure(); ++n) {
        SCOPED_TRACE("A killed at rename " + std::to_string(n));
        fs::remove_all(shared);
        fs::copy(pristine, shared);
        fs::remove_all(data);
        fs::remove_all(temp.path() / "dataB");
        // LeakSanitizer cannot work under ptrace: a sanitizer build of the program ends with
        // a failure status there unless its leak check is off.
        std::vector<std::string> a{"/usr/bin/strace",
                                   "-E",
                                   "ASAN_OPTIONS=detect_leaks=0",
                                   "-f",
                                   "-qq",
                                   "-o",
                                   "/dev/null",
                                   "-e",
                                   "trace=rename",
                                   "-e",
                                   "inject=rename:signal=KILL:when=" + std::to_string(n),
                                   program.string()};
        for (const auto& arg : replaceArgs())
            a.push_back(arg);
        const ProcessOutput runA = runProcess(a, env, temp.path());
        if (runA.status != 128 + SIGKILL)
            break;
        ++kills;
        const ProcessOutput runB = runProcess(byB, envB, temp.path());
        const auto afterB = fileTree(shared);
        const ProcessOutput nextA = quillmend({"list", shared.string()});
        EXPECT_EQ(nextA.status, 0) << nextA.err;
        if (runB.out.find(", written back") != std::string::npos)
            EXPECT_EQ(familyOf(fileTree(shared), "Products"), familyOf(afterB, "Products"))
                << runB.out << nextA.err;
        else
            refused += runB.out.find("another run of this program") != std::string::npos;
    }
    EXPECT_GT(kills, 3);
    EXPECT_GT(refused, 0) << "B saw A's unfinished swap at no kill";
}

// chmod a-w keeps a folder from any run, an undo included, whoever runs it.
TEST_F(NeighbourCliTest, UndoLeavesAFolderMadeReadOnlyAsItIs) {
    const ProcessOutput replaced = quillmend(replaceArgs());
    ASSERT_EQ(replaced.status, 0) << replaced.err << replaced.out;
    const auto written = fileTree(shared);
    for (const auto& e : fs::directory_iterator(shared))
        fs::permissions(e.path(),
                        fs::perms::all & ~(fs::perms::owner_write | fs::perms::group_write |
                                           fs::perms::others_write));
    fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_exec);
    const ProcessOutput undone = quillmend({"undo"});
    fs::permissions(shared, fs::perms::owner_all);
    EXPECT_EQ(undone.status, 1) << undone.err << undone.out;
    EXPECT_NE(undone.out.find("read-only"), std::string::npos) << undone.out;
    EXPECT_EQ(fileTree(shared), written);
}

// Another program's shared flock on a table's file keeps the table as it is.
TEST_F(NeighbourCliTest, ASharedFlockKeepsTheTable) {
    const auto before = fileTree(shared);
    ProcessOutput o;
    {
        LockHolder reader(shared / "Products.db", LockHolder::Kind::SharedFlock);
        o = quillmend(replaceArgs());
    }
    EXPECT_EQ(o.status, 1) << o.err << o.out;
    EXPECT_NE(o.out.find("in use by another program"), std::string::npos) << o.out;
    EXPECT_EQ(fileTree(shared), before);
}

// The data folder (backups, run records) beside the tables, inside the folder chosen next: its
// old copies of the tables are neither listed nor changed.
TEST_F(NeighbourCliTest, TheProgramsOwnDataFolderInsideTheChosenFolderIsNeverTouched) {
    const fs::path tables = samples(shared / "db"), xdg = shared / "data";
    env = {"TEMP=" + tmp.string(), "XDG_DATA_HOME=" + xdg.string()};
    const auto replaceIn = [&](const fs::path& folder) {
        return quillmend(
            {"replace", folder.string(), "--all", "--find", "grey", "--replace", "gray"});
    };
    const ProcessOutput first = replaceIn(tables);
    ASSERT_EQ(first.status, 0) << first.err << first.out;
    const fs::path kept = xdg / "Quillmend" / "backups";
    auto backupsBefore = fileTree(kept);
    ASSERT_FALSE(backupsBefore.empty());
    for (const auto& [name, text] : backupsBefore) {
        if (name.ends_with("ORIGIN.txt")) {
            EXPECT_EQ(text, fs::canonical(tables).string() + "\n") << "found by grep -l '^/path$'";
        }
    }
    std::erase_if(backupsBefore, [](const auto& f) { return f.first.starts_with("runs/"); });

    const ProcessOutput list = quillmend({"list", shared.string()});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.find(xdg.string()), std::string::npos) << list.out;
    const ProcessOutput above = replaceIn(shared), inside = replaceIn(kept);
    auto after = fileTree(kept);
    std::erase_if(after, [](const auto& f) { return f.first.starts_with("runs/"); });
    EXPECT_EQ(after, backupsBefore) << above.out << inside.out;
}

// Inputs a careless colleague leaves: set files the run cannot honour are refused whole, names
// that would break a one-line output are escaped, and undo treats stale lock files as replace
// does.
TEST_F(NeighbourCliTest, CarelessInputsAreRefusedOrEscaped) {
    const auto before = fileTree(shared);
    const auto withSets = [&](const std::string& text) {
        std::ofstream(temp.path() / "sets.txt") << text;
        return quillmend(
            {"replace", shared.string(), "--all", "--sets", (temp.path() / "sets.txt").string()});
    };
    std::string many;
    for (int i = 0; i < 32768; ++i)
        many += "x" + std::to_string(i) + "::y\n";
    for (const auto& [text, says] : std::vector<std::pair<std::string, std::string>>{
             {"grey::gray\n::gray\n", "set 2 of"}, {many, "at most 32767"}}) {
        const ProcessOutput o = withSets(text);
        EXPECT_EQ(o.status, 2) << o.err;
        EXPECT_NE(o.err.find(says), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find(says), o.err.rfind(says)) << "said once: " << o.err;
        EXPECT_EQ(fileTree(shared), before);
    }

    fs::rename(shared / "ORDERS.DB", shared / "OR\tDERS\n.DB");
    const ProcessOutput list = quillmend({"list", shared.string()});
    EXPECT_NE(list.out.find("OR\\tDERS\\n\t"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("OR\tDERS"), std::string::npos) << list.out;

    ASSERT_EQ(quillmend(replaceArgs()).status, 0);
    const auto written = fileTree(shared);
    std::ofstream(shared / "PDOXUSRS.LCK") << "";
    const ProcessOutput refused = quillmend({"undo"});
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("--ignore-stale-locks"), std::string::npos) << refused.out;
    auto now = fileTree(shared);
    now.erase("PDOXUSRS.LCK");
    EXPECT_EQ(now, written);
    const ProcessOutput undone = quillmend({"undo", "--ignore-stale-locks"});
    EXPECT_EQ(undone.status, 0) << undone.out << undone.err;
}

} // namespace
} // namespace qm::test
