#pragma once

// The last step of the run's work on a table (128): the working copy written back into the
// table's own files, after the checks that must be made just before it (room on the disks,
// validity checks that cannot be read), and the table noted in the run's undo record.

#include "app/current_folder.h"
#include "replace/run_context.h"

#include <filesystem>
#include <functional>
#include <string>

namespace qm {

// Whether the disks of the table and of the backups can take its write-back; says why not in the
// outcome. Asked before any work on the table, so that a run on a full disk says so at once, and
// again just before the write-back, which the working database or the tables before it may have
// left with less room.
bool roomFor(RunContext& run, const std::filesystem::path& file, TableOutcome& outcome);

// The working copy written back into the table's files (step 128) and what came of it, in the
// outcome; a table written is noted in the run's undo record.
void writeTableBack(RunContext& run, const TableRow& row, const CurrentFolder& folder,
                    long long records, TableOutcome& outcome);

// The question the run asks about a table whose validity checks cannot be read, and why not.
std::string unreadableChecksQuestion(const std::string& table, const std::string& why);

namespace testhooks {
// Called between the run's work on a table in the working database and its write-back, with
// the table's row and the folder the write-back writes to. The environment variable
// QM_TEST_PAUSE_BEFORE_WRITE_BACK names a folder for a hook between processes: the run creates
// "ready-NAME" in it and waits (at most a minute) until "go-NAME" exists.
void setBeforeWriteBackHook(std::function<void(const TableRow&, const std::string& folder)> hook);
} // namespace testhooks

} // namespace qm
