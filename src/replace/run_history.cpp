#include "replace/run_history.h"

#include "app/installation.h"
#include "app/one_line.h"
#include "paradox/family_print.h"
#include "paradox/family_swap.h"
#include "paradox/file_access.h"
#include "paradox/share_locks.h"
#include "platform/files.h"
#include "replace/record_digest.h"
#include "replace/run_lock.h"
#include "replace/run_recovery.h"
#include "replace/write_permission.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <set>
#include <stdexcept>

namespace qm {

namespace fs = std::filesystem;

namespace {

// Records of the first kind hold SHA-256 digests only; the second marks each digest with its
// kind, and an earlier build, which could not check them, takes it for no record at all.
constexpr const char* kFirstLine = "quillmend run record 2";
constexpr const char* kFirstLineSha256 = "quillmend run record 1";

fs::path rootOr(const fs::path& backupRoot) {
    return backupRoot.empty() ? paradox::defaultBackupRoot() : backupRoot;
}

fs::path runsFolder(const fs::path& backupRoot) {
    return rootOr(backupRoot) / "runs";
}

// Paths may hold any byte but NUL; tabs, line ends and backslashes are escaped.
std::string escape(const std::string& s) {
    return oneLine(s);
}

std::string unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = line.find('\t', from)) != std::string::npos; from = at + 1)
        parts.push_back(unescape(line.substr(from, at - from)));
    parts.push_back(unescape(line.substr(from)));
    return parts;
}

// Temporary name, flushed, renamed into place: a record is whole or absent.
void save(const RunRecord& run) {
    std::string text = std::string(kFirstLine) + "\nwhat\t" + escape(run.what) + "\n";
    for (const auto& t : run.tables) {
        text += "table\t" + escape(t.db.string()) + "\t" + escape(t.backupFolder.string()) + "\t" +
                (t.undone        ? "undone"
                 : t.unconfirmed ? "swapping"
                                 : "written") +
                "\n";
        for (const auto& [name, digest] : t.old)
            text += "old\t" + escape(name) + "\t" + digest + "\n";
        for (const auto& [name, digest] : t.files)
            text += "file\t" + escape(name) + "\t" + digest + "\n";
    }
    if (const int e = platform::replaceFileSafely(run.file, text, platform::newFilePermissions()))
        throw std::runtime_error("cannot write the run record " + run.file.string() + ": " +
                                 std::strerror(e));
}

// A record that is not whole (an unknown first line, a file line before any table, a digest of
// no kind known here) counts as no record: undo must never act on half of what a run wrote.
std::optional<RunRecord> load(const fs::path& file) {
    RunRecord run;
    run.file = file;
    run.id = file.stem().string();
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || (line != kFirstLine && line != kFirstLineSha256))
        return std::nullopt;
    while (std::getline(in, line)) {
        const auto parts = split(line);
        if (parts[0] == "what" && parts.size() == 2)
            run.what = parts[1];
        else if (parts[0] == "table" && parts.size() == 4)
            run.tables.push_back(
                {parts[1], parts[2], {}, {}, parts[3] == "undone", parts[3] == "swapping"});
        else if ((parts[0] == "old" || parts[0] == "file") && parts.size() == 3 &&
                 !run.tables.empty() && knownRecordDigest(parts[2]))
            (parts[0] == "old" ? run.tables.back().old : run.tables.back().files)
                .emplace_back(parts[1], parts[2]);
        else
            return std::nullopt;
    }
    return run;
}

std::string timeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    tm = platform::localTime(now);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

// Empty when the table's files are exactly those the run left; otherwise why not.
std::string changedSince(const RunRecordTable& t) {
    std::set<std::string> recorded;
    for (const auto& [name, digest] : t.files) {
        recorded.insert(name);
        const fs::path file = t.db.parent_path() / name;
        std::error_code ec;
        if (!fs::exists(file, ec))
            return "its file " + name + " is gone";
        if (!fileHasDigest(file, digest))
            return "its file " + name + " changed after the run wrote it";
    }
    for (const auto& member : paradox::familyFiles(t.db))
        if (!recorded.count(member.filename().string()))
            return "it has a file the run did not leave, " + member.filename().string();
    return {};
}

