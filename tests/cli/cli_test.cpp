// quillmend run as its own process on copies of the sample database and of corpus tables: its
// output, its exit status and the files it leaves.

#include "cli_process.h"
#include "file_bytes.h"
#include "lock_holder.h"
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using qm::test::fileText;
using qm::test::writeFileText;

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The reference decoder's dump of a table.
std::string pxdump(const fs::path& table) {
    return qm::test::runReferenceDecoder(table).output;
}

// Every file under a folder with its bytes.
std::map<std::string, std::string> tree(const fs::path& folder) {
    std::map<std::string, std::string> m;
    if (!fs::exists(folder))
        return m;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            m[fs::relative(e.path(), folder).string()] = fileText(e.path());
    return m;
}

using Outcome = ProcessOutput;

class CliTest : public QuillmendProcessTest {
  protected:
    // quillmend() with standard error on a terminal: returns what the terminal showed.
    Outcome runOnTerminal(const std::vector<std::string>& args) {
        std::vector<std::string> all{program.string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : all)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        const fs::path out = temp.path() / "stdout";
        const std::string tempVar = tmp.string(), dataVar = data.string();
        Outcome o;
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid < 0) {
            ADD_FAILURE() << "forkpty failed";
            return o;
        }
        if (pid == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::setenv("TEMP", tempVar.c_str(), 1);
            ::setenv("XDG_DATA_HOME", dataVar.c_str(), 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        std::array<char, 4096> buf{};
        for (;;) {
            const ssize_t n = ::read(master, buf.data(), buf.size());
            if (n > 0)
                o.err.append(buf.data(), static_cast<std::size_t>(n));
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break; // EIO once the child has closed the terminal
        }
        ::close(master);
        int status = 0;
        waitpid(pid, &status, 0);
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        o.out = fileText(out);
        return o;
    }

    // The backup folder holds no old file: at most the run lock a run takes there.
    bool noBackups() const {
        auto files = tree(backups);
        files.erase("run.lock");
        return files.empty();
    }
};

TEST_F(CliTest, BadArgumentsAndAMissingFolderGiveStatusTwoAndChangeNothing) {
    const fs::path db = samples();
    const auto before = tree(db);
    const std::string f = db.string();
    const fs::path sets = temp.path() / "sets.txt";
    writeFileText(sets, "grey=gray\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"swap", f}, "unknown command 'swap'"},
        {{"replace", f, "--find", "grey", "--replace", "gray"}, "--table NAME, or give --all"},
        {{"replace", f, "--all", "--table", "ORDERS", "--find", "a", "--replace", "b"},
         "either --table or --all"},
        {{"replace", f, "--all", "--find", "grey"}, "give --find TEXT and --replace TEXT"},
        {{"replace", f, "--all", "--find", "", "--replace", "x"}, "not empty"},
        {{"replace", f, "--all", "--find", "a", "--replace", "b", "--sets", "s.txt"}, "not both"},
        {{"replace", f, "--all", "--find", "a", "--replace", "b", "--separator", ";"},
         "--separator goes with --sets"},
        {{"replace", f, "--all", "--find", "a", "--replace", "b", "--bogus"},
         "unknown option '--bogus'"},
        {{"replace", f, "--all", "--find"}, "--find needs a value"},
        {{"replace", f, f, "--all", "--find", "a", "--replace", "b"}, "more than one folder"},
        {{"replace", "--all", "--find", "a", "--replace", "b"}, "no folder given"},
        {{"list", f, "--all"}, "--all belongs to the replace command"},
        {{"replace", f, "--table", "NOSUCH", "--find", "grey", "--replace", "gray"},
         "no table 'NOSUCH'"},
        {{"replace", f, "--all", "--sets", (temp.path() / "none.txt").string()}, "not found"},
        {{"replace", f, "--all", "--sets", sets.string(), "--separator", ""},
         "You must enter separating character(s)."},
        {{"replace", f, "--all", "--sets", sets.string()}, "holds no set"},
    };
    for (const auto& [args, message] : cases) {
        const Outcome o = quillmend(args);
        EXPECT_EQ(o.status, 2) << message;
        EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty()) << o.out;
    }
    for (const std::string& missing :
         {(temp.path() / "nowhere").string(), (db / "ORDERS.DB").string()}) {
        const Outcome o =
            quillmend({"replace", missing, "--all", "--find", "grey", "--replace", "gray"});
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find("cannot read the folder " + missing), std::string::npos) << o.err;
        EXPECT_EQ(quillmend({"list", missing}).status, 2);
    }
    // A folder that holds files and folders but no table: nothing to replace in is a usage
    // error, not a clean run.
    const fs::path noTables = temp.path() / "NoTables";
    fs::create_directories(noTables / "Sub");
    writeFileText(noTables / "notes.txt", "grey\n");
    writeFileText(noTables / "Sub" / "ORDERS.TXT", "grey\n");
    const auto noTablesBefore = tree(noTables);
    for (const char* which : {"--all", "--table"}) {
        std::vector<std::string> args{"replace", noTables.string(), which};
        if (std::string(which) == "--table")
            args.push_back("ORDERS");
        args.insert(args.end(), {"--find", "grey", "--replace", "gray"});
        const Outcome o = quillmend(args);
        EXPECT_EQ(o.status, 2) << which;
        EXPECT_NE(o.err.find("there is no Paradox table in " + noTables.string()),
                  std::string::npos)
            << o.err;
    }
    EXPECT_EQ(tree(noTables), noTablesBefore);
    EXPECT_EQ(tree(db), before);
    EXPECT_FALSE(fs::exists(changeLog));
    EXPECT_TRUE(noBackups());

    const Outcome help = quillmend({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("quillmend replace FOLDER"), std::string::npos);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);

    // --version wins over a command, as --help does, and touches nothing.
    const Outcome version = quillmend({"list", (temp.path() / "nowhere").string(), "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quillmend " QM_VERSION "\n");
}

