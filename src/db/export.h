#pragma once

// Writing the edited working copy back into its Paradox table.
//
// The steps are those of a Paradox 5.x export: the table dropped on the Paradox connection, then
// the copy's first N rows exported as <T>.db into the folder from the working database. What
// carries them out here is not a new table, though: the write-back session
// (write_back_session.h) takes the drop as a mark only, and the export compares every row of the
// working copy with the record it came from and rewrites, in a byte copy of the table, only the
// values that differ (paradox::patchTable). The old files are swapped out through the journal of
// paradox::FamilySwap and kept in a backup folder.

#include "app/current_folder.h"
#include "app/user_interface.h"
#include "db/write_back_outcome.h"

#include <string>

namespace qm::db {

class WriteBackSession;

// The export of one table, step by step with its line labels (100 to 136), every step through
// the procedure's trap. Before the drop it checks that the working copy is complete; one that is
// not (an INSERT failed, the record count differs) is not written back and the table keeps its
// files. The working copy is dropped only when the table got what it held (Written or
// Unchanged); otherwise it stays until the next import replaces it. The session carries out the
// drop and the export and keeps the backup root.
WriteBack sendTableToParadox(UserInterface& ui, const CurrentFolder& folder,
                             const std::string& tableName, WriteBackSession& session);

} // namespace qm::db
