#pragma once

// What every table of a replace run shares while the run works on it: the run's inputs, setup and
// result, the trap and what it notes about the statement in progress, the write-back session,
// the undo record, the change log and whoever watches the progress.

#include "app/error_report.h"
#include "db/write_back_session.h"
#include "replace/change_log.h"
#include "replace/run_boxes.h"
#include "replace/run_history.h"
#include "replace/run_setup.h"
#include "replace/run_types.h"
#include "replace/worked_tables.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace qm {

// What the run's trap notes about the statement in progress, and how it treats a failure: one of
// the working database itself ends the table's work (the run goes on with the next table), a
// refused UPDATE that would have changed a value counts as a value left unchanged, a failure the
// run cannot go on from ends it.
struct RunWatch {
    TableOutcome* table = nullptr;       // the table being worked on
    const std::string* column = nullptr; // the column of the UPDATE in progress
    bool inUpdate = false;
    // An UPDATE that would leave the value as it was (an empty find, or a replace text equal to
    // the find text) leaves nothing undone when it is refused, so the refusal is not reported.
    bool updateChanges = false;
    // An earlier set changed the value already: this UPDATE had nothing left to do, and its
    // refusal leaves nothing unchanged.
    bool changedEarlier = false;
    std::string updateRefusal; // why the last UPDATE was refused, for the hit's preview row
    // The first failure of the working database (disk full, I/O error, a failed commit) of the
    // table: its copy no longer holds what the run did, so it is not written back.
    std::string storageFailure;

    Trap::Disposition onError(const Error& e);
    // True, with the table's reason said, when a storage failure ended the table's work.
    bool endedByStorage();
};

// Where the run stands, for whoever watches it.
class RunProgressTeller {
  public:
    RunProgressTeller(const RunOptions& options, const RunResult& result, std::size_t tables);
    void beginTable(const TableRow& row);
    void tell(RunProgress::Phase phase, long long done, long long total);
    // Records searched so far; at most about ten times a second unless forced.
    void searching(const std::string& table, long long done, long long total, bool force);

  private:
    const RunOptions& options_;
    const RunResult& result_;
    RunProgress progress_;
    std::chrono::steady_clock::time_point lastReport_ = std::chrono::steady_clock::now();
};

// What every table of a run shares.
struct RunContext {
    RunBoxes& ui;
    const RunInputs& in;
    const RunOptions& options;
    const RunSetup& setup;
    db::WriteBackSession& writeBack;
    RunRecorder& recorder; // the undo record of the tables written back
    Trap& trap;
    RunWatch& watch;
    RunProgressTeller& progress;
    RunResult& result;
    ChangeLogWriter& changeLog;
    // Tables the run has worked on, with the row that named them first.
    WorkedTables worked;
    // Why the current table's files may not be replaced (read-only); its hits are only counted.
    std::string readOnly;
};

// Values of one column that a refusal left as they were, added to the outcome's list.
void addLeft(TableOutcome& outcome, const std::string& column, const std::string& reason,
             long long count);

} // namespace qm