// True when the table is as it was before the run already (put back by hand, or by an undo
// killed before it could note it): each old file in place, the run's other files untouched.
bool backAsBefore(const RunRecordTable& t) {
    std::set<std::string> expected;
    const auto same = [&](const std::string& name, const std::string& digest) {
        expected.insert(name);
        const fs::path file = t.db.parent_path() / name;
        std::error_code ec;
        return fs::is_regular_file(file, ec) && fileHasDigest(file, digest);
    };
    for (const auto& [name, digest] : t.old)
        if (!same(name, digest))
            return false;
    for (const auto& [name, digest] : t.files)
        if (!expected.count(name) && !same(name, digest))
            return false;
    for (const auto& member : paradox::familyFiles(t.db))
        if (!expected.count(member.filename().string()))
            return false;
    return !t.old.empty();
}

// Empty when the backup folder still holds the old files as the run set them aside.
std::string oldFilesMissing(const RunRecordTable& t) {
    for (const auto& [name, digest] : t.old) {
        const fs::path file = t.backupFolder / name;
        std::error_code ec;
        if (!fs::is_regular_file(file, ec))
            return "its old file " + file.string() + " is gone";
        if (!fileHasDigest(file, digest))
            return "its old file " + file.string() + " is no longer what the run set aside";
    }
    return t.old.empty() ? "the record names none of its old files" : std::string();
}

UndoOutcome undoTable(RunRecordTable& t, const fs::path& root, bool ignoreStaleLocks) {
    UndoOutcome o;
    o.db = t.db;
    const auto leftAlone = [&](UndoOutcome::State state, const std::string& why) {
        o.state = state;
        o.reason = why;
        return o;
    };
    try {
        // The print first: the swap below replaces the table only while it is still what was
        // digested here.
        const paradox::FamilyPrint print = paradox::printFamily(t.db);
        if (const std::string why = changedSince(t); !why.empty()) {
            if (backAsBefore(t))
                return leftAlone(UndoOutcome::State::AlreadyDone,
                                 "it is as it was before the run already");
            return leftAlone(UndoOutcome::State::Changed, why);
        }
        if (const std::string why = oldFilesMissing(t); !why.empty())
            return leftAlone(UndoOutcome::State::Failed, why);
        if (const std::string held = paradox::tableInUse(t.db); !held.empty())
            return leftAlone(UndoOutcome::State::InUse, held);
        // An undo is a run: a folder or file its owner made read-only stays as it is.
        if (const std::string why = readOnlyReason(t.db); !why.empty())
            return leftAlone(UndoOutcome::State::Failed, why);
        if (const auto stale = paradox::staleLockFiles({t.db}); !stale.empty() && !ignoreStaleLocks)
            return leftAlone(UndoOutcome::State::Failed,
                             "lock files that no program holds lie beside it (" +
                                 stale.front().string() +
                                 "); remove them first, or undo with --ignore-stale-locks");
        paradox::FamilySwap swap(t.db, root);
        swap.expectFamily(print);
        // Only the files the run replaced come back; the others it left as they were.
        for (const auto& [name, digest] : t.old)
            swap.copyIn(fs::path(name).extension().string(), t.backupFolder / name);
        try {
            o.backupFolder = swap.commit();
        } catch (const paradox::ReplacedWithOldFilesLeft& e) {
            o.backupFolder = e.backupFolder();
            o.reason = e.what();
        }
        o.state = UndoOutcome::State::PutBack;
        return o;
    } catch (const paradox::TableInUseError& e) {
        return leftAlone(UndoOutcome::State::InUse, e.reason());
    } catch (const paradox::TableChangedError& e) {
        return leftAlone(UndoOutcome::State::Changed, e.reason());
    } catch (const std::exception& e) {
        return leftAlone(UndoOutcome::State::Failed, e.what());
    }
}

} // namespace

bool RunRecord::undone() const {
    return std::all_of(tables.begin(), tables.end(), [](const auto& t) { return t.undone; });
}

bool UndoResult::clean() const {
    return end == End::Completed &&
           std::all_of(tables.begin(), tables.end(), [](const UndoOutcome& o) {
               return o.state == UndoOutcome::State::PutBack ||
                      o.state == UndoOutcome::State::AlreadyDone;
           });
}