TEST_F(CliTest, ListGivesNameFolderRecordsLevelAndCodePage) {
    const fs::path db = samples();
    fs::create_directories(db / "Old");
    fs::copy_file(db / "ORDERS.DB", db / "Old" / "ORDERS.DB");
    const std::string ordersBefore = fileText(db / "ORDERS.DB");
    const Outcome o = quillmend({"list", db.string()});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "CUSTOMER\t" + db.string() + "\t4\t5.x\t1252\n" +   //
                         "ORDERS\t" + db.string() + "\t3\t7.x\t1252\n" + //
                         "PRODUCTS\t" + db.string() + "\t5\t5.x\t1252\n" + "ORDERS\t" +
                         (db / "Old").string() + "\t3\t7.x\t1252\n");

    // The same name in two folders must be named with its folder.
    Outcome twice = quillmend(
        {"replace", db.string(), "--table", "orders", "--find", "grey", "--replace", "gray"});
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("more than one folder"), std::string::npos) << twice.err;
    Outcome one = quillmend({"replace", db.string(), "--table", "Old/orders.db", "--find", "grey",
                             "--replace", "gray"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("ORDERS (" + (db / "Old").string() + "): 1 hit, 1 value changed"),
              std::string::npos)
        << one.out;
    // Only the table of the named folder changed.
    EXPECT_EQ(fileText(db / "ORDERS.DB"), ordersBefore);
    EXPECT_NE(fileText(db / "Old" / "ORDERS.DB"), ordersBefore);
}

