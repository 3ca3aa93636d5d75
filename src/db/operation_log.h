#pragma once

// What the import, the replace run and the write-back asked of the two databases, one typed
// operation at a time, for whoever listens: tests follow a run through it and make the disk fail
// before a chosen step. With nobody listening nothing is recorded and nothing is built.

#include "db/sqlite_statement.h"

#include <functional>
#include <string>

namespace qm::db {

struct Operation {
    enum class Kind {
        DropCopy,     // an older working copy dropped
        CreateCopy,   // a working copy made; values: the column names
        CopyRecord,   // a record copied in; values: the row, NULL for an empty value
        OpenCopy,     // a snapshot of a working copy opened
        ReplaceValue, // column's rows whose value is exactly values[1] set to values[0]
        ExportCopy,   // a working copy written back; values: its rows' count, the folder, the file
        OpenTable,    // a Paradox table opened for reading
        DropTable     // a Paradox table's files moved aside before the export
    };
    Kind kind;
    std::string table;
    std::string column;
    Params values;
};

using OperationLog = std::function<void(const Operation&)>;

// One listener for the whole process; none by default.
void setOperationLog(OperationLog log);
bool hasOperationLog();
void logOperation(const Operation& operation);

} // namespace qm::db
