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

#include <filesystem>
#include <string>
#include <vector>

namespace qm::db {

class SqliteBackend;
class WriteBackSession;

// Values that the Paradox field could not take back: they keep their old value.
struct ValueLeftOut {
    std::string column;
    std::string reason;
    long long count = 0;
};

struct WriteBack {
    enum class State {
        Written,    // changed values are in the table's files; the old files are in backupFolder
                    // (reason, when given, says what still waits: old files not yet moved there)
        Unchanged,  // no value differs: not a byte of the table was touched
        NotWritten, // the table keeps its old files; reason says why
    };
    State state = State::NotWritten;
    long long valuesChanged = 0;
    std::vector<ValueLeftOut> leftOut;
    std::string reason;
    std::filesystem::path backupFolder;
};

// The export of one table, step by step with its line labels (100 to 136), every step through
// the procedure's trap. Before the drop it checks that the working copy is complete; one that is
// not (an INSERT failed, the record count differs) is not written back and the table keeps its
// files. The working copy is dropped only when the table got what it held (Written or
// Unchanged); otherwise it stays until the next import replaces it. The session carries out the
// drop and the export and keeps the backup root.
WriteBack sendTableToParadox(UserInterface& ui, const CurrentFolder& folder,
                             const std::string& tableName, WriteBackSession& session);

// The comparison and the patch alone: the rows of the working copy tableName against the
// records of db they came from. count is the export's TOP (-1: none). A preview writes nothing:
// it reports what the write-back would come to (Written with the values it would change, or
// NotWritten with the reason a real one would give), with no backup folder.
WriteBack writeBackWorkingCopy(SqliteBackend& working, const std::string& tableName,
                               const std::filesystem::path& db,
                               const std::filesystem::path& backupRoot, long long count = -1,
                               bool untestedAccepted = false, bool preview = false);

} // namespace qm::db
