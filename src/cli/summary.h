#pragma once

// The end-of-run summary of quillmend replace and the exit status that goes with it.

#include "replace/replace_run.h"

#include <string>
#include <vector>

namespace qm::cli {

inline constexpr int kExitClean = 0;
inline constexpr int kExitIncomplete = 1;
inline constexpr int kExitUsage = 2;
// Another run holds the run locks; nothing was done.
inline constexpr int kExitBusy = 3;

// Per table: hits, values changed, values refused and why, written back or not and why; then
// a closing line. tables holds every table asked for, in the order they were dealt with.
std::string runSummary(const std::vector<TableOutcome>& tables, const RunResult& result,
                       bool dryRun);

// 0 when the run completed and every table was written back or needed no change; 3 when another
// run was in progress; else 1.
int exitStatus(const std::vector<TableOutcome>& tables, const RunResult& result);

} // namespace qm::cli
