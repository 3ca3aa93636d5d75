#pragma once

// The exit status of quillmend replace; its summary is the engine's (replace/run_report.h), the
// same text the window shows as the details of its end-of-run box.

#include "replace/replace_run.h"
#include "replace/run_report.h"

#include <string>
#include <vector>

namespace qm::cli {

inline constexpr int kExitClean = 0;
inline constexpr int kExitIncomplete = 1;
inline constexpr int kExitUsage = 2;
// Another run holds the run locks; nothing was done.
inline constexpr int kExitBusy = 3;

using qm::runSummary;

// 0 when the run completed and every table was written back or needed no change; 3 when another
// run was in progress; else 1.
int exitStatus(const std::vector<TableOutcome>& tables, const RunResult& result);

} // namespace qm::cli