void RunRecorder::aboutToSwap(const paradox::PreparedSwap& swap) {
    RunRecordTable t{swap.db, swap.backupFolder, {}, {}, false, true};
    for (const auto& [name, file] : swap.leaving)
        t.old.emplace_back(name, recordDigestOfFile(file));
    std::sort(t.old.begin(), t.old.end());
    for (const auto& [name, file] : swap.after)
        t.files.emplace_back(name, recordDigestOfFile(file));
    std::sort(t.files.begin(), t.files.end());
    add(std::move(t));
}

void RunRecorder::written(const fs::path& db, const fs::path& backupFolder) {
    for (auto& t : record_.tables)
        if (t.unconfirmed && t.backupFolder == backupFolder) {
            t.db = db;
            t.unconfirmed = false;
            save(record_);
            return;
        }
    // A swap the record did not hear of before it (its note could not be saved then).
    RunRecordTable t{db, backupFolder, {}, {}, false, false};
    for (const auto& e : fs::directory_iterator(backupFolder))
        if (e.is_regular_file() && e.path().filename() != "ORIGIN.txt")
            t.old.emplace_back(e.path().filename().string(), recordDigestOfFile(e.path()));
    std::sort(t.old.begin(), t.old.end());
    for (const auto& member : paradox::familyFiles(db))
        t.files.emplace_back(member.filename().string(), recordDigestOfFile(member));
    add(std::move(t));
}

void RunRecorder::notSwapped(const fs::path& backupFolder) {
    const auto n = std::erase_if(record_.tables, [&](const RunRecordTable& t) {
        return t.unconfirmed && t.backupFolder == backupFolder;
    });
    if (n == 0)
        return;
    if (record_.tables.empty()) {
        std::error_code ec;
        fs::remove(record_.file, ec);
        record_ = RunRecord{};
        return;
    }
    save(record_);
}

// Runs hold the run lock one at a time; two in one second get a number each. The number is above
// every one that second already used, whether or not its record is still there: undo and prune
// take the greatest id for the newest run, and a record pruned from the middle of a second must
// not let a later run take an id that sorts before the runs kept.
fs::path freshRunFile(const fs::path& runs, const std::string& stamp) {
    int used = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(runs, ec)) {
        const std::string id = e.path().stem().string();
        if (id == stamp)
            used = std::max(used, 1);
        else if (id.size() == stamp.size() + 3 && id.compare(0, stamp.size(), stamp) == 0 &&
                 id[stamp.size()] == '-' &&
                 std::isdigit(static_cast<unsigned char>(id.end()[-2])) &&
                 std::isdigit(static_cast<unsigned char>(id.end()[-1])))
            used = std::max(used, std::stoi(id.substr(stamp.size() + 1)));
    }
    if (used == 0)
        return runs / (stamp + ".run");
    for (int n = used + 1;; ++n) {
        const fs::path file =
            runs / (stamp + "-" + (n < 10 ? "0" : "") + std::to_string(n) + ".run");
        if (!fs::exists(file))
            return file;
    }
}

void RunRecorder::add(RunRecordTable t) {
    if (record_.file.empty()) {
        const fs::path runs = runsFolder(root_);
        paradox::makePrivateFolder(runs);
        record_.file = freshRunFile(runs, timeStamp());
        record_.id = record_.file.stem().string();
        record_.what = what_;
    }
    // Kept when the save fails: the next save holds it too.
    record_.tables.push_back(std::move(t));
    save(record_);
}

std::vector<RunRecord> recordedRuns(const fs::path& backupRoot) {
    std::vector<RunRecord> runs;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(runsFolder(backupRoot), ec))
        if (e.path().extension() == ".run" && e.is_regular_file())
            if (auto r = load(e.path()); r && !r->tables.empty())
                runs.push_back(std::move(*r));
    std::sort(runs.begin(), runs.end(),
              [](const RunRecord& a, const RunRecord& b) { return a.id > b.id; });
    return runs;
}

RunRecord lastUndoableRun(const fs::path& backupRoot) {
    for (auto& r : recordedRuns(backupRoot))
        if (!r.undone())
            return r;
    return {};
}

