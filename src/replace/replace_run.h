#pragma once

// The replace run behind "Start Replacing": every ticked table is copied into the working
// database, every hit of a find text is logged and UPDATEd in the copy, and the copy goes back
// into the table's own files by rewriting only the values that changed.
//
// The run reaches the person only through the UserInterface: "Please select a table", the busy
// pointer, error reports (at most one box per table; the others are kept for the end), and one
// detailed box at its end (replace/run_report.h): "Done." with the counts when every ticked table
// came out as asked, otherwise what went wrong (with the exclamation icon), so a run that left
// values unchanged or tables unwritten never looks like a success. It may run on a thread of its
// own: it touches no window, and a CancelToken stops it at the next safe point.

#include "app/user_interface.h"
#include "replace/run_types.h"

#include <string>

namespace qm {

// The run. Synchronous; shows its own boxes (see above) and leaves the pointer at its default.
RunResult runReplace(UserInterface& ui, const RunInputs& inputs, const RunOptions& options = {});

// The text of the end-of-run box when the run was not clean: per table, the values left
// unchanged and why, the tables not written back and why. Empty for a clean run.
std::string endOfRunReport(const RunResult& result);

} // namespace qm
