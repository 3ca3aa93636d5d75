#pragma once

// Copying one Paradox table into the working database.

#include "app/current_folder.h"
#include "app/user_interface.h"
#include "db/connection.h"
#include "db/jet_types.h"
#include "db/record_filter.h"
#include "db/working_copy_schema.h"

#include <string>

namespace qm::db {

// Drops an older working copy, creates the table with one column per field and inserts one row
// per record. Every step runs through the procedure's trap:
// a failure is reported and the copy goes on. Each row remembers the Paradox record it came
// from, and the working database records whether the copy is complete (see
// workingCopyStatus), since a copy that lost a record must never be written back. The result
// is that same record, for callers that want it at once.
//
// With a filter, only the records it lets through are inserted (record_filter.h); the others
// are counted as left out, and a record the filter cannot judge, or that cannot be read, goes
// the usual way.
WorkingCopyStatus sendTableToAccess(UserInterface& ui, const CurrentFolder& folder,
                                    const std::string& tableName, RecordFilter* filter = nullptr);

// The column type of the working copy for the provider's data type number: Text, Memo, Long,
// Decimal, OleObject, DateTime, Double (also for single-precision) and Numeric (the working
// database keeps a NUMERIC value as its exact decimal text, so no digit of a BCD value is lost).
JetType columnTypeFor(int adoType);

// What the import recorded about the working copy of tableName, with the row counts as they
// stand now. Opens a connection of its own.
WorkingCopyStatus workingCopyStatus(const std::string& tableName);
WorkingCopyStatus workingCopyStatus(Connection& working, const std::string& tableName);

} // namespace qm::db