namespace {

// The run the undo is for (id, or the newest not undone yet) into result; false, with how the
// undo ended and why, when there is none to undo.
bool findRunToUndo(const std::string& id, const fs::path& root, UndoResult& result) {
    const auto runs = recordedRuns(root);
    const auto found = std::find_if(runs.begin(), runs.end(), [&](const RunRecord& r) {
        return id.empty() ? !r.undone() : r.id == id;
    });
    if (found == runs.end()) {
        result.end = id.empty() ? UndoResult::End::NoRun : UndoResult::End::NoSuchRun;
        result.failure = id.empty() ? "there is no run to undo" : "there is no run " + id;
        return false;
    }
    result.run = *found;
    if (result.run.undone()) {
        result.end = UndoResult::End::Undone;
        result.failure = "the run " + result.run.id + " was undone already";
        return false;
    }
    return true;
}

// The run's tables put back, the last written first; each one put back is noted in its record
// at once.
void undoTables(UndoResult& result, const fs::path& root, const UndoOptions& options) {
    RunRecord& run = result.run;
    for (auto t = run.tables.rbegin(); t != run.tables.rend(); ++t) {
        if (t->undone) {
            result.tables.push_back(
                {t->db, UndoOutcome::State::AlreadyDone, "an earlier undo put it back", {}});
            continue;
        }
        if (options.cancel && options.cancel->requested()) {
            result.end = UndoResult::End::Cancelled;
            result.tables.push_back({t->db,
                                     UndoOutcome::State::NotReached,
                                     "the undo was cancelled before it reached this table",
                                     {}});
            continue;
        }
        result.tables.push_back(undoTable(*t, root, options.ignoreStaleLocks));
        const auto state = result.tables.back().state;
        if (state != UndoOutcome::State::PutBack && state != UndoOutcome::State::AlreadyDone)
            continue;
        t->undone = true;
        try {
            save(run);
        } catch (const std::exception& e) {
            // The table is back; only the note of it is missing, and its digests now refuse a
            // second undo of it anyway.
            result.tables.back().reason +=
                (result.tables.back().reason.empty() ? "" : "; ") + std::string(e.what());
        }
    }
}

} // namespace

UndoResult undoRun(const std::string& id, const UndoOptions& options) {
    UndoResult result;
    const fs::path root = rootOr(options.backupRoot);
    fs::path workingDb;
    try {
        workingDb = workingDatabasePath();
    } catch (const std::exception& e) {
        result.failure = e.what();
        return result;
    }
    // An undo is a run in its own right: no replace run may read or write meanwhile.
    const RunLock lock = RunLock::acquire(workingDb, root);
    if (!lock.held()) {
        result.end =
            lock.state() == RunLock::State::Busy ? UndoResult::End::Busy : UndoResult::End::Failed;
        result.failure = lock.reason();
        return result;
    }
    try {
        recoverInterruptedRuns(root);
    } catch (const std::exception&) {
        // The journal stays for the next start; the digests below still guard every table.
    }
    if (!findRunToUndo(id, root, result))
        return result;
    result.end = UndoResult::End::Completed;
    undoTables(result, root, options);
    return result;
}

std::string undoReport(const UndoResult& result) {
    if (result.end != UndoResult::End::Completed && result.end != UndoResult::End::Cancelled)
        return "Nothing was put back: " + result.failure + ".";
    std::size_t putBack = 0, left = 0;
    std::string lines;
    for (const auto& o : result.tables) {
        lines += o.db.string() + ": ";
        switch (o.state) {
        case UndoOutcome::State::PutBack:
            ++putBack;
            lines += "put back as it was before the run";
            if (!o.backupFolder.empty())
                lines += "; the files it replaced are in " + o.backupFolder.string();
            if (!o.reason.empty())
                lines += "; note: " + o.reason;
            break;
        case UndoOutcome::State::AlreadyDone:
            lines += o.reason;
            break;
        case UndoOutcome::State::Changed:
            ++left;
            lines += "not put back, " + o.reason + "; it was left as it is";
            break;
        case UndoOutcome::State::InUse:
        case UndoOutcome::State::Failed:
        case UndoOutcome::State::NotReached:
            ++left;
            lines += "not put back: " + o.reason + "; it was left as it is";
            break;
        }
        lines += "\n";
    }
    std::string head = result.end == UndoResult::End::Cancelled ? "The undo was cancelled."
                       : left == 0                              ? "Undone."
                                   : "Not every table of the run could be put back.";
    head += "\n\nRun " + result.run.id;
    if (!result.run.what.empty())
        head += " (" + result.run.what + ")";
    return head + ": " + std::to_string(putBack) + " put back, " + std::to_string(left) +
           " left as " + (left == 1 ? "it is" : "they are") + ".\n\n" + lines;
}

} // namespace qm
