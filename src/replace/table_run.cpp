#include "replace/table_run.h"

#include "app/error.h"
#include "db/connection.h"
#include "db/export.h"
#include "db/import.h"
#include "db/paradox_backend.h"
#include "db/working_copy_schema.h"
#include "db/working_database.h"
#include "paradox/family_swap.h"
#include "paradox/share_locks.h"
#include "paradox/table.h"
#include "paradox/validity.h"
#include "replace/backup_space.h"
#include "replace/change_log.h"
#include "replace/write_permission.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

namespace qm {

namespace fs = std::filesystem;

namespace {

bool tolerated(long c) {
    return c == code::TooLong || c == code::Malformed || c == code::TypeMismatch ||
           c == code::NoSuchTable || c == code::Unspecified || c == code::ObjectClosed;
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
    std::vector<std::string> fields;
    try {
        const auto table = paradox::Table::open(db);
        for (const auto& f : table.fields())
            fields.push_back(f.name);
    } catch (const paradox::EncryptedTableError&) {
        return "it is password-protected; it was not changed";
    } catch (const std::exception& e) {
        return std::string("it cannot be read: ") + e.what();
    }
    // Its working copy could not keep track of which row is which record.
    if (db::rowidName(fields).empty())
        return std::string(db::kRowidNamesTaken) + "; it was not changed";
    return {};
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

TableOutcome::WriteBack outcomeOf(db::WriteBack::State state) {
    switch (state) {
    case db::WriteBack::State::Written:
        return TableOutcome::WriteBack::Written;
    case db::WriteBack::State::Unchanged:
        return TableOutcome::WriteBack::Unchanged;
    case db::WriteBack::State::NotWritten:
        break;
    }
    return TableOutcome::WriteBack::NotWritten;
}

// The records of one working copy searched through a snapshot, every hit logged and UPDATEd in
// the copy through the working database (steps 102 to 126).
class TableSearch {
  public:
    // records: the table's; candidates: the records its copy holds, when not all.
    TableSearch(RunContext& run, std::size_t index, TableOutcome& outcome, long long records,
                const CandidateRecords* candidates)
        : run_(run), trap_(run.trap), row_(run.in.rows[index].table), table_(row_.name),
          outcome_(outcome), tableRecords_(records), candidates_(candidates),
          own_(index < run.in.rowColumns.size() ? run.in.rowColumns[index] : kEveryColumn),
          everyColumn_(run.in.columns.all() && own_.all()) {}

    // False when the copy could not be opened: then it must not be exported.
    bool open();
    long long records() const { return last_ + 1; }
    void searchRecords();
    void close();

  private:
    static inline const ColumnChoice kEveryColumn;

    // Rows searched, told in the table's records: those left out of the copy were searched
    // already, so the rows stand for their share of the whole.
    long long told(long long rows) const {
        return last_ + 1 > 0 ? rows * tableRecords_ / (last_ + 1) : 0;
    }
    bool searched(int field);
    void searchValue(long record, int field);
    // One find/replace pair on the value; returns true when it changed it.
    bool apply(const Matcher& m, long record, int field, std::string& column, bool changedHere);
    void update(const std::string& column);
    void commitNowAndThen();

    RunContext& run_;
    Trap& trap_;
    const TableRow& row_;
    const std::string& table_;
    TableOutcome& outcome_;
    const long long tableRecords_;
    const CandidateRecords* candidates_;
    const ColumnChoice& own_;
    const bool everyColumn_;
    std::vector<signed char> columnSearched_; // by field index: -1 not yet known
    db::Connection connection_;
    db::Recordset snapshot_;
    long last_ = -1; // the last record's index
    bool inTransaction_ = false;
    long updatesSinceCommit_ = 0;
    std::string value_; // reused: a million rows would otherwise each allocate
    std::string newValue_;
};

bool TableSearch::open() {
    trap_.step(102, [&] { connection_.setMode(db::adModeReadWrite); });
    trap_.step(104, [&] { connection_.open(db::workingDatabaseConnectionString()); });
    const bool opened = trap_.step(
        106, [&] { snapshot_.attach(db::WorkingDatabase(connection_).openCopy(table_)); });
    if (!opened || !connection_.isOpen()) {
        // Never exported: the export would replace the table with what could not be read.
        if (!run_.watch.endedByStorage())
            outcome_.reason = "its working copy could not be opened";
        trap_.step(126, [&] { connection_.close(); });
        return false;
    }
    trap_.step(108, [&] { last_ = snapshot_.recordCount() - 1; });
    run_.progress.searching(table_, 0, tableRecords_, true);
    // The UPDATEs of one table share one transaction, so a hit does not each wait for the
    // disk. The snapshot reads through a connection of its own and does not see them.
    try {
        connection_.beginTrans();
        inTransaction_ = true;
    } catch (const std::exception&) {
        // Without one, each statement commits by itself.
    }
    return true;
}

void TableSearch::searchRecords() {
    try {
        if (trap_.test(110, [&] { return snapshot_.eof(); }))
            return;
        for (long j = 0; j <= last_ && run_.watch.storageFailure.empty(); ++j) {
            run_.ui.checkCancel();
            if ((j & 255) == 0)
                run_.progress.searching(table_, told(j), tableRecords_, false);
            int fields = 0;
            trap_.step(112, [&] { fields = snapshot_.fieldCount(); });
            for (int k = 0; k < fields && run_.watch.storageFailure.empty(); ++k)
                if (searched(k))
                    searchValue(j, k);
            trap_.step(122, [&] { snapshot_.moveNext(); });
        }
    } catch (const Error&) {
        // The working copy keeps the UPDATEs made before the failure.
        if (inTransaction_) {
            try {
                connection_.commitTrans();
            } catch (const std::exception&) {
                // The failure being reported is the one that matters.
            }
        }
        throw;
    }
}

bool TableSearch::searched(int field) {
    if (everyColumn_)
        return true;
    const auto at = static_cast<std::size_t>(field);
    if (at >= columnSearched_.size())
        columnSearched_.resize(at + 1, -1);
    if (columnSearched_[at] < 0) {
        std::string name;
        trap_.step(118, [&] { name = snapshot_.fieldName(field); });
        columnSearched_[at] = run_.in.columns.includes(name) && own_.includes(name);
    }
    return columnSearched_[at] == 1;
}

void TableSearch::searchValue(long record, int field) {
    value_.clear();
    trap_.step(114, [&] { snapshot_.text(field, value_); });
    if (value_.empty())
        return;
    std::string column;
    bool changedHere = false; // by an earlier set of this value
    for (const auto& m : run_.setup.matchers)
        changedHere = apply(m, record, field, column, changedHere) || changedHere;
}

bool TableSearch::apply(const Matcher& m, long record, int field, std::string& column,
                        bool changedHere) {
    auto found = Matcher::Result::Miss;
    trap_.test(116, [&] {
        found = m.apply(value_, newValue_);
        return found != Matcher::Result::Miss;
    });
    if (found == Matcher::Result::Miss)
        return false;
    if (column.empty())
        trap_.step(118, [&] { column = snapshot_.fieldName(field); });
    if (found == Matcher::Result::Abandoned) {
        addLeft(outcome_, column, m.abandonReason(), 1);
        return false;
    }
    if (!run_.options.dryRun && run_.readOnly.empty())
        trap_.step(118, [&] {
            run_.changeLog.write(changeLogLine(m.find(), m.replace(), table_, column) +
                                 run_.setup.changeLogNote);
        });
    ++outcome_.hits;
    RunWatch& watch = run_.watch;
    watch.updateChanges = newValue_ != value_;
    watch.updateRefusal.clear();
    watch.changedEarlier = changedHere;
    update(column);
    if (run_.options.onHit)
        run_.options.onHit(RunHit{table_, row_.folder, column,
                                  candidates_ ? candidates_->recordNumber(record) : record + 1,
                                  value_, newValue_, m.find(), m.replace(),
                                  changedHere ? "an earlier set changed this value first"
                                  : run_.readOnly.empty()
                                      ? watch.updateRefusal
                                      : "the table is not written back: " + run_.readOnly});
    commitNowAndThen();
    return watch.updateChanges && watch.updateRefusal.empty();
}

void TableSearch::update(const std::string& column) {
    RunWatch& watch = run_.watch;
    watch.column = &column;
    watch.inUpdate = true;
    trap_.step(120, [&] {
        db::WorkingDatabase(connection_).replaceValue(table_, column, newValue_, value_);
    });
    watch.inUpdate = false;
    watch.column = nullptr;
}

void TableSearch::commitNowAndThen() {
    constexpr long kUpdatesPerCommit = 16384;
    if (!inTransaction_ || ++updatesSinceCommit_ != kUpdatesPerCommit)
        return;
    // More changed pages than the page cache holds would be written to the log twice; a commit
    // now and then writes each once.
    updatesSinceCommit_ = 0;
    trap_.step(124, [&] {
        connection_.commitTrans();
        connection_.beginTrans();
    });
}

void TableSearch::close() {
    if (inTransaction_ && run_.watch.storageFailure.empty())
        trap_.step(124, [&] { connection_.commitTrans(); });
    trap_.step(124, [&] { snapshot_.close(); });
    trap_.step(126, [&] { connection_.close(); });
}

// Whether the disks of the table and of the backups can take its write-back; says why not in the
// outcome. Asked before any work on the table, so that a run on a full disk says so at once, and
// again just before the write-back, which the working database or the tables before it may have
// left with less room.
bool roomFor(RunContext& run, const fs::path& file, TableOutcome& outcome) {
    std::string why;
    try {
        why = roomToWriteBack(paradox::realTableFile(file), run.setup.backupRoot);
    } catch (const std::exception&) {
        return true; // links that cannot be followed: the write-back refuses them with the reason
    }
    outcome.reason = why;
    return why.empty();
}

// Whether the row's table may be worked on: readable, not one the run worked on already through
// another path, not held by another program. Says why not in the outcome.
bool admit(RunContext& run, const TableRow& row, TableOutcome& outcome) {
    if (const std::string why = cannotWorkOn(row); !why.empty()) {
        outcome.reason = why;
        return false;
    }
    const fs::path file = db::findTableFile(row.folder, row.name);
    if (const std::string* same = run.worked.find(file)) {
        outcome.writeBack = TableOutcome::WriteBack::Unchanged;
        outcome.reason = "it is the same table as " + *same + ", which this run worked on already";
        return false;
    }
    run.worked.add(file, row.name + " in " + row.folder);
    // Another program's table is left alone before any work is done on it (a dry run, working on
    // a copy, says the same).
    if (std::string why = paradox::tableInUse(file); !why.empty()) {
        outcome.reason = why;
        return false;
    }
    return roomFor(run, file, outcome);
}

// The table copied into the working database (step 100); false, with the reason said, when the
// copy is not complete.
bool copyIntoWorkingDatabase(RunContext& run, const CurrentFolder& folder, const std::string& table,
                             TableOutcome& outcome, db::RecordFilter* filter, long long& records) {
    // Copied out of the status at once: g++ 12 cannot see that a status the trapped step never
    // assigned is still its default.
    bool complete = false;
    long long inserted = 0, expected = 0;
    run.trap.step(100, [&] {
        const db::WorkingCopyStatus status = db::sendTableToAccess(run.ui, folder, table, filter);
        complete = status.complete();
        inserted = status.inserted + status.leftOut;
        expected = status.expected;
    });
    records = expected;
    if (run.watch.endedByStorage())
        return false;
    if (!complete) {
        // Not one value of an incomplete copy may reach the table.
        outcome.reason = "its working copy is incomplete (" + std::to_string(inserted) + " of " +
                         std::to_string(expected) + " records were copied)";
        return false;
    }
    return true;
}

// Notes a table just written back in the run's record. A record that cannot be kept leaves the
// table written as it is; the run says that no undo is offered for it.
void keepRecord(RunRecorder& recorder, RunResult& result, const TableRow& row,
                const fs::path& backupFolder) {
    std::string file = (fs::path(row.folder) / row.name).string();
    try {
        const fs::path db = paradox::realTableFile(db::findTableFile(row.folder, row.name));
        file = db.string();
        recorder.written(db, backupFolder);
        result.runRecord = recorder.record().id;
        // A record saved now holds the tables whose saving failed before it, too.
        std::erase_if(result.unrecorded, [&](const std::string& f) {
            const auto& held = recorder.record().tables;
            return std::any_of(held.begin(), held.end(),
                               [&](const RunRecordTable& t) { return t.db == f; });
        });
    } catch (const std::exception& e) {
        if (result.recordFailure.empty())
            result.recordFailure = e.what();
        result.unrecorded.push_back(file);
    }
}

// A swap noted in the record that did not happen: its table is as it was.
void dropUnswapped(RunRecorder& recorder) {
    std::vector<fs::path> unconfirmed;
    for (const auto& t : recorder.record().tables)
        if (t.unconfirmed)
            unconfirmed.push_back(t.backupFolder);
    for (const auto& folder : unconfirmed)
        try {
            recorder.notSwapped(folder);
        } catch (const std::exception&) {
            // Undo finds the table as it was before the run and says so.
        }
}

// A table with hits whose validity file cannot be read: its values go in untested only when the
// person says so, asked once for the table (the command line: --ignore-unreadable-checks).
// Returns the note for the end report, empty when the table's checks can be read.
std::string decideUntestedValues(RunContext& run, const TableRow& row, const CurrentFolder& folder,
                                 const TableOutcome& outcome) {
    if (outcome.hits == 0)
        return {};
    std::string why;
    try {
        why = paradox::validityProblem(
            paradox::Table::open(db::findTableFile(folder.get(), row.name)));
    } catch (const std::exception&) {
        return {}; // the write-back says why the table cannot be read
    }
    if (why.empty())
        return {};
    if (!run.options.ignoreUnreadableChecks &&
        run.ui.messageBox(unreadableChecksQuestion(row.name, why), Buttons::YesNoDefaultNo,
                          Icon::Question, "") != Answer::Yes)
        return {};
    run.writeBack.acceptUntestedValues(row.name);
    return "its values were written without testing its validity checks, which cannot be read (" +
           why + ")";
}

// The working copy written back into the table's files (step 128) and what came of it.
void writeBack(RunContext& run, const TableRow& row, const CurrentFolder& folder, long long records,
               TableOutcome& outcome) {
    if (beforeWriteBackHook())
        beforeWriteBackHook()(row, folder.get());
    pauseBeforeWriteBack(row);
    if (!roomFor(run, db::findTableFile(row.folder, row.name), outcome))
        return;
    const std::string untested = decideUntestedValues(run, row, folder, outcome);
    db::WriteBack back;
    run.progress.tell(RunProgress::Phase::WritingBack, records, records);
    {
        // The write-back finds the table's files in one listing of its own; its checks and the
        // swap look at the folder afresh (export.cpp).
        paradox::FolderListings step;
        const paradox::ListingScope listed(step);
        // The record names the table before its swap touches it: a run killed at any moment
        // after leaves a record that undo can use. One that cannot be saved does not stop the
        // swap; the run then says that no undo is offered for the table.
        std::optional<paradox::SwapWatch> watch;
        if (!run.options.dryRun)
            watch.emplace([&](const paradox::PreparedSwap& swap) {
                try {
                    run.recorder.aboutToSwap(swap);
                } catch (const std::exception&) {
                    // written() below tries again once the swap is done.
                }
            });
        run.trap.step(
            128, [&] { back = db::sendTableToParadox(run.ui, folder, row.name, run.writeBack); });
    }
    if (run.watch.endedByStorage())
        return; // the export stopped before it touched the table
    for (const auto& l : back.leftOut)
        addLeft(outcome, l.column, l.reason, l.count);
    outcome.valuesChanged = back.valuesChanged;
    outcome.backupFolder = back.backupFolder;
    outcome.reason = back.reason;
    outcome.writeBack = outcomeOf(back.state);
    // The values written back count from now on: the last progress a watcher sees agrees with
    // the end report.
    run.progress.tell(RunProgress::Phase::WritingBack, records, records);
    if (!untested.empty() && outcome.writeBack == TableOutcome::WriteBack::Written)
        outcome.reason = outcome.reason.empty() ? untested : outcome.reason + "; " + untested;
    if (outcome.writeBack == TableOutcome::WriteBack::Written && !run.options.dryRun &&
        !back.backupFolder.empty())
        keepRecord(run.recorder, run.result, row, back.backupFolder);
    else
        dropUnswapped(run.recorder);
}

} // namespace

namespace testhooks {
void setBeforeWriteBackHook(std::function<void(const TableRow&, const std::string&)> hook) {
    beforeWriteBackHook() = std::move(hook);
}
} // namespace testhooks

void addLeft(TableOutcome& o, const std::string& column, const std::string& reason, long long n) {
    for (auto& l : o.leftUnchanged)
        if (l.column == column && l.reason == reason) {
            l.count += n;
            return;
        }
    o.leftUnchanged.push_back({column, reason, n});
}

Trap::Disposition RunWatch::onError(const Error& e) {
    if (e.code() == code::Storage && table) {
        if (storageFailure.empty())
            storageFailure = e.description();
        return Trap::Disposition::Resume;
    }
    if (!tolerated(e.code()))
        return Trap::Disposition::Propagate;
    if (inUpdate && updateChanges && !changedEarlier && table && column) {
        updateRefusal = refusalReason(e);
        addLeft(*table, *column, updateRefusal, 1);
    }
    return Trap::Disposition::Resume;
}

bool RunWatch::endedByStorage() {
    if (storageFailure.empty())
        return false;
    table->reason = "the working database failed: " + storageFailure;
    return true;
}

RunProgressTeller::RunProgressTeller(const RunOptions& options, const RunResult& result,
                                     std::size_t tables)
    : options_(options), result_(result) {
    progress_.tables = tables;
}

void RunProgressTeller::beginTable(const TableRow& row) {
    ++progress_.table;
    progress_.name = row.name;
    progress_.folder = row.folder;
    tell(RunProgress::Phase::Copying, 0, 0);
}

void RunProgressTeller::tell(RunProgress::Phase phase, long long done, long long total) {
    if (!options_.onProgress)
        return;
    progress_.phase = phase;
    progress_.recordsDone = done;
    progress_.recordsTotal = total;
    progress_.hits = progress_.valuesChanged = 0;
    for (const auto& t : result_.tables) {
        progress_.hits += t.hits;
        progress_.valuesChanged += t.valuesChanged;
    }
    options_.onProgress(progress_);
}

void RunProgressTeller::searching(const std::string& table, long long done, long long total,
                                  bool force) {
    if (!options_.progress && !options_.onProgress)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < std::chrono::milliseconds(100))
        return;
    lastReport_ = now;
    if (options_.progress)
        options_.progress(table, done, total);
    tell(RunProgress::Phase::Searching, done, total);
}

void runTable(RunContext& run, std::size_t index) {
    const TableRow& row = run.in.rows[index].table;
    run.result.tables.push_back(TableOutcome{});
    TableOutcome& outcome = run.result.tables.back();
    outcome.table = row;
    run.watch.table = &outcome;
    run.watch.storageFailure.clear();
    run.ui.beginTable(&outcome.errorReports);
    run.progress.beginTable(row);
    // Until the write-back, the table's files are found in the run's listing of its folder;
    // the write-back looks at the folder as it is then.
    std::optional<paradox::ListingScope> listed(std::in_place, run.setup.listings);
    if (!admit(run, row, outcome))
        return;
    // The window and the command line alike leave a table alone that its owner made read-only;
    // its hits are still counted where it is, so that the person learns what was not replaced
    // (and a preview lists them: reading needs no write access).
    run.readOnly = readOnlyReason(row);
    // A dry run reads the table where it is: its write-back only tells what it would do.
    FixedFolder folder(row.folder);
    // Until the write-back the table's files are untouched: a cancel may stop the import.
    run.ui.setSafePoint(true);
    // Only the records a find text hits enter the working copy (candidates.h).
    static const ColumnChoice kEveryColumn;
    CandidateRecords candidates(run.setup.matchers, run.in.columns,
                                index < run.in.rowColumns.size() ? run.in.rowColumns[index]
                                                                 : kEveryColumn);
    CandidateRecords* filter = run.options.copyEveryRecord ? nullptr : &candidates;
    long long records = 0;
    if (!copyIntoWorkingDatabase(run, folder, row.name, outcome, filter, records))
        return;
    TableSearch search(run, index, outcome, records, filter);
    if (!search.open())
        return;
    search.searchRecords();
    run.progress.searching(row.name, records, records, true);
    // The last safe point of the table: its copy is searched, its files untouched.
    run.ui.checkCancel();
    run.ui.setSafePoint(false);
    search.close();
    if (run.watch.endedByStorage())
        return;
    if (!run.readOnly.empty()) {
        outcome.reason = run.readOnly;
        return;
    }
    listed.reset();
    writeBack(run, row, folder, records, outcome);
}

} // namespace qm
