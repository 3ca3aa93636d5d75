#pragma once

// The replace run's work on one ticked table, step by step with the line labels its error
// reports name: the table is checked (100 copies it into the working database), its records are
// searched through a snapshot of the copy and every hit is logged and UPDATEd in the copy
// (102 to 126, table_search.h), and the copy is written back into the table's own files (128,
// table_write_back.h).
//
// The run talks to the working database through a db::WorkingDatabase on the connection it opens
// for the table, and to the write-back through the db::WriteBackSession it is given.

#include "replace/run_context.h"

#include <cstddef>

namespace qm {

// The work on the ticked row `index`; its outcome is the last of the run's result.
void runTable(RunContext& run, std::size_t index);

} // namespace qm
