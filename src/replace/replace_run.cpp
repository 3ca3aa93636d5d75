#include "replace/replace_run.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "app/installation.h"
#include "db/connection.h"
#include "db/export.h"
#include "db/import.h"
#include "db/paradox_backend.h"
#include "paradox/family_swap.h"
#include "paradox/share_locks.h"
#include "paradox/table.h"
#include "replace/change_log.h"
#include "replace/run_boxes.h"
#include "replace/run_history.h"
#include "replace/run_lock.h"
#include "replace/run_report.h"
#include "replace/write_permission.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <thread>

namespace qm {

namespace fs = std::filesystem;

namespace {

bool tolerated(long c) {
    return c == code::TooLong || c == code::Malformed || c == code::TypeMismatch ||
           c == code::NoSuchTable || c == code::Unspecified || c == code::ObjectClosed;
}

std::string doubleApostrophes(const std::string& s) {
    if (s.find('\'') == std::string::npos)
        return s;
    std::string out;
    out.reserve(s.size() + 8);
    for (char c : s) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out;
}

// Why a tolerated failure left a value alone, in words that group alike refusals.
std::string refusalReason(const Error& e) {
    if (e.code() == code::TypeMismatch)
        return "the column is not a text column, so the database does not compare it with text";
    std::string d = e.description();
    const std::string marker = "cannot take the value '";
    if (auto at = d.find(marker); at != std::string::npos) {
        // "... cannot take the value 'x': why." names the value; the reason alone groups.
        if (auto colon = d.rfind("': "); colon != std::string::npos && colon > at)
            d = d.substr(colon + 3);
    }
    while (!d.empty() && (d.back() == '.' || d.back() == ' '))
        d.pop_back();
    return d;
}

void addLeft(TableOutcome& o, const std::string& column, const std::string& reason, long long n) {
    for (auto& l : o.leftUnchanged)
        if (l.column == column && l.reason == reason) {
            l.count += n;
            return;
        }
    o.leftUnchanged.push_back({column, reason, n});
}

// Reasons a ticked row cannot be worked on at all; empty when it can.
std::string cannotWorkOn(const TableRow& row) {
    fs::path db;
    try {
        db = db::findTableFile(row.folder, row.name);
    } catch (const std::exception& e) {
        return std::string("it cannot be found: ") + e.what();
    }
    if (!row.fileName.empty() && db.filename().string() != row.fileName)
        return "its name " + row.name + " leads to the file " + db.filename().string() +
               ", not to the listed file " + row.fileName;
    try {
        (void)paradox::Table::open(db);
    } catch (const paradox::EncryptedTableError&) {
        return "it is password-protected; it was not changed";
    } catch (const std::exception& e) {
        return std::string("it cannot be read: ") + e.what();
    }
    // The window and the command line alike leave a table alone that its owner made read-only.
    return readOnlyReason(row);
}

std::function<void(const TableRow&, const std::string&)>& beforeWriteBackHook() {
    static std::function<void(const TableRow&, const std::string&)> hook;
    return hook;
}

// The hook between processes: another process may change the table while this one waits.
void pauseBeforeWriteBack(const TableRow& row) {
    const char* dir = std::getenv("QM_TEST_PAUSE_BEFORE_WRITE_BACK");
    if (!dir || !*dir)
        return;
    const fs::path folder(dir);
    std::error_code ec;
    if (FILE* f = std::fopen((folder / ("ready-" + row.name)).c_str(), "w"))
        std::fclose(f);
    for (int i = 0; i < 600 && !fs::exists(folder / ("go-" + row.name), ec); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// The table files the ticked rows lead to (rows that lead nowhere are left to the run's own
// checks).
std::vector<fs::path> tickedTableFiles(const RunInputs& in) {
    std::vector<fs::path> out;
    for (const auto& r : in.rows) {
        if (!r.ticked)
            continue;
        try {
            out.push_back(db::findTableFile(r.table.folder, r.table.name));
        } catch (const std::exception&) {
        }
    }
    return out;
}

// The scratch folder of a dry run: table copies and the backups of their write-back live and die
// here, so the real tables and the real backup folder never see the run.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "quillmend-dry-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw Error(code::PathFileAccess, "Cannot create a scratch folder for the dry run in " +
                                                  fs::temp_directory_path().string());
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

    // A copy of the table's family in a folder of its own; returns that folder.
    fs::path copyOf(const TableRow& row, std::size_t index) const {
        const fs::path folder = path_ / std::to_string(index);
        fs::create_directories(folder);
        for (const auto& member : paradox::familyFiles(db::findTableFile(row.folder, row.name)))
            fs::copy_file(member, folder / member.filename());
        return folder;
    }

  private:
    fs::path path_;
};

// The ticked rows from index `from` on, which the run ended before: named, none changed.
void addNotReached(RunResult& result, const RunInputs& in, std::size_t from,
                   const std::string& reason) {
    for (std::size_t j = from; j < in.rows.size(); ++j)
        if (in.rows[j].ticked) {
            TableOutcome left;
            left.table = in.rows[j].table;
            left.reason = reason;
            left.reached = false;
            result.tables.push_back(std::move(left));
        }
}

void showEndOfRun(UserInterface& ui, const RunResult& result, const RunInputs& in,
                  const RunOptions& options, const fs::path& log) {
    const bool clean = result.end == RunResult::End::Completed && result.clean();
    const bool found = runCounts(result.tables).hits > 0;
    const Icon icon = !clean ? Icon::Exclamation : found ? Icon::None : Icon::Information;
    ui.detailedBox(endOfRunText(result, in, options.dryRun),
                   endOfRunDetails(result, options.dryRun, log, db::writeBackRoot()), Buttons::Ok,
                   icon, "");
}

// What a run changed, in the words its undo record keeps.
std::string runWhat(const RunInputs& in) {
    std::string what =
        in.selectedTab == 0
            ? "find " + quoted(in.findText) + ", replace with " + quoted(in.replaceText)
            : std::to_string(in.setFind.size()) + " find and replace set(s)";
    if (!in.search.plain())
        what += " (" + in.search.describe() + ")";
    return what;
}

// Notes a table just written back in the run's record. A record that cannot be kept leaves the
// table written as it is; the run says that no undo is offered for it.
void keepRecord(RunRecorder& recorder, RunResult& result, const TableRow& row,
                const fs::path& backupFolder) {
    try {
        recorder.written(paradox::realTableFile(db::findTableFile(row.folder, row.name)),
                         backupFolder);
        result.runRecord = recorder.record().id;
    } catch (const std::exception& e) {
        if (result.recordFailure.empty())
            result.recordFailure = e.what();
    }
}

} // namespace

std::string staleLocksQuestion(const std::vector<fs::path>& stale) {
    std::string text = "Lock files of Paradox programs lie beside the tables, but no program holds "
                       "them; a program that ended without removing them left them:\r\n";
    for (const auto& p : stale)
        text += "\r\n" + p.string();
    text += "\r\n\r\nIf no Paradox program is using these tables, you can go on. Go on?";
    return text;
}

namespace testhooks {
void setBeforeWriteBackHook(std::function<void(const TableRow&, const std::string&)> hook) {
    beforeWriteBackHook() = std::move(hook);
}
} // namespace testhooks

std::vector<std::string> tableColumns(const TableRow& row) {
    const auto table = paradox::Table::open(db::findTableFile(row.folder, row.name));
    std::vector<std::string> names;
    for (const auto& f : table.fields())
        names.push_back(f.name);
    return names;
}

std::vector<Matcher> runMatchers(const RunInputs& in) {
    std::vector<Matcher> matchers;
    if (in.selectedTab == 0) {
        matchers.emplace_back(in.findText, in.replaceText, in.search);
    } else if (in.selectedTab == 1) {
        const std::size_t sets =
            std::min<std::size_t>(std::min(in.setFind.size(), in.setReplace.size()), 32767);
        matchers.reserve(sets);
        for (std::size_t s = 0; s < sets; ++s) {
            try {
                matchers.emplace_back(in.setFind[s], in.setReplace[s], in.search);
            } catch (const PatternError& e) {
                throw PatternError("set " + std::to_string(s + 1) + ": " + e.what());
            }
        }
    }
    return matchers;
}

namespace {

// The column names of the run's choice that no ticked table has, in words; empty when none.
std::string unknownColumns(const RunInputs& in) {
    std::vector<std::string> unknown;
    for (const auto* names : {&in.columns.only, &in.columns.skip})
        for (const auto& name : *names)
            unknown.push_back(name);
    if (unknown.empty())
        return {};
    bool anyRead = false;
    for (const auto& r : in.rows) {
        if (!r.ticked)
            continue;
        std::vector<std::string> columns;
        try {
            columns = tableColumns(r.table);
        } catch (const std::exception&) {
            continue; // the run says why it cannot work on the table
        }
        anyRead = true;
        std::erase_if(unknown, [&](const std::string& name) {
            return std::any_of(columns.begin(), columns.end(),
                               [&](const std::string& c) { return sameColumnName(c, name); });
        });
    }
    if (unknown.empty() || !anyRead)
        return {};
    std::string names;
    for (const auto& n : unknown)
        names += (names.empty() ? "" : ", ") + n;
    return (unknown.size() == 1 ? "no ticked table has a column named "
                                : "no ticked table has the columns ") +
           names;
}

} // namespace

std::string checkSearch(const RunInputs& in) {
    try {
        (void)runMatchers(in);
    } catch (const PatternError& e) {
        return e.what();
    }
    return unknownColumns(in);
}

bool RunResult::clean() const {
    if (end == End::Failed || end == End::Busy)
        return false;
    return std::all_of(tables.begin(), tables.end(), [](const TableOutcome& t) {
        return t.leftUnchanged.empty() && t.writeBack != TableOutcome::WriteBack::NotWritten;
    });
}

std::vector<std::string> recoverInterruptedRuns(const fs::path& backupRoot) {
    return paradox::recoverPendingSwaps(backupRoot.empty() ? paradox::defaultBackupRoot()
                                                           : backupRoot);
}

void recoverInterruptedRuns(UserInterface& ui, const fs::path& backupRoot) {
    std::vector<std::string> recovered;
    try {
        recovered = recoverInterruptedRuns(backupRoot);
    } catch (const std::exception& e) {
        ui.messageBox(std::string("A previous run was interrupted, and what it left could not all "
                                  "be put right; it is tried again at the next start: ") +
                          e.what(),
                      Buttons::Ok, Icon::Exclamation, appTitle());
        return;
    }
    if (recovered.empty())
        return;
    std::string text = "A previous run was interrupted. These tables were put back:";
    for (const auto& line : recovered)
        text += "\r\n" + line;
    ui.messageBox(text, Buttons::Ok, Icon::Information, appTitle());
}

std::string endOfRunReport(const RunResult& result) {
    if (result.clean())
        return {};
    if (result.end == RunResult::End::Busy)
        return result.failure;
    constexpr std::size_t kMostReasons = 8;
    std::string text = result.end == RunResult::End::Failed
                           ? "The run stopped on an error: " + result.failure + "\r\n"
                           : "The run is over, but not everything was replaced:\r\n";
    for (const auto& t : result.tables) {
        const bool notWritten = t.writeBack == TableOutcome::WriteBack::NotWritten;
        if (!notWritten && t.leftUnchanged.empty())
            continue;
        text += "\r\nTable " + t.table.name + " in " + t.table.folder + ":\r\n";
        for (std::size_t i = 0; i < t.leftUnchanged.size() && i < kMostReasons; ++i) {
            const auto& l = t.leftUnchanged[i];
            text += "- " + std::to_string(l.count) + " replacement(s) in column " + l.column +
                    " were not made: " + l.reason + ".\r\n";
        }
        if (t.leftUnchanged.size() > kMostReasons)
            text += "- and " + std::to_string(t.leftUnchanged.size() - kMostReasons) +
                    " more kind(s) of refusal.\r\n";
        if (notWritten)
            text += "- Not written back, the table keeps its files: " + t.reason + ".\r\n";
    }
    text += "\r\nEvery other ticked table was written back, or needed no change. The change log "
            "lists every hit.";
    if (!result.search.empty())
        text += "\r\nSearched with: " + result.search + ".";
    return text;
}

RunResult runReplace(UserInterface& outerUi, const RunInputs& in, const RunOptions& options) {
    // One error box per table, and the cancel request heard inside the import.
    RunBoxes ui(outerUi, options.cancel);
    RunResult result;
    if (in.rows.empty()) {
        result.end = RunResult::End::EmptyList;
        return result;
    }
    if (std::none_of(in.rows.begin(), in.rows.end(), [](const auto& r) { return r.ticked; })) {
        ui.messageBox("Please select a table", Buttons::Ok, Icon::None, "");
        result.end = RunResult::End::NoneTicked;
        return result;
    }
    // A search that cannot run is refused before any table is touched.
    std::vector<Matcher> matchers;
    std::string refusal;
    try {
        matchers = runMatchers(in);
        refusal = unknownColumns(in);
    } catch (const PatternError& e) {
        refusal = e.what();
    }
    if (!refusal.empty()) {
        ui.messageBox("The run cannot start: " + refusal + ".", Buttons::Ok, Icon::Exclamation, "");
        result.end = RunResult::End::Failed;
        result.failure = refusal;
        return result;
    }
    result.search = in.search.describe();
    if (!in.columns.all())
        result.search += (result.search.empty() ? "" : "; ") + in.columns.describe();
    // The options close each change-log line, so the line says how its pair was applied.
    const std::string logNote = in.search.plain() ? "" : " (" + in.search.describe() + ")";
    const fs::path log = options.changeLog.empty() ? changeLogPath() : options.changeLog;
    const auto refuse = [&](RunResult::End end, const std::string& why) {
        ui.messageBox(why, Buttons::Ok, Icon::Exclamation, "");
        result.end = end;
        result.failure = why;
        return result;
    };
    // The run's own backup folder, a dry run's too: its lock and the journals of killed runs are
    // there, not in the scratch folder.
    const fs::path backupRoot =
        options.backupRoot.empty() ? paradox::defaultBackupRoot() : options.backupRoot;
    fs::path workingDb;
    try {
        workingDb = workingDatabasePath();
    } catch (const Error& e) {
        return refuse(RunResult::End::Failed, e.description());
    }
    const RunLock runLock = RunLock::acquire(workingDb, backupRoot);
    if (!runLock.held())
        return refuse(runLock.state() == RunLock::State::Busy ? RunResult::End::Busy
                                                              : RunResult::End::Failed,
                      runLock.reason());
    // A table a killed run left aside comes back before this run reads it.
    try {
        recoverInterruptedRuns(backupRoot);
    } catch (const std::exception&) {
        // The journal stays for the next start, which reports it.
    }
    // What must hold before anything is read: a change log that is the user's own file, and no
    // lock file nobody vouches for (unless the person says to go on).
    const auto notStarted = [&](const std::string& why) {
        result.end = RunResult::End::NotStarted;
        result.failure = why;
        return result;
    };
    if (!options.dryRun) {
        if (const std::string why = changeLogProblem(log); !why.empty()) {
            showErrorReport(ui, why, where::form2("PushButton1_Click"), 0);
            return notStarted(why);
        }
    }
    if (!options.ignoreStaleLocks) {
        const auto stale = paradox::staleLockFiles(tickedTableFiles(in));
        if (!stale.empty() && ui.messageBox(staleLocksQuestion(stale), Buttons::YesNo,
                                            Icon::Question, "") != Answer::Yes)
            return notStarted("lock files that no program holds lie beside the tables (" +
                              stale.front().string() +
                              (stale.size() > 1
                                   ? " and " + std::to_string(stale.size() - 1) + " more"
                                   : std::string()) +
                              ")");
    }
    std::optional<ScratchFolder> scratch;
    if (options.dryRun) {
        try {
            scratch.emplace();
        } catch (const Error& e) {
            return refuse(RunResult::End::Failed, e.description());
        }
    }
    db::setWriteBackRoot(scratch ? scratch->path() / "backups" : options.backupRoot);

    RunRecorder recorder(backupRoot, runWhat(in));
    ui.setPointer(PointerState::Busy);
    Trap trap(ui, where::form2("PushButton1_Click"));
    TableOutcome* current = nullptr;
    const std::string* column = nullptr;
    bool inUpdate = false;
    // An UPDATE that would leave the value as it was (an empty find, or a replace text equal to
    // the find text) leaves nothing undone when it is refused, so the refusal is not reported.
    bool updateChanges = false;
    // The first failure of the working database itself (disk full, I/O error, a failed commit)
    // of the current table: the table's work ends there and it is not written back, since its
    // copy no longer holds what the run did. The run goes on with the next table.
    std::string storageFailure;
    std::string updateRefusal; // why the last UPDATE was refused, for the hit's preview row
    // An earlier set changed the value already: this UPDATE had nothing left to do, and its
    // refusal leaves nothing unchanged.
    bool changedEarlier = false;
    trap.setFilter([&](const Error& e) {
        if (e.code() == code::Storage && current) {
            if (storageFailure.empty())
                storageFailure = e.description();
            return Trap::Disposition::Resume;
        }
        if (!tolerated(e.code()))
            return Trap::Disposition::Propagate;
        if (inUpdate && updateChanges && !changedEarlier && current && column) {
            updateRefusal = refusalReason(e);
            addLeft(*current, *column, updateRefusal, 1);
        }
        return Trap::Disposition::Resume;
    });

    // Table files this run has worked on, with the row that named them first: a folder reached
    // twice through a link lists the same file twice, and a second pass would change it again.
    std::vector<std::pair<fs::path, std::string>> worked;
    std::size_t reached = 0; // rows before this one were dealt with or begun
    const std::size_t tickedCount = static_cast<std::size_t>(
        std::count_if(in.rows.begin(), in.rows.end(), [](const auto& r) { return r.ticked; }));
    RunProgress progress;
    progress.tables = tickedCount;
    const auto tell = [&](RunProgress::Phase phase, long long done, long long total) {
        if (!options.onProgress)
            return;
        progress.phase = phase;
        progress.recordsDone = done;
        progress.recordsTotal = total;
        progress.hits = progress.valuesChanged = 0;
        for (const auto& t : result.tables) {
            progress.hits += t.hits;
            progress.valuesChanged += t.valuesChanged;
        }
        options.onProgress(progress);
    };
    try {
        const std::size_t count = in.rows.size();
        for (std::size_t i = 0; i < count; ++i) {
            // Between two tables is the first safe point: nothing of the next one is touched.
            current = nullptr;
            ui.beginTable(nullptr);
            ui.checkCancel();
            reached = i + 1;
            if (!in.rows[i].ticked)
                continue;
            const TableRow& row = in.rows[i].table;
            const std::string& T = row.name;
            result.tables.push_back(TableOutcome{});
            TableOutcome& outcome = result.tables.back();
            outcome.table = row;
            current = &outcome;
            storageFailure.clear();
            const auto endedByStorage = [&] {
                if (storageFailure.empty())
                    return false;
                outcome.reason = "the working database failed: " + storageFailure;
                return true;
            };
            ui.beginTable(&outcome.errorReports);
            ++progress.table;
            progress.name = row.name;
            progress.folder = row.folder;
            tell(RunProgress::Phase::Copying, 0, 0);

            if (const std::string why = cannotWorkOn(row); !why.empty()) {
                outcome.reason = why;
                continue;
            }
            {
                const fs::path file = db::findTableFile(row.folder, row.name);
                const auto same = std::find_if(worked.begin(), worked.end(), [&](const auto& w) {
                    std::error_code ec;
                    return fs::equivalent(w.first, file, ec);
                });
                if (same != worked.end()) {
                    outcome.writeBack = TableOutcome::WriteBack::Unchanged;
                    outcome.reason = "it is the same table as " + same->second +
                                     ", which this run worked on already";
                    continue;
                }
                worked.emplace_back(file, row.name + " in " + row.folder);
                // Another program's table is left alone before any work is done on it (a dry
                // run, working on a copy, says the same).
                if (std::string why = paradox::tableInUse(file); !why.empty()) {
                    outcome.reason = why;
                    continue;
                }
            }
            FixedFolder folder(row.folder);
            if (scratch) {
                try {
                    folder.set(scratch->copyOf(row, i).string());
                } catch (const std::exception& e) {
                    outcome.reason =
                        std::string("it cannot be copied for the dry run: ") + e.what();
                    continue;
                }
            }
            // Copied out of the status at once: g++ 12 cannot see that a status the trapped
            // step never assigned is still its default.
            bool complete = false;
            long long inserted = 0, expected = 0;
            // Until the write-back the table's files are untouched: a cancel may stop the import.
            ui.setSafePoint(true);
            trap.step(100, [&] {
                const db::WorkingCopyStatus status = db::sendTableToAccess(ui, folder, T);
                complete = status.complete();
                inserted = status.inserted;
                expected = status.expected;
            });
            if (endedByStorage())
                continue;
            if (!complete) {
                // Not one value of an incomplete copy may reach the table.
                outcome.reason = "its working copy is incomplete (" + std::to_string(inserted) +
                                 " of " + std::to_string(expected) + " records were copied)";
                continue;
            }

            db::Connection connection;
            db::Recordset snapshot;
            trap.step(102, [&] { connection.setMode(db::adModeReadWrite); });
            trap.step(104, [&] { connection.open(db::workingDatabaseConnectionString()); });
            const bool opened = trap.step(106, [&] {
                snapshot.open("SELECT * FROM `" + T + "`", connection, db::adOpenStatic,
                              db::adLockOptimistic);
            });
            if (!opened || !connection.isOpen()) {
                // Never exported: the export would replace the table with what could not be read.
                if (!endedByStorage())
                    outcome.reason = "its working copy could not be opened";
                trap.step(126, [&] { connection.close(); });
                continue;
            }
            long last = -1;
            trap.step(108, [&] { last = snapshot.recordCount() - 1; });
            using Clock = std::chrono::steady_clock;
            auto lastReport = Clock::now();
            const auto report = [&](long done, bool force) {
                if (!options.progress && !options.onProgress)
                    return;
                const auto now = Clock::now();
                if (!force && now - lastReport < std::chrono::milliseconds(100))
                    return;
                lastReport = now;
                if (options.progress)
                    options.progress(T, done, last + 1);
                tell(RunProgress::Phase::Searching, done, last + 1);
            };
            report(0, true);
            static const ColumnChoice kEveryColumn;
            const ColumnChoice& own = i < in.rowColumns.size() ? in.rowColumns[i] : kEveryColumn;
            const bool everyColumn = in.columns.all() && own.all();
            std::vector<signed char> columnSearched; // by field index: -1 not yet known
            const auto searched = [&](int k) {
                if (everyColumn)
                    return true;
                const auto at = static_cast<std::size_t>(k);
                if (at >= columnSearched.size())
                    columnSearched.resize(at + 1, -1);
                if (columnSearched[at] < 0) {
                    std::string name;
                    trap.step(118, [&] { name = snapshot.fieldName(k); });
                    columnSearched[at] = in.columns.includes(name) && own.includes(name);
                }
                return columnSearched[at] == 1;
            };
            // The UPDATEs of one table share one transaction, so a hit does not each wait for the
            // disk. The snapshot reads through a connection of its own and does not see them.
            bool inTransaction = false;
            constexpr long kUpdatesPerCommit = 16384;
            long updatesSinceCommit = 0;
            try {
                connection.beginTrans();
                inTransaction = true;
            } catch (const std::exception&) {
                // Without one, each statement commits by itself.
            }
            try {
                if (!trap.test(110, [&] { return snapshot.eof(); })) {
                    std::string v; // reused: a million rows would otherwise each allocate
                    std::string N;
                    for (long j = 0; j <= last && storageFailure.empty(); ++j) {
                        ui.checkCancel();
                        if ((j & 255) == 0)
                            report(j, false);
                        int fields = 0;
                        trap.step(112, [&] { fields = snapshot.fieldCount(); });
                        for (int k = 0; k < fields && storageFailure.empty(); ++k) {
                            if (!searched(k))
                                continue;
                            v.clear();
                            trap.step(114, [&] { snapshot.text(k, v); });
                            if (v.empty())
                                continue;
                            std::string C;
                            bool changedHere = false; // by an earlier set of this value
                            const auto edit = [&](const Matcher& m) {
                                auto found = Matcher::Result::Miss;
                                trap.test(116, [&] {
                                    found = m.apply(v, N);
                                    return found != Matcher::Result::Miss;
                                });
                                if (found == Matcher::Result::Miss)
                                    return;
                                if (C.empty())
                                    trap.step(118, [&] { C = snapshot.fieldName(k); });
                                if (found == Matcher::Result::Abandoned) {
                                    addLeft(outcome, C, m.abandonReason(), 1);
                                    return;
                                }
                                const std::string& F = m.find();
                                const std::string& R = m.replace();
                                if (!options.dryRun)
                                    trap.step(118, [&] {
                                        WriteChangeLog(log, changeLogLine(F, R, T, C) + logNote);
                                    });
                                ++outcome.hits;
                                const std::string sql = "update `" + T + "` set `" + C + "` = '" +
                                                        doubleApostrophes(N) + "' where `" + C +
                                                        "` = '" + doubleApostrophes(v) + "'";
                                updateChanges = N != v;
                                column = &C;
                                inUpdate = true;
                                updateRefusal.clear();
                                changedEarlier = changedHere;
                                trap.step(120, [&] {
                                    connection.spareChangedValuesInNextUpdate();
                                    connection.execute(sql);
                                });
                                inUpdate = false;
                                column = nullptr;
                                if (options.onHit)
                                    options.onHit(RunHit{
                                        T, row.folder, C, j + 1, v, N, F, R,
                                        changedHere ? "an earlier set changed this value first"
                                                    : updateRefusal});
                                changedHere =
                                    changedHere || (updateChanges && updateRefusal.empty());
                                if (inTransaction && ++updatesSinceCommit == kUpdatesPerCommit) {
                                    // More changed pages than the page cache holds would be
                                    // written to the log twice; a commit now and then writes
                                    // each once.
                                    updatesSinceCommit = 0;
                                    trap.step(124, [&] {
                                        connection.commitTrans();
                                        connection.beginTrans();
                                    });
                                }
                            };
                            for (const auto& m : matchers)
                                edit(m);
                        }
                        trap.step(122, [&] { snapshot.moveNext(); });
                    }
                }
            } catch (const Error&) {
                // The working copy keeps the UPDATEs made before the failure.
                if (inTransaction) {
                    try {
                        connection.commitTrans();
                    } catch (const std::exception&) {
                        // The failure being reported is the one that matters.
                    }
                }
                throw;
            }
            report(last + 1, true);
            // The last safe point of the table: its copy is searched, its files untouched.
            ui.checkCancel();
            ui.setSafePoint(false);
            if (inTransaction && storageFailure.empty())
                trap.step(124, [&] { connection.commitTrans(); });
            trap.step(124, [&] { snapshot.close(); });
            trap.step(126, [&] { connection.close(); });
            if (endedByStorage())
                continue;
            if (beforeWriteBackHook())
                beforeWriteBackHook()(row, folder.get());
            pauseBeforeWriteBack(row);
            db::WriteBack back;
            tell(RunProgress::Phase::WritingBack, last + 1, last + 1);
            trap.step(128, [&] { back = db::sendTableToParadox(ui, folder, T); });
            if (endedByStorage())
                continue; // the export stopped before it touched the table
            for (const auto& l : back.leftOut)
                addLeft(outcome, l.column, l.reason, l.count);
            outcome.valuesChanged = back.valuesChanged;
            if (!scratch)
                outcome.backupFolder = back.backupFolder;
            outcome.reason = back.reason;
            switch (back.state) {
            case db::WriteBack::State::Written:
                outcome.writeBack = TableOutcome::WriteBack::Written;
                if (!scratch && !back.backupFolder.empty())
                    keepRecord(recorder, result, row, back.backupFolder);
                break;
            case db::WriteBack::State::Unchanged:
                outcome.writeBack = TableOutcome::WriteBack::Unchanged;
                break;
            case db::WriteBack::State::NotWritten:
                outcome.writeBack = TableOutcome::WriteBack::NotWritten;
                break;
            }
            if (scratch) {
                // The copy has told what it had to; the next table gets the space.
                std::error_code ec;
                fs::remove_all(folder.get(), ec);
                fs::remove_all(back.backupFolder, ec);
            }
        }
    } catch (const Error& e) {
        // An untolerated failure ends the run; the person sees why and gets the pointer back.
        result.end = RunResult::End::Failed;
        result.failure = e.description();
        result.failureLine = trap.currentLine();
        if (current && current->writeBack == TableOutcome::WriteBack::NotWritten &&
            current->reason.empty())
            current->reason = "the run stopped before it was written back";
        ui.setPointer(PointerState::Default);
        // Counted against the table it happened in: shown unless that table had its box.
        ui.setSafePoint(false);
        trap.report(e.description());
        ui.beginTable(nullptr);
        current = nullptr;
        // The ticked tables it never reached are named too: none of them was changed.
        addNotReached(result, in, reached, "the run stopped before it reached this table");
        if (options.endOfRunBox)
            showEndOfRun(ui, result, in, options, log);
        return result;
    } catch (const RunCancelled&) {
        // Stopped at a safe point: the table in progress never reached its write-back.
        result.end = RunResult::End::Cancelled;
        ui.setSafePoint(false);
        ui.beginTable(nullptr);
        if (current) {
            current->writeBack = TableOutcome::WriteBack::NotWritten;
            current->valuesChanged = 0;
            current->leftUnchanged.clear();
            current->reason = "the run was cancelled before it was written back; it keeps its "
                              "files";
            if (current->hits > 0 && !options.dryRun)
                current->reason += " (the change log holds " + std::to_string(current->hits) +
                                   " line(s) of it for changes that were not made)";
        }
        current = nullptr;
        addNotReached(result, in, reached, "the run was cancelled before it reached this table");
        ui.setPointer(PointerState::Default);
        if (options.endOfRunBox)
            showEndOfRun(ui, result, in, options, log);
        return result;
    }

    ui.setPointer(PointerState::Default);
    ui.processEvents();
    result.end = RunResult::End::Completed;
    if (options.endOfRunBox)
        showEndOfRun(ui, result, in, options, log);
    return result;
}

} // namespace qm
