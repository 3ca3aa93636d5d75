#pragma once

// quillmend runs and quillmend undo: the runs the backup folder keeps a record of, and putting
// the tables of one of them back.

#include <string>

namespace qm::cli {

// One line per recorded run, newest first: its name, its tables, whether they were put back
// since, and what it replaced; then one line per table. Status 0.
int listRecordedRuns();

// Puts back the tables of the named run (empty: the newest run not yet undone). Status 0 when
// every table is back, 1 when one was left as it is (changed since the run, say), 2 when there
// is no such run or nothing to undo, 3 when another run is in progress.
int undoRecordedRun(const std::string& run, bool ignoreStaleLocks);

} // namespace qm::cli
