#pragma once

// A working copy compared with the records its rows came from, and the values that differ
// rewritten in a byte copy of the table (paradox::patchTable) that is swapped in for its files.

#include "db/working_copy_schema.h"
#include "db/write_back_outcome.h"

#include <filesystem>
#include <string>

namespace qm::db {

class SqliteBackend;

// Why a working copy cannot be written back: it is not complete (st.complete() is false).
std::string incompleteCopyReason(const WorkingCopyStatus& st);

// The comparison and the patch alone: the rows of the working copy tableName against the
// records of db they came from. count is the export's TOP (-1: none). A preview writes nothing:
// it reports what the write-back would come to (Written with the values it would change, or
// NotWritten with the reason a real one would give), with no backup folder.
WriteBack writeBackWorkingCopy(SqliteBackend& working, const std::string& tableName,
                               const std::filesystem::path& db,
                               const std::filesystem::path& backupRoot, long long count = -1,
                               bool untestedAccepted = false, bool preview = false);

} // namespace qm::db
