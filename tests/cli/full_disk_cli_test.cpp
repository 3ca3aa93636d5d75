// quillmend replace and quillmend undo on a disk that fills up: real processes whose files may
// not grow past a limit (RLIMIT_FSIZE), swept so that in turn each file the run writes meets the
// limit first. Whatever the limit, every table is either its old bytes (and not said to be
// written) or exactly the new version (and said to be), nothing is left behind in the table's
// folder, the failure is named, and the next run without a limit works.

#include "cli_process.h"
#include "file_bytes.h"
#include "reference_decoder.h"
#include "test_support.h"

#include "paradox/writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using paradox::FieldType;
using Files = std::map<std::string, std::string>;

std::string replacedAll(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The line of a table in a printed summary; empty when there is none.
std::string summaryLine(const std::string& out, const std::string& table) {
    const std::string start = table.ends_with(":") ? table : table + " (";
    for (std::size_t from = 0; from < out.size();) {
        const std::size_t end = std::min(out.find('\n', from), out.size());
        if (out.compare(from, start.size(), start) == 0)
            return out.substr(from, end - from);
        from = end + 1;
    }
    return {};
}

// The lines of the change log that hold more than one entry: a line cut short by a full disk
// that the next run's first line was appended to.
std::vector<std::string> mergedLogLines(const fs::path& log) {
    const std::string text = slurp(log);
    std::vector<std::string> merged;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = std::min(text.find("\r\n", from), text.size());
        const std::string line = text.substr(from, end - from);
        if (const auto first = line.find("] - ");
            first != std::string::npos && line.find("] - ", first + 1) != std::string::npos)
            merged.push_back(line.substr(0, 40) + "..." + line.substr(line.size() - 120));
        from = end + 2;
    }
    return merged;
}

// The tables of the runs, in the order a run takes them: LEDGER, wide and mostly empty records
// of which three hold the find text, so that its new .db outgrows its working copy and the change
// log; then NOTES, keyed, with a memo to change in each record, so that its change log lines
// outgrow the working database's files.
const char* const kTables[] = {"LEDGER", "NOTES"};

void writeTables(const fs::path& folder) {
    fs::create_directories(folder);
    std::vector<std::vector<paradox::Value>> rows;
    paradox::TableSpec ledger;
    ledger.level = 12;
    ledger.fields = {{"Name", FieldType::Alpha, 20}};
    for (int i = 0; i < 6; ++i)
        ledger.fields.push_back({"Pad" + std::to_string(i), FieldType::Alpha, 255});
    ledger.fields.push_back({"Notes", FieldType::Memo, 11});
    for (int i = 0; i < 1000; ++i) {
        std::vector<paradox::Value> row{paradox::valueFromText(
            ledger.fields[0], (i % 400 ? "bird " : "cat ") + std::to_string(i))};
        for (int p = 0; p < 6; ++p)
            row.push_back(paradox::valueFromText(ledger.fields[1 + p], ""));
        row.push_back(paradox::valueFromText(ledger.fields.back(),
                                             "a memo longer than its leader " + std::to_string(i)));
        rows.push_back(std::move(row));
    }
    paradox::createTable(paradox::familyPathsFor(folder / "LEDGER.DB"), ledger, rows);

    paradox::TableSpec notes;
    notes.fields = {{"Code", FieldType::Alpha, 10}, {"Text", FieldType::Memo, 15}};
    notes.keyFields = 1;
    rows.clear();
    for (int i = 0; i < 30; ++i)
        rows.push_back(
            {paradox::valueFromText(notes.fields[0], "N" + std::to_string(100 + i)),
             paradox::valueFromText(notes.fields[1], "a memo about a cat, longer than its leader " +
                                                         std::to_string(i))});
    paradox::createTable(paradox::familyPathsFor(folder / "NOTES.DB"), notes, rows);
}

