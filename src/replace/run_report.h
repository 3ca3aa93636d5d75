#pragma once

// What a run tells at its end, in the words both the window and the command line use: the counts,
// the box the window shows, and the per-table summary (hits, values changed, written back or why
// not, values left unchanged by column and reason, error reports) that the window shows as the
// box's details and the command line prints.

#include "replace/run_types.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qm {

struct RunCounts {
    long long tables = 0;
    long long hits = 0;
    long long valuesChanged = 0;
    long long written = 0;
    long long unchanged = 0;
    long long notWritten = 0;
    long long refused = 0; // values left unchanged although a find text hit them
};

RunCounts runCounts(const std::vector<TableOutcome>& tables);

// One line per table with its refusals and error reports below it, then the closing count.
std::string runSummary(const std::vector<TableOutcome>& tables, const RunResult& result,
                       bool dryRun);

// The text of the end-of-run box. "Done." and the counts when every ticked table came out as
// asked; when no value held a find text, that, with the find texts quoted so that blanks show;
// otherwise what went wrong, with the first tables concerned (the details hold them all).
std::string endOfRunText(const RunResult& result, const RunInputs& inputs, bool dryRun);

// What the person must be told when the run's undo record is missing, or lacks some of the
// tables written back (a full disk stopped it after it held the others): "No undo record could be
// kept: why", or which tables it lacks and why. Empty when it holds every table written back.
std::string recordFailureText(const RunResult& result);

// The box's details: the summary, then where the change log and the old files are.
std::string endOfRunDetails(const RunResult& result, bool dryRun,
                            const std::filesystem::path& changeLog,
                            const std::filesystem::path& backupRoot);

// "text" in quotes, so that leading and trailing blanks show.
std::string quoted(const std::string& text);

} // namespace qm