TEST_F(CliTest, ReplaceRewritesEveryTableLikeTheWindowAndDryRunChangesNothing) {
    const fs::path db = samples();
    const auto before = tree(db);
    std::map<std::string, std::string> dumps;
    for (const char* t : {"CUSTOMER.DB", "Products.db", "ORDERS.DB"})
        dumps[t] = pxdump(db / t);
    ASSERT_NE(dumps["Products.db"].find("grey"), std::string::npos) << "pxdump did not run";

    const Outcome dry = quillmend(
        {"replace", db.string(), "--all", "--find", "grey", "--replace", "gray", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err << dry.out;
    EXPECT_TRUE(dry.err.empty()) << "no terminal, no progress line: " << dry.err;
    EXPECT_NE(dry.out.find("PRODUCTS (" + db.string() +
                           "): 3 hits, 3 values would change, would be written back"),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("Dry run, nothing was written: 3 tables, 3 to write back"),
              std::string::npos)
        << dry.out;
    EXPECT_EQ(tree(db), before) << "a dry run leaves every byte";
    EXPECT_FALSE(fs::exists(changeLog));
    EXPECT_TRUE(noBackups());

    const Outcome o =
        quillmend({"replace", db.string(), "--all", "--find", "grey", "--replace", "gray"});
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_TRUE(o.err.empty()) << o.err;
    EXPECT_NE(o.out.find("CUSTOMER (" + db.string() + "): 2 hits, 2 values changed, written back"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("ORDERS (" + db.string() + "): 1 hit, 1 value changed, written back"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("3 tables, 3 written back, 0 needing no change, 0 not written back, 0 "
                         "values refused."),
              std::string::npos)
        << o.out;
    // Read by the reference decoder: every "grey" became "gray", nothing else moved.
    for (const auto& [t, dump] : dumps)
        EXPECT_EQ(pxdump(db / t), replaced(dump, "grey", "gray")) << t;
    const std::string log = fileText(changeLog);
    EXPECT_EQ(occurrences(log, "] - grey was replace to gray at table ("), 6u) << log;
    EXPECT_EQ(occurrences(log, "\r\n"), 6u);
    EXPECT_NE(log.find("at table (ORDERS) and column (Remarks)"), std::string::npos);
    // The old version of every replaced file is kept, byte for byte.
    std::size_t kept = 0;
    for (const auto& [name, bytes] : tree(backups)) {
        const std::string file = fs::path(name).filename().string();
        // Besides the old files: where they came from, the run lock, the run's undo record.
        if (file == "ORIGIN.txt" || file == "run.lock" || name.starts_with("runs/"))
            continue;
        ++kept;
        ASSERT_TRUE(before.count(file)) << name;
        EXPECT_EQ(bytes, before.at(file)) << name;
    }
    EXPECT_EQ(kept, 5u) << "three .db files and two memo files";

    // Nothing left to find: no hit, no file touched.
    const auto after = tree(db);
    const Outcome again = quillmend(
        {"replace", db.string(), "--table", "products", "--find", "grey", "--replace", "x"});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("0 hits, 0 values changed, nothing to write back"), std::string::npos)
        << again.out;
    EXPECT_EQ(tree(db), after);
}

// What names a file of the folder in a trace of calls that write, flush, rename, make or remove:
// an open for reading only is the one such call a dry run may make there.
std::vector<std::string> writesInFolder(const fs::path& trace, const fs::path& folder) {
    std::vector<std::string> found;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        // Folders of the table list may come as "//tmp/..."; a doubled separator names the same.
        for (auto at = line.find("//"); at != std::string::npos; at = line.find("//", at))
            line.erase(at, 1);
        // A path argument or a descriptor opened in the folder, not output that names it.
        if (line.find('"' + folder.string()) == std::string::npos &&
            line.find('<' + folder.string()) == std::string::npos)
            continue;
        const bool open = line.find("open") != std::string::npos;
        const bool writing = line.find("O_WRONLY") != std::string::npos ||
                             line.find("O_RDWR") != std::string::npos ||
                             line.find("O_CREAT") != std::string::npos;
        if (!open || writing)
            found.push_back(line);
    }
    return found;
}

// A dry run's summary in the words of a real run; the real one without its backup folders.
std::string asRealRun(std::string summary, bool dryRun) {
    if (dryRun) {
        summary = replaced(summary, " would change", " changed");
        summary = replaced(summary, ", would be written back", ", written back");
        summary = replaced(summary, ", would not be written back", ", not written back");
        summary = replaced(summary, "Dry run, nothing was written: ", "");
        return replaced(summary, " to write back, ", " written back, ");
    }
    // Only a real run keeps backups, and says how much room they take.
    if (const auto at = summary.find("\nBackups: "); at != std::string::npos)
        summary.erase(at + 1, summary.find('\n', at + 1) - at);
    for (auto at = summary.find(" (old files in "); at != std::string::npos;
         at = summary.find(" (old files in "))
        summary.erase(at, summary.find(')', at) + 1 - at);
    return summary;
}

TEST_F(CliTest, ADryRunSaysWhatTheRunDoesAndWritesNothingInTheFolder) {
    if (!fs::exists("/usr/bin/strace"))
        GTEST_SKIP() << "strace is not installed (scripts/deps.sh installs it)";
    struct Case {
        const char* find;
        const char* replace;
        int status;
    };
    // Values that change, a value too long for its field, a key that would repeat.
    for (const Case& c :
         {Case{"grey", "gray", 0}, Case{"S-400", "S-400-EXTENDED", 1}, Case{"e", "E", 0}}) {
        SCOPED_TRACE(c.find);
        const fs::path db = samples(std::string("Samples-") + c.find);
        const auto before = tree(db);
        // Earlier cases' real runs left their log lines and backups: the dry run adds none (its
        // run lock aside, which every run takes).
        const auto backupFiles = [&] {
            auto files = tree(backups);
            files.erase("run.lock");
            return files;
        };
        const auto backupsBefore = backupFiles();
        const std::string logBefore = fs::exists(changeLog) ? fileText(changeLog) : "";
        const std::vector<std::string> args = {"replace", db.string(), "--all",  "--find",
                                               c.find,    "--replace", c.replace};
        std::vector<std::string> dryArgs = args;
        dryArgs.push_back("--dry-run");
        const fs::path trace = temp.path() / "trace.txt";
        // LeakSanitizer cannot work under ptrace: a sanitizer build of the program ends with
        // a failure status there unless its leak check is off.
        wrapper = {"/usr/bin/strace",
                   "-E",
                   "ASAN_OPTIONS=detect_leaks=0",
                   "-f",
                   "-qq",
                   "-y",
                   "-o",
                   trace.string(),
                   "-e",
                   "trace=open,openat,creat,write,pwrite64,writev,fsync,fdatasync,rename,renameat,"
                   "renameat2,mkdir,mkdirat,unlink,unlinkat,rmdir,link,linkat,symlink,symlinkat,"
                   "truncate,ftruncate,copy_file_range,chmod,fchmod,fchmodat,chown,fchown,"
                   "fchownat,utimensat"};
        const Outcome dry = quillmend(dryArgs);
        wrapper.clear();
        EXPECT_EQ(dry.status, c.status) << dry.err << dry.out;
        ASSERT_NE(fileText(trace).find(db.string()), std::string::npos) << "strace saw nothing";
        EXPECT_EQ(writesInFolder(trace, db), std::vector<std::string>{});
        // Nor anywhere else: no flush, no rename; no folder made but the backup folder its run
        // lock needs on the first run. (A fresh working database is flushed once, as SQLite
        // turns it to write-ahead logging.)
        std::ifstream calls(trace);
        for (std::string line; std::getline(calls, line);)
            if (line.find(app.string()) != std::string::npos)
                continue;
            else if (line.find("fsync(") != std::string::npos ||
                     line.find("fdatasync(") != std::string::npos ||
                     line.find("rename") != std::string::npos ||
                     (line.find("mkdir") != std::string::npos &&
                      line.find(data.string()) == std::string::npos))
                ADD_FAILURE() << line;
        EXPECT_EQ(tree(db), before);
        EXPECT_EQ(fs::exists(changeLog) ? fileText(changeLog) : "", logBefore);
        EXPECT_EQ(backupFiles(), backupsBefore);

        const Outcome real = quillmend(args);
        EXPECT_EQ(real.status, c.status) << real.err << real.out;
        EXPECT_EQ(asRealRun(dry.out, true), asRealRun(real.out, false));
    }
}

TEST_F(CliTest, SetsFollowTheWindowsRulesAndARefusedValueGivesStatusOne) {
    const fs::path db = samples();
    const fs::path sets = temp.path() / "sets.txt";
    // The first set that hits a value changes it; a line without the separator is skipped.
    writeFileText(sets, "grey;gray\r\nFolder;Binder\r\nno separator here\r\n");
    const std::string productsDump = pxdump(db / "Products.db");
    const Outcome o = quillmend({"replace", db.string(), "--table", "Products", "--sets",
                                 sets.string(), "--separator", ";"});
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    std::string expected = replaced(productsDump, "Folder, grey", "Folder, gray");
    expected = replaced(expected, "Folder, red", "Binder, red");
    expected = replaced(expected, "Notebook, grey", "Notebook, gray");
    expected = replaced(expected, "card, grey", "card, gray");
    EXPECT_EQ(pxdump(db / "Products.db"), expected);
    // Two sets hit "Folder, grey, A4": both are logged, one changed it.
    EXPECT_NE(o.out.find("PRODUCTS (" + db.string() + "): 5 hits, 4 values changed"),
              std::string::npos)
        << o.out;

    // A code longer than its Alpha field (10) is refused and named, by a dry run too.
    const std::string before = fileText(db / "Products.db");
    const Outcome dry = quillmend({"replace", db.string(), "--table", "PRODUCTS", "--find", "S-400",
                                   "--replace", "S-400-EXTENDED", "--dry-run"});
    EXPECT_EQ(dry.status, 1) << dry.err << dry.out;
    EXPECT_NE(dry.out.find("PRODUCTS (" + db.string() +
                           "): 1 hit, 0 values would change, nothing to write back\n"
                           "  refused: 1 value in column Code: "),
              std::string::npos)
        << dry.out;
    const Outcome refused = quillmend({"replace", db.string(), "--table", "PRODUCTS", "--find",
                                       "S-400", "--replace", "S-400-EXTENDED"});
    EXPECT_EQ(refused.status, 1) << refused.err << refused.out;
    EXPECT_NE(refused.out.find("  refused: 1 value in column Code: "), std::string::npos)
        << refused.out;
    EXPECT_NE(refused.out.find("1 value refused."), std::string::npos) << refused.out;
    EXPECT_EQ(fileText(db / "Products.db"), before);
}

TEST_F(CliTest, EncryptedTableIsReportedAndLeftAlone) {
    const fs::path enc = corpusDir() / "leonhad__paradoxdriver" / "encrypt" / "encrypted.db";
    const fs::path contacts = corpusDir() / "leonhad__paradoxdriver" / "db" / "CONTACTS.DB";
    if (!fs::exists(enc) || !fs::exists(contacts))
        GTEST_SKIP() << "the corpus is not here";
    const fs::path db = temp.path() / "Corpus";
    fs::create_directories(db);
    fs::copy_file(enc, db / "encrypted.db");
    fs::copy_file(contacts, db / "CONTACTS.DB");
    fs::permissions(db / "encrypted.db", fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(db / "CONTACTS.DB", fs::perms::owner_write, fs::perm_options::add);
    const auto before = tree(db);

    const Outcome list = quillmend({"list", db.string()});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("ENCRYPTED\t" + db.string() + "\t-\t-\t-\tpassword-protected"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("CONTACTS\t" + db.string() + "\t55\t7.x\t437"), std::string::npos)
        << list.out;

    const Outcome o =
        quillmend({"replace", db.string(), "--all", "--find", "zzqq", "--replace", "x"});
    EXPECT_EQ(o.status, 1) << o.err << o.out;
    EXPECT_NE(o.out.find("ENCRYPTED (" + db.string() +
                         "): 0 hits, 0 values changed, not written back: it is "
                         "password-protected"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("CONTACTS (" + db.string() +
                         "): 0 hits, 0 values changed, nothing to "
                         "write back"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(tree(db), before);
}

// We run as root, for whom a folder without write permission is writable all the same; the
// program goes by the permission bits, so chmod 555 is a meaningful test either way.
TEST_F(CliTest, ReadOnlyFolderOrTableIsNotWrittenAndSaysWhy) {
    const fs::path db = samples();
    const auto before = tree(db);
    fs::permissions(db, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const Outcome o =
        quillmend({"replace", db.string(), "--all", "--find", "grey", "--replace", "gray"});
    fs::permissions(db, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(o.status, 1) << o.err << o.out;
    EXPECT_NE(o.out.find("CUSTOMER (" + db.string() +
                         "): 2 hits, 0 values changed, not written "
                         "back: its folder " +
                         db.string() + " is read-only"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("3 not written back"), std::string::npos) << o.out;
    EXPECT_EQ(tree(db), before);
    EXPECT_FALSE(fs::exists(changeLog));
    EXPECT_TRUE(noBackups());

    // One read-only table among writable ones: the others go ahead.
    fs::permissions(db / "ORDERS.DB", fs::perms::all, fs::perm_options::remove);
    fs::permissions(db / "ORDERS.DB", fs::perms::owner_read | fs::perms::group_read,
                    fs::perm_options::add);
    const Outcome some =
        quillmend({"replace", db.string(), "--all", "--find", "grey", "--replace", "gray"});
    EXPECT_EQ(some.status, 1) << some.err << some.out;
    EXPECT_NE(some.out.find("ORDERS (" + db.string() +
                            "): 1 hit, 0 values changed, not "
                            "written back: its file " +
                            (db / "ORDERS.DB").string() + " is read-only"),
              std::string::npos)
        << some.out;
    EXPECT_EQ(fileText(db / "ORDERS.DB"), before.at("ORDERS.DB"));
    EXPECT_NE(fileText(db / "Products.db"), before.at("Products.db"));
}

TEST_F(CliTest, ProgressLineOnlyOnATerminalAtABoundedRate) {
    const fs::path db = samples();
    const Outcome o = runOnTerminal(
        {"replace", db.string(), "--all", "--find", "grey", "--replace", "gray", "--dry-run"});
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_NE(o.err.find("\r\033[KCUSTOMER: 0 of 4 records"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("\r\033[KPRODUCTS: 0 of 5 records"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("hits"), std::string::npos) << "the summary goes to standard output";
    EXPECT_NE(o.out.find("3 tables"), std::string::npos) << o.out;

    const fs::path zip = corpusDir() / "leonhad__paradoxdriver" / "areas";
    if (!fs::exists(zip / "ZIPCODES.DB"))
        GTEST_SKIP() << "the corpus is not here";
    const fs::path big = temp.path() / "Big";
    fs::create_directories(big);
    for (const char* f : {"ZIPCODES.DB", "ZIPCODES.PX", "ZIPCODES.VAL"}) {
        fs::copy_file(zip / f, big / f);
        fs::permissions(big / f, fs::perms::owner_write, fs::perm_options::add);
    }
    const auto start = std::chrono::steady_clock::now();
    const Outcome z =
        runOnTerminal({"replace", big.string(), "--all", "--find", "qqzz", "--replace", "x"});
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(z.status, 0) << z.err << z.out;
    // 43185 records: a line now and then, not one per record.
    const std::size_t lines = occurrences(z.err, " of 43185 records");
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, static_cast<std::size_t>(ms / 100 + 3)) << ms << " ms";
    EXPECT_TRUE(z.err.ends_with("\r\033[K")) << "the line is cleared at the end: " << z.err;
}

// Lock files nobody holds stop the command line before it changes anything, unless it is told
// to go on.
TEST_F(CliTest, StaleLockFilesNeedIgnoreStaleLocks) {
    const fs::path folder = samples();
    std::ofstream(folder / "PDOXUSRS.LCK") << "left by a program that crashed";
    const auto before = tree(folder);
    const Outcome refused =
        quillmend({"replace", folder.string(), "--all", "--find", "grey", "--replace", "gray"});
    EXPECT_EQ(refused.status, 2) << refused.err << refused.out;
    EXPECT_NE(refused.err.find("PDOXUSRS.LCK"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--ignore-stale-locks"), std::string::npos) << refused.err;
    EXPECT_EQ(tree(folder), before);
    EXPECT_FALSE(fs::exists(changeLog));

    const Outcome told = quillmend({"replace", folder.string(), "--all", "--find", "grey",
                                    "--replace", "gray", "--ignore-stale-locks"});
    EXPECT_EQ(told.status, 0) << told.err << told.out;
    EXPECT_NE(tree(folder), before);
    EXPECT_NE(quillmend({"--help"}).out.find("--ignore-stale-locks"), std::string::npos);
}

// A validity file that cannot be read refuses the table's values, unless the run is told to write
// them untested; the summary names the table either way.
TEST_F(CliTest, UnreadableValidityChecksNeedIgnoreUnreadableChecks) {
    const fs::path folder = samples();
    for (const auto& name : {"CUSTOMER", "ORDERS", "PRODUCTS"}) {
        std::vector<char> val(0x35, 0);
        val[1] = 0x20; // a layout no Paradox we know writes
        std::ofstream(folder / (std::string(name) + ".VAL"), std::ios::binary)
            .write(val.data(), static_cast<std::streamsize>(val.size()));
    }
    const auto before = tree(folder);
    const Outcome refused =
        quillmend({"replace", folder.string(), "--all", "--find", "grey", "--replace", "gray"});
    EXPECT_EQ(refused.status, 1) << refused.err << refused.out;
    EXPECT_NE(refused.out.find("validity checks cannot be read (\"PRODUCTS.VAL\" has a layout"),
              std::string::npos)
        << refused.out;
    EXPECT_NE(refused.err.find("without testing them?\n(answered No)"), std::string::npos)
        << refused.err;
    EXPECT_EQ(tree(folder), before);

    const Outcome told = quillmend({"replace", folder.string(), "--all", "--find", "grey",
                                    "--replace", "gray", "--ignore-unreadable-checks"});
    EXPECT_EQ(told.status, 0) << told.err << told.out;
    EXPECT_NE(told.out.find("written without testing its validity checks"), std::string::npos)
        << told.out;
    EXPECT_EQ(told.err.find("(answered No)"), std::string::npos) << told.err;
    EXPECT_NE(tree(folder), before);
    EXPECT_NE(quillmend({"--help"}).out.find("--ignore-unreadable-checks"), std::string::npos);
}

// A real Paradox program's lock, taken by another process on the folder's user lock file.
TEST_F(CliTest, ATableAnotherProcessHoldsIsReportedInUse) {
    const fs::path folder = samples();
    std::ofstream(folder / "PDOXUSRS.LCK", std::ios::binary) << std::string("\0CUSTOMER\0", 10);
    const auto before = tree(folder);
    Outcome o;
    {
        LockHolder other(folder / "PDOXUSRS.LCK", LockHolder::Kind::Write, 0x3b9aca00, 1);
        o = quillmend({"replace", folder.string(), "--all", "--find", "grey", "--replace", "gray"});
    }
    EXPECT_EQ(o.status, 1) << o.err << o.out;
    EXPECT_NE(o.out.find("CUSTOMER (" + fs::canonical(folder).string() +
                         "): 0 hits, 0 values changed, not written back: in use by another "
                         "program"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(tree(folder).at("CUSTOMER.DB"), before.at("CUSTOMER.DB"));
    EXPECT_NE(tree(folder).at("ORDERS.DB"), before.at("ORDERS.DB")) << "the others are written";
}

// A separate process changes a table while the run waits at the hook between the import and
// the write-back: that table keeps the other process's change.
TEST_F(CliTest, ATableChangedBetweenImportAndWriteBackIsNotWrittenBack) {
    const fs::path folder = samples();
    const fs::path hook = temp.path() / "hook";
    fs::create_directories(hook);
    env.push_back("QM_TEST_PAUSE_BEFORE_WRITE_BACK=" + hook.string());
    fs::path products;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string() == "Products.db" ||
            e.path().filename().string() == "PRODUCTS.DB")
            products = e.path();
    ASSERT_FALSE(products.empty());
    const fs::path out = temp.path() / "run.out", err = temp.path() / "run.err";
    const pid_t pid = startProcess({program.string(), "replace", folder.string(), "--all", "--find",
                                    "grey", "--replace", "gray"},
                                   env, {out}, err);
    ASSERT_GT(pid, 0);
    std::string changed;
    const auto changeWhileItWaits = [&] {
        // The other tables go on at once; PRODUCTS waits for the other process.
        for (const char* t : {"CUSTOMER", "ORDERS"})
            std::ofstream(hook / (std::string("go-") + t)) << "";
        for (int i = 0; i < 600 && !fs::exists(hook / "ready-PRODUCTS"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(fs::exists(hook / "ready-PRODUCTS"));
        const std::string cmd = "printf 'X' | dd of='" + products.string() +
                                "' bs=1 seek=2100 conv=notrunc status=none";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        changed = fileText(products);
        std::ofstream(hook / "go-PRODUCTS") << "";
    };
    changeWhileItWaits();
    Outcome o;
    o.status = waitForExit(pid);
    o.out = slurp(out);
    o.err = slurp(err);
    EXPECT_EQ(o.status, 1) << o.err << o.out;
    EXPECT_NE(o.out.find("PRODUCTS (" + fs::canonical(folder).string() +
                         "): 3 hits, 0 values changed, not written back: changed by another "
                         "program during the run"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(fileText(products), changed);
    EXPECT_NE(o.out.find("CUSTOMER (" + fs::canonical(folder).string() +
                         "): 2 hits, 2 values "
                         "changed, written back"),
              std::string::npos)
        << o.out;
}

// Reached through a folder link, a table is listed, picked and reported by its real folder.
TEST_F(CliTest, AFolderLinkShowsTheRealFolder) {
    const fs::path folder = samples();
    const fs::path outer = temp.path() / "outer";
    fs::create_directories(outer);
    fs::create_directory_symlink(folder, outer / "via-link");
    const std::string real = fs::canonical(folder).string();
    const Outcome list = quillmend({"list", outer.string()});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("CUSTOMER\t" + real + "\t"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("via-link"), std::string::npos) << list.out;
    const Outcome o = quillmend({"replace", outer.string(), "--table", "via-link/CUSTOMER",
                                 "--find", "grey", "--replace", "gray"});
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("CUSTOMER (" + real + "): 2 hits"), std::string::npos) << o.out;
}

TEST_F(CliTest, SearchOptionsThatCannotBeUsedGiveStatusTwoBeforeAnythingRuns) {
    const fs::path db = samples();
    const auto before = tree(db);
    const std::string f = db.string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"replace", f, "--all", "--regex", "--find", "(grey", "--replace", "x"},
         "the find text \"(grey\" is not a valid regular expression: missing closing "
         "parenthesis"},
        {{"replace", f, "--all", "--regex", "--find", "(grey)", "--replace", "$2"},
         "uses group 2, but the pattern has 1 group"},
        {{"replace", f, "--table", "ORDERS", "--find", "grey", "--replace", "x", "--columns",
          "Remarks,Notes"},
         "no ticked table has a column named Notes"},
        {{"replace", f, "--all", "--find", "grey", "--replace", "x", "--skip-columns", "Nmae"},
         "no ticked table has a column named Nmae"},
        {{"replace", f, "--all", "--find", "grey", "--replace", "x", "--columns", "Name,,City"},
         "--columns needs column names separated by commas"},
        {{"list", f, "--regex"}, "--regex belongs to the replace command"},
        {{"replace", f, "--all", "--regex", "--find", "", "--replace", "x"}, "not empty"},
    };
    for (const auto& [args, message] : cases) {
        const Outcome o = quillmend(args);
        EXPECT_EQ(o.status, 2) << message;
        EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty()) << o.out;
    }
    // A set of a sets file is named by its number.
    const fs::path sets = temp.path() / "sets.txt";
    writeFileText(sets, "grey::gray\r\n[a-::x\r\n");
    const Outcome set = quillmend({"replace", f, "--all", "--regex", "--sets", sets.string()});
    EXPECT_EQ(set.status, 2);
    EXPECT_NE(set.err.find("set 2: the find text \"[a-\""), std::string::npos) << set.err;
    EXPECT_EQ(tree(db), before);
    EXPECT_FALSE(fs::exists(changeLog));
    EXPECT_TRUE(noBackups());
    EXPECT_NE(quillmend({"--help"}).out.find("--whole-word"), std::string::npos);
}

TEST_F(CliTest, IgnoreCaseWholeWordsAndColumnsOnACopyOfTheSamples) {
    const fs::path db = samples();
    std::map<std::string, std::string> dumps;
    for (const char* t : {"CUSTOMER.DB", "Products.db", "ORDERS.DB"})
        dumps[t] = pxdump(db / t);
    ASSERT_NE(dumps["ORDERS.DB"].find("Grey folders"), std::string::npos) << "pxdump did not run";
    const auto before = tree(db);
    const std::vector<std::string> args = {"replace",
                                           db.string(),
                                           "--all",
                                           "--find",
                                           "GREY",
                                           "--replace",
                                           "gray",
                                           "--ignore-case",
                                           "--whole-word",
                                           "--columns",
                                           "remarks, DESCRIPTION"};

    std::vector<std::string> dry = args;
    dry.push_back("--dry-run");
    const Outcome d = quillmend(dry);
    EXPECT_EQ(d.status, 0) << d.err << d.out;
    EXPECT_NE(d.out.find("CUSTOMER (" + db.string() + "): 0 hits"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("ORDERS (" + db.string() + "): 2 hits, 2 values would change"),
              std::string::npos)
        << d.out;
    EXPECT_NE(
        d.out.find("Searched with: ignore case, whole words; columns remarks, DESCRIPTION.\n"),
        std::string::npos)
        << d.out;
    EXPECT_EQ(tree(db), before);
    EXPECT_FALSE(fs::exists(changeLog));

    const Outcome o = quillmend(args);
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("PRODUCTS (" + db.string() + "): 2 hits, 2 values changed"),
              std::string::npos)
        << o.out;
    // Names, notes and details keep their grey; remarks and descriptions lose every case of it.
    EXPECT_EQ(pxdump(db / "CUSTOMER.DB"), dumps["CUSTOMER.DB"]);
    std::string orders = replaced(dumps["ORDERS.DB"], "Grey folders", "gray folders");
    EXPECT_EQ(pxdump(db / "ORDERS.DB"), replaced(orders, "grey folders", "gray folders"));
    std::string products = replaced(dumps["Products.db"], "Folder, grey", "Folder, gray");
    EXPECT_EQ(pxdump(db / "Products.db"), replaced(products, "Notebook, grey", "Notebook, gray"));
    const std::string log = fileText(changeLog);
    EXPECT_EQ(occurrences(log, "] - GREY was replace to gray at table ("), 4u) << log;
    EXPECT_EQ(occurrences(log, ") (ignore case, whole words)\r\n"), 4u) << log;

    // Without options the log lines and the summary are as they always were.
    const Outcome plain =
        quillmend({"replace", db.string(), "--all", "--find", "grey", "--replace", "grey!"});
    EXPECT_EQ(plain.status, 0) << plain.err << plain.out;
    EXPECT_EQ(plain.out.find("Searched with"), std::string::npos) << plain.out;
    const std::string plainLog = fileText(changeLog).substr(log.size());
    EXPECT_EQ(occurrences(plainLog, "] - grey was replace to grey! at table ("), 3u) << plainLog;
    EXPECT_EQ(occurrences(plainLog, "(Notes)\r\n") + occurrences(plainLog, "(Details)\r\n") +
                  occurrences(plainLog, "(Name)\r\n"),
              3u)
        << plainLog;
}

TEST_F(CliTest, RegularExpressionsRewriteWithGroupsAndARunawayValueIsRefused) {
    const fs::path db = samples();
    const std::string orders = pxdump(db / "ORDERS.DB");
    const Outcome o =
        quillmend({"replace", db.string(), "--all", "--regex", "--find", R"((\w+) folders)",
                   "--replace", "folders ($1)", "--skip-columns", "notes"});
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("ORDERS (" + db.string() + "): 2 hits"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("CUSTOMER (" + db.string() + "): 0 hits"), std::string::npos) << o.out;
    EXPECT_EQ(pxdump(db / "ORDERS.DB"), replaced(replaced(orders, "Grey folders", "folders (Grey)"),
                                                 "grey folders", "folders (grey)"));

    // A memo that makes a backtracking pattern run away: the value is refused, the run ends.
    const std::string longTail = std::string(20000, 'a') + "!";
    ASSERT_EQ(quillmend({"replace", db.string(), "--table", "Products", "--find", "separately.",
                         "--replace", longTail})
                  .status,
              0);
    const std::string products = fileText(db / "Products.db");
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = quillmend({"replace", db.string(), "--table", "Products", "--regex", "--find",
                                 "(a+)+$", "--replace", "x", "--columns", "Details"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(r.status, 1) << r.err << r.out;
    EXPECT_NE(r.out.find("  refused: 1 value in column Details: searching the value took the "
                         "regular expression too much work"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fileText(db / "Products.db") == products);
}

} // namespace
} // namespace qm::test