// The file whose failed write kept a table from being written back, by what the reason names.
std::string failedFile(const std::string& reason, const fs::path& folder) {
    if (reason.find("working database") != std::string::npos)
        return "working database";
    if (reason.find("change log") != std::string::npos ||
        reason.find("backups.log") != std::string::npos)
        return "change log";
    if (reason.find(folder.string()) != std::string::npos)
        return "table file";
    return "";
}

// A find text whose hits are "cat", as long as the change log needs its lines to be: every
// line names the find text, so that the log outgrows the working database's files.
std::string longFindText() {
    return "cat(?#" + std::string(40000, '.') + ")";
}

class FullDiskCliTest : public QuillmendProcessTest {
  protected:
    void SetUp() override {
        QuillmendProcessTest::SetUp();
        // reset() makes the working database each test starts from.
        fs::remove(app / "dbTemp.mdb");
        fs::create_directories(temp.path() / "home");
        env.insert(env.end(),
                   {"TMPDIR=" + tmp.string(), "HOME=" + (temp.path() / "home").string()});
        pristine = temp.path() / "pristine";
        writeTables(pristine);
        folder = temp.path() / "tables";
    }

    // A fresh start: the tables as they were, no working database, log, backup or record.
    void reset() {
        for (const auto& p : {folder, backups, changeLog})
            fs::remove_all(p);
        for (const char* f :
             {"dbTemp.mdb", "dbTemp.mdb-wal", "dbTemp.mdb-shm", "dbTemp.mdb-journal"})
            fs::remove(app / f);
        // As installed: an empty file, never the one beside the built program, which a run made
        // from the build folder may have grown past every limit the kills below are set by.
        std::ofstream(app / "dbTemp.mdb").close();
        fs::copy(pristine, folder);
    }

    std::vector<std::string> replaceArgs() const {
        return {program.string(), "replace",      folder.string(), "--all", "--regex",
                "--find",         longFindText(), "--replace",     "dog"};
    }

    // The size of every file a clean run leaves, by what it is.
    std::map<std::string, std::uintmax_t> sizesOfACleanRun() {
        std::map<std::string, std::uintmax_t> sizes;
        for (const auto& e : fs::recursive_directory_iterator(temp.path()))
            if (e.is_regular_file() && e.path() != program &&
                !e.path().filename().string().starts_with("process.") &&
                !e.path().string().starts_with(pristine.string()))
                sizes[fs::relative(e.path(), temp.path()).string()] = e.file_size();
        return sizes;
    }

    // The backups and records on another file system than the tables (/dev/shm where that is
    // one), so that old files are copied there rather than renamed. False when there is none.
    bool moveBackupsToAnotherDisk() {
        struct stat here = {};
        struct stat there = {};
        if (::stat(temp.path().c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0 ||
            here.st_dev == there.st_dev || ::access("/dev/shm", W_OK) != 0)
            return false;
        std::string pattern = "/dev/shm/qm-full-disk-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            return false;
        otherDisk_ = pattern;
        const fs::path otherData = otherDisk_ / "data";
        backups = otherData / "Quillmend" / "backups";
        for (auto& e : env)
            if (e.starts_with("XDG_DATA_HOME="))
                e = "XDG_DATA_HOME=" + otherData.string();
        return true;
    }
    void TearDown() override {
        std::error_code ec;
        if (!otherDisk_.empty())
            fs::remove_all(otherDisk_, ec);
    }

    // Undoes one run under each limit in turn, from the same start; seen counts each outcome
    // by name.
    void undoUnderLimits(std::map<std::string, int>& seen);

    fs::path otherDisk_;
    fs::path pristine, folder;
};

TEST_F(FullDiskCliTest, EveryLimitLeavesEachTableOldOrNewAndSaysWhichAndTheNextRunWorks) {
    const Files old = folderFiles(pristine);
    // The new versions, from a run with no limit; the reference decoder says they are what was
    // asked for, and their sizes choose the limits.
    reset();
    const ProcessOutput clean = runProcess(replaceArgs(), env, temp.path());
    ASSERT_EQ(clean.status, 0) << clean.err << clean.out;
    const Files fresh = folderFiles(folder);
    for (const char* t : kTables) {
        ASSERT_NE(tableFamily(fresh, t), tableFamily(old, t)) << t;
        const auto before = decodeWithReference(pristine / (std::string(t) + ".DB"));
        const auto after = decodeWithReference(folder / (std::string(t) + ".DB"));
        ASSERT_EQ(before.status, 0);
        ASSERT_EQ(after.status, 0);
        ASSERT_EQ(after.rows.size(), before.rows.size()) << t;
        for (std::size_t r = 0; r < before.rows.size(); ++r)
            for (std::size_t c = 0; c < before.rows[r].size(); ++c) {
                const auto& was = before.rows[r][c];
                EXPECT_EQ(after.rows[r][c],
                          was.is_string()
                              ? nlohmann::json(replacedAll(was.get<std::string>(), "cat", "dog"))
                              : was)
                    << t << " record " << r << " field " << c;
            }
    }
    const auto sizes = sizesOfACleanRun();
    // Just below the size each file reaches, that one is the first to fail, if it is larger than
    // every file written before it; at the largest size nothing fails. The working database's
    // log grows and is emptied again as each table is copied, changed and dropped: limits
    // between its sizes stop it at each of these steps.
    std::uintmax_t largest = 0, working = 0;
    for (const auto& [name, size] : sizes) {
        std::cout << "clean run: " << name << " " << size << " bytes\n";
        largest = std::max(largest, size);
        if (name.find("dbTemp.mdb") != std::string::npos)
            working = std::max(working, size);
    }
    std::set<rlim_t> limits{0, working - 1, largest};
    for (const auto& [name, size] : sizes)
        if (size > working && (name.starts_with("tables/") || name.ends_with("backups.log")))
            limits.insert(size - 1);
    for (const rlim_t pages : {20, 40})
        limits.insert(pages * 16384);

    std::map<std::string, int> hit;
    int complete = 0;
    for (const rlim_t limit : limits) {
        SCOPED_TRACE("limit " + std::to_string(limit) + " bytes");
        reset();
        const ProcessOutput o = runWithFileSizeLimit(replaceArgs(), env, limit);
        const std::string said = o.out + o.err;
        std::cout << "limit " << limit << ": status " << o.status << "\n" << said;
        EXPECT_TRUE(o.status == 0 || o.status == 1) << said;
        const bool noRecord = said.find("no undo record could be kept") != std::string::npos;

        const Files now = folderFiles(folder);
        std::set<std::string> writtenNow;
        for (const char* t : kTables) {
            const Files mine = tableFamily(now, t);
            const std::string line = summaryLine(o.out, t);
            const auto notWritten = line.find("not written back: ");
            if (mine == tableFamily(old, t)) {
                EXPECT_NE(notWritten, std::string::npos)
                    << t << " is old, but the run said: " << said;
                EXPECT_NE(o.status, 0) << "a table left unwritten is a failure: " << said;
                // A run that stopped says why on a line of its own.
                const std::string reason =
                    notWritten == std::string::npos ? "" : line.substr(notWritten);
                const std::string what =
                    failedFile(reason.find("the run stopped") == std::string::npos
                                   ? reason
                                   : summaryLine(said, "The run stopped on an error:"),
                               folder);
                EXPECT_NE(what, "") << "the reason names no file: " << line;
                hit[what]++;
            } else {
                EXPECT_TRUE(mine == tableFamily(fresh, t)) << t << " is neither old nor new";
                EXPECT_TRUE(notWritten == std::string::npos &&
                            line.find(", written back") != std::string::npos)
                    << t << " was written, but the run said: " << said;
                writtenNow.insert(t);
            }
        }
        if (o.status == 0)
            ++complete;
        EXPECT_EQ(now.size(), old.size()) << "a temporary file is left in the folder";
        if (noRecord) {
            EXPECT_NE(o.status, 0) << said;
        }

        // Without the limit: nothing stuck, every table new.
        const ProcessOutput next = runProcess(replaceArgs(), env, temp.path());
        EXPECT_EQ(next.status, 0) << next.err << next.out;
        EXPECT_TRUE(folderFiles(folder) == fresh) << next.out;
        for (const auto& line : mergedLogLines(changeLog))
            ADD_FAILURE() << "a change log line with the next run's line after it: " << line;

        // Where the limited run wrote a table, its record is undone with the next run's, newest
        // first: every table its old bytes again, but for one whose record could not be kept.
        if (writtenNow.empty())
            continue;
        for (int i = 0; i < 4; ++i) {
            const ProcessOutput undo = quillmend({"undo"});
            if (undo.status == 2)
                break;
            EXPECT_EQ(undo.status, 0) << undo.err << undo.out;
        }
        const Files undone = folderFiles(folder);
        for (const char* t : kTables)
            if (!(noRecord && writtenNow.count(t))) {
                EXPECT_TRUE(tableFamily(undone, t) == tableFamily(old, t)) << t << " not put back";
            }
    }
    for (const auto& [what, n] : hit)
        std::cout << "tables kept old by a failed write to the " << what << ": " << n << "\n";
    // The sweep reached each of these files first at some limit, or it tested less than it says.
    for (const char* what : {"working database", "change log", "table file"})
        EXPECT_GT(hit[what], 0) << what;
    EXPECT_GT(complete, 0) << "no limit let the run through";
}

TEST_F(FullDiskCliTest, ARunKilledByItsFirstWritePastTheLimitIsPutRightByTheNext) {
    reset();
    const ProcessOutput clean = runProcess(replaceArgs(), env, temp.path());
    ASSERT_EQ(clean.status, 0) << clean.err << clean.out;
    const Files fresh = folderFiles(folder);
    const auto sizes = sizesOfACleanRun();
    // Killed in the working database, in the change log (a run of the small table alone, whose
    // log outgrows its working copy), in a new table file.
    std::vector<std::string> notesAlone = replaceArgs();
    notesAlone.erase(std::find(notesAlone.begin(), notesAlone.end(), "--all"));
    notesAlone.insert(notesAlone.end(), {"--table", "NOTES"});
    struct Kill {
        std::vector<std::string> args;
        rlim_t limit;
        fs::path where; // the file the kill cut at the limit starts with this path
    };
    const Kill kills[] = {{replaceArgs(), sizes.at("app/dbTemp.mdb") - 1, app / "dbTemp.mdb"},
                          {notesAlone, 600000, changeLog},
                          {replaceArgs(), sizes.at("tables/LEDGER.DB") - 1, folder / "~qm"}};
    for (const auto& [args, limit, where] : kills) {
        SCOPED_TRACE("limit " + std::to_string(limit) + " bytes, SIGXFSZ kills");
        reset();
        const ProcessOutput killed = runWithFileSizeLimit(args, env, limit, false);
        EXPECT_EQ(killed.status, 128 + SIGXFSZ) << killed.out << killed.err;
        bool cut = false;
        for (const auto& e : fs::directory_iterator(where.parent_path()))
            cut = cut || (e.path().string().starts_with(where.string()) && e.is_regular_file() &&
                          e.file_size() == limit);
        EXPECT_TRUE(cut) << "the kill came elsewhere than in " << where;
        // The next start puts the tables right before it lists them, though the disk is still
        // full: nothing it does needs room.
        const ProcessOutput list =
            runWithFileSizeLimit({program.string(), "list", folder.string()}, env, 0);
        EXPECT_EQ(list.status, 0) << list.err << list.out;
        EXPECT_TRUE(folderFiles(folder) == folderFiles(pristine)) << list.err;
        const ProcessOutput next = runProcess(replaceArgs(), env, temp.path());
        EXPECT_EQ(next.status, 0) << next.err << next.out;
        EXPECT_TRUE(folderFiles(folder) == fresh) << next.err << next.out;
        for (const auto& line : mergedLogLines(changeLog))
            ADD_FAILURE() << "a change log line with the next run's line after it: " << line;
        std::cout << "killed at " << limit << "; the next run said:\n" << next.err << next.out;
    }
}

TEST_F(FullDiskCliTest, AnUndoKilledWhileItsReplacedFilesGoToAnotherDiskIsFinishedLater) {
    if (!moveBackupsToAnotherDisk())
        GTEST_SKIP() << "no writable file system other than the temporary folder's (/dev/shm)";
    reset();
    std::vector<std::string> notesAlone = replaceArgs();
    notesAlone.erase(std::find(notesAlone.begin(), notesAlone.end(), "--all"));
    notesAlone.insert(notesAlone.end(), {"--table", "NOTES"});
    const ProcessOutput run = runProcess(notesAlone, env, temp.path());
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    const Files fresh = folderFiles(folder), old = folderFiles(pristine);
    // The old files fit, the larger .mb they replace does not: the undo is killed while it
    // copies that to the backups, after the old files are in place.
    const rlim_t limit = tableFamily(fresh, "NOTES").at("NOTES.MB").size() - 1;
    ASSERT_GT(limit, tableFamily(old, "NOTES").at("NOTES.MB").size());
    const ProcessOutput killed =
        runWithFileSizeLimit({program.string(), "undo"}, env, limit, false);
    ASSERT_EQ(killed.status, 128 + SIGXFSZ) << killed.out << killed.err;
    Files now = folderFiles(folder);
    EXPECT_TRUE(tableFamily(now, "NOTES") == tableFamily(old, "NOTES"));
    const auto waiting = std::find_if(now.begin(), now.end(), [](const auto& f) {
        return f.first.starts_with("~qm") && f.first.ends_with(".old");
    });
    ASSERT_NE(waiting, now.end()) << "the replaced .mb is not in the table's folder";
    EXPECT_TRUE(waiting->second == fresh.at("NOTES.MB"));

    // Still no room: the next start says it could not finish, and loses nothing.
    const std::vector<std::string> list{program.string(), "list", folder.string()};
    const ProcessOutput full = runWithFileSizeLimit(list, env, limit);
    EXPECT_EQ(full.status, 1) << full.err << full.out;
    EXPECT_NE(full.err.find("could not be put right (it is tried again next time)"),
              std::string::npos)
        << full.err;
    EXPECT_NE(full.err.find("File too large"), std::string::npos) << full.err;
    EXPECT_TRUE(folderFiles(folder) == now);
    // With room, it finishes: the table as it was before the run, the replaced .mb in the
    // backups, nothing left in the folder; the run counts as undone.
    const ProcessOutput roomy = runProcess(list, env, temp.path());
    EXPECT_EQ(roomy.status, 0) << roomy.err << roomy.out;
    EXPECT_NE(roomy.err.find("was put right"), std::string::npos) << roomy.err;
    EXPECT_TRUE(folderFiles(folder) == old);
    bool kept = false;
    for (const auto& e : fs::recursive_directory_iterator(backups))
        kept = kept || (e.is_regular_file() && e.path().filename() == "NOTES.MB" &&
                        slurp(e.path()) == fresh.at("NOTES.MB"));
    EXPECT_TRUE(kept) << "the .mb the undo replaced is not in the backups";
    const ProcessOutput undo = quillmend({"undo"});
    EXPECT_TRUE(undo.status == 0 || undo.status == 2) << undo.out << undo.err;
    EXPECT_TRUE(folderFiles(folder) == old) << undo.out;
}

// The state after a run, to start each undo from: the tables, the backups and the records.
void copyTree(const fs::path& from, const fs::path& to) {
    fs::remove_all(to);
    fs::create_directories(to.parent_path());
    fs::copy(from, to, fs::copy_options::recursive);
}

// A working database with the smallest pages, as one made by another build may be: its log
// grows by a kilobyte at a time, so that the run record can outgrow it.
void writeSmallPageWorkingDatabase(const fs::path& file) {
    fs::remove(file);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db,
                           "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; CREATE TABLE t(a); "
                           "DROP TABLE t;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

TEST_F(FullDiskCliTest, ARunThatCannotKeepItsUndoRecordSaysSoAndKeepsTheOldFiles) {
    if (!haveCorpus())
        GTEST_SKIP() << "the corpus is not here";
    const fs::path corpus = corpusDir() / "leonhad__paradoxdriver" / "db";
    const fs::path tables = temp.path() / "hercules";
    fs::create_directories(tables);
    for (const char* f : {"HERCULES.DB", "HERCULES.MB", "HERCULES.PX"}) {
        fs::copy_file(corpus / f, tables / f);
        fs::permissions(tables / f, fs::perms::owner_write, fs::perm_options::add);
    }
    const Files old = folderFiles(tables);
    // One memo value changes: the log gets one line naming the long find text, and the record,
    // naming it too beside the table's files, is a little larger.
    const std::vector<std::string> args{program.string(),
                                        "replace",
                                        tables.string(),
                                        "--all",
                                        "--regex",
                                        "--find",
                                        "Corel Paradox 8(?#" + std::string(100000, '.') + ")",
                                        "--replace",
                                        "Paradox 8"};
    const fs::path saved = temp.path() / "saved";
    copyTree(tables, saved);
    writeSmallPageWorkingDatabase(app / "dbTemp.mdb");
    const ProcessOutput clean = runProcess(args, env, temp.path());
    ASSERT_EQ(clean.status, 0) << clean.err << clean.out;
    ASSERT_NE(clean.out.find("1 value changed, written back"), std::string::npos) << clean.out;
    const Files fresh = folderFiles(tables);
    std::uintmax_t record = 0, log = fs::file_size(changeLog);
    for (const auto& e : fs::directory_iterator(backups / "runs"))
        record = std::max(record, e.file_size());
    ASSERT_GT(record, log) << "the record is to be the largest file of the run";

    copyTree(saved, tables);
    fs::remove_all(backups);
    fs::remove(changeLog);
    writeSmallPageWorkingDatabase(app / "dbTemp.mdb");
    const ProcessOutput o = runWithFileSizeLimit(args, env, record - 1);
    std::cout << "limit " << record - 1 << ": status " << o.status << "\n" << o.out << o.err;
    // Written as asked, and said to be; the way back is missing, and that is said too.
    EXPECT_TRUE(folderFiles(tables) == fresh) << "the table is not what the run meant";
    EXPECT_NE(o.out.find("1 value changed, written back"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("no undo record could be kept for this run: cannot write the run record"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("File too large"), std::string::npos) << o.err;
    // The old files are whole in the backup folder the summary names.
    const auto at = o.out.find("(old files in ");
    ASSERT_NE(at, std::string::npos) << o.out;
    const fs::path aside = o.out.substr(at + 14, o.out.find(')', at) - at - 14);
    for (const auto& [name, bytes] : folderFiles(aside))
        EXPECT_TRUE(name == "ORIGIN.txt" || old.at(name) == bytes) << name << " in " << aside;
    EXPECT_TRUE(fs::exists(aside / "HERCULES.MB"));

    // Nothing is stuck: the next run finds nothing left to change, and there is no run to undo.
    const ProcessOutput next = runProcess(args, env, temp.path());
    EXPECT_EQ(next.status, 0) << next.err << next.out;
    EXPECT_NE(next.out.find("1 needing no change"), std::string::npos) << next.out;
    const ProcessOutput undo = quillmend({"undo"});
    EXPECT_EQ(undo.status, 2) << undo.out << undo.err;
    EXPECT_TRUE(folderFiles(tables) == fresh);
}

void FullDiskCliTest::undoUnderLimits(std::map<std::string, int>& seen) {
    const Files old = folderFiles(pristine);
    reset();
    // One small table, so that the run record (which names the long find text) is the largest
    // file an undo writes.
    std::vector<std::string> one = replaceArgs();
    one.erase(std::find(one.begin(), one.end(), "--all"));
    one.insert(one.end(), {"--table", "NOTES"});
    const ProcessOutput run = runProcess(one, env, temp.path());
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    const Files fresh = folderFiles(folder);
    ASSERT_NE(tableFamily(fresh, "NOTES"), tableFamily(old, "NOTES"));
    const fs::path saved = temp.path() / "saved";
    copyTree(folder, saved / "tables");
    copyTree(backups, saved / "backups");

    std::uintmax_t record = 0;
    for (const auto& e : fs::directory_iterator(backups / "runs"))
        record = std::max(record, e.file_size());
    std::set<rlim_t> limits{0, record - 2, record - 1, record};
    // The old files are copied back first, then the files they replace go to the backups
    // (copied too, where those are on another disk), then the record is rewritten.
    std::uintmax_t files = 0;
    for (const Files& f : {tableFamily(old, "NOTES"), tableFamily(fresh, "NOTES")})
        for (const auto& [name, bytes] : f) {
            limits.insert(bytes.size() - 1);
            files = std::max(files, bytes.size());
        }
    ASSERT_GT(record, files) << "the record is to be larger than the table's files";

    for (const rlim_t limit : limits) {
        SCOPED_TRACE("undo, limit " + std::to_string(limit) + " bytes");
        copyTree(saved / "tables", folder);
        copyTree(saved / "backups", backups);
        const ProcessOutput o = runWithFileSizeLimit({program.string(), "undo"}, env, limit);
        const std::string said = o.out + o.err;
        std::cout << "undo, limit " << limit << ": status " << o.status << "\n" << said;
        Files now = folderFiles(folder);
        // Files that could not reach the backups on a full disk must not be lost: they wait in
        // the table's folder, and the next start moves them.
        const bool waiting =
            said.find("they stay in the table's folder under temporary names until the next "
                      "start") != std::string::npos;
        std::erase_if(now, [&](const auto& f) { return waiting && f.first.starts_with("~qm"); });
        EXPECT_EQ(now.size(), old.size()) << "a temporary file is left in the folder";
        if (tableFamily(now, "NOTES") == tableFamily(old, "NOTES")) {
            seen[waiting ? "put back, the files it replaced waiting" : "put back"]++;
            EXPECT_NE(said.find("put back as it was before the run"), std::string::npos) << said;
        } else {
            seen["left"]++;
            EXPECT_TRUE(tableFamily(now, "NOTES") == tableFamily(fresh, "NOTES"))
                << "neither old nor new";
            EXPECT_NE(o.status, 0) << said;
            EXPECT_NE(said.find("File too large"), std::string::npos) << said;
            EXPECT_EQ(said.find("put back as it was before the run"), std::string::npos) << said;
        }
        // Without the limit, the run is undone, or was already.
        const ProcessOutput again = quillmend({"undo"});
        EXPECT_TRUE(again.status == 0 || again.status == 2) << again.err << again.out;
        EXPECT_TRUE(folderFiles(folder) == old) << again.out << again.err;
        const ProcessOutput runs = quillmend({"runs"});
        EXPECT_NE(runs.out.find("\tundone\t"), std::string::npos) << runs.out;
    }
    EXPECT_GT(seen["put back"], 0);
    EXPECT_GT(seen["left"], 0);
}

TEST_F(FullDiskCliTest, UndoOnAFullDiskPutsTheTableBackWholeOrNotAtAllAndSaysWhich) {
    std::map<std::string, int> seen;
    undoUnderLimits(seen);
}

TEST_F(FullDiskCliTest, UndoOnAFullDiskWithTheBackupsOnAnotherDisk) {
    if (!moveBackupsToAnotherDisk())
        GTEST_SKIP() << "no writable file system other than the temporary folder's (/dev/shm)";
    // The files undo replaces are larger than the old ones: some limit lets the old files back
    // in but not the replaced ones out.
    std::map<std::string, int> seen;
    undoUnderLimits(seen);
    EXPECT_GT(seen["put back, the files it replaced waiting"], 0);
}

TEST_F(FullDiskCliTest, ARecordThatHoldsSomeTablesOfTheRunNamesTheOnesItLacks) {
    // Long folder names make the record grow by some kilobytes a table, past the working
    // database's log (small pages), so that it meets the limit after it has held some tables.
    fs::path deep = temp.path();
    for (int i = 0; i < 9; ++i)
        deep /= std::string(200, 'd');
    const fs::path tables = deep / "tables", data = deep / "data";
    fs::create_directories(tables);
    for (auto& e : env)
        if (e.starts_with("XDG_DATA_HOME="))
            e = "XDG_DATA_HOME=" + data.string();
    backups = data / "Quillmend" / "backups";
    for (int i = 1; i <= 12; ++i)
        for (const char* ext : {".DB", ".MB", ".PX"})
            fs::copy_file(pristine / (std::string("NOTES") + ext),
                          tables / ("T" + std::to_string(i) + ext));
    const fs::path saved = temp.path() / "saved";
    copyTree(tables, saved);
    const std::vector<std::string> args{program.string(), "replace",   tables.string(),
                                        "--all",          "--find",    "leader 1",
                                        "--replace",      "leader one"};
    writeSmallPageWorkingDatabase(app / "dbTemp.mdb");
    ASSERT_EQ(runProcess(args, env, temp.path()).status, 0);
    const Files fresh = folderFiles(tables);
    std::uintmax_t record = 0;
    for (const auto& e : fs::directory_iterator(backups / "runs"))
        record = std::max(record, e.file_size());

    copyTree(saved, tables);
    fs::remove_all(backups);
    fs::remove(changeLog);
    writeSmallPageWorkingDatabase(app / "dbTemp.mdb");
    const ProcessOutput o = runWithFileSizeLimit(args, env, record - 1);
    EXPECT_TRUE(folderFiles(tables) == fresh) << o.out << o.err;
    EXPECT_NE(o.out.find("12 tables, 12 written back"), std::string::npos) << o.out;
    // The record holds the tables it held before the limit; the message names the others.
    std::set<std::string> held, lacking;
    const ProcessOutput runs = quillmend({"runs"});
    for (std::size_t at = 0; (at = runs.out.find("\n\t", at)) != std::string::npos; ++at)
        held.insert(runs.out.substr(at + 2, runs.out.find('\n', at + 2) - at - 2));
    for (int i = 1; i <= 12; ++i)
        if (const std::string t = (tables / ("T" + std::to_string(i) + ".DB")).string();
            !held.count(t))
            lacking.insert(t);
    ASSERT_FALSE(held.empty()) << runs.out;
    ASSERT_FALSE(lacking.empty()) << runs.out;
    const auto said = o.err.find("The undo record of this run lacks ");
    ASSERT_NE(said, std::string::npos) << o.err;
    const std::string line = o.err.substr(said, o.err.find('\n', said) - said);
    for (const auto& t : lacking)
        EXPECT_NE(line.find(t), std::string::npos) << t << " is not named: " << line;
    for (const auto& t : held)
        EXPECT_EQ(line.find(t + ","), std::string::npos) << t << " is held, but named: " << line;
    EXPECT_NE(line.find("File too large"), std::string::npos) << line;

    // Undo puts back what the record holds, and leaves the rest as the run wrote it.
    const ProcessOutput undo = quillmend({"undo"});
    EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
    const Files now = folderFiles(tables), old = folderFiles(saved);
    for (int i = 1; i <= 12; ++i) {
        const std::string t = "T" + std::to_string(i);
        EXPECT_TRUE(tableFamily(now, t) ==
                    tableFamily(held.count((tables / (t + ".DB")).string()) ? old : fresh, t))
            << t;
    }
}

} // namespace
} // namespace qm::test
