#pragma once

// The working database and the Paradox folder as the import, the replace run and the write-back
// talk to them: typed operations on a connection that is open on one of them, each told to the
// operation log (operation_log.h) before it runs. Views of a connection; they own nothing.

#include "db/backend.h"
#include "db/connection.h"
#include "db/field_rules.h"
#include "db/jet_types.h"
#include "db/sqlite_statement.h"
#include "db/working_copy_schema.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm::db {

class ParadoxBackend;
class SqliteBackend;

class WorkingDatabase {
  public:
    // Throws ObjectClosed when the connection is closed, and a clear error when it is open on
    // something else.
    explicit WorkingDatabase(Connection& connection);

    Connection& connection() const { return connection_; }

    // A copy of a Paradox table with these columns (the same checks as CREATE TABLE had).
    void createCopy(const std::string& table, const std::vector<JetColumn>& columns);
    void dropCopy(const std::string& table);
    // The row of the Paradox record at origin (its file offset in the .db), one value per column,
    // each a text or NULL: the row keeps its origin, out of sight of its readers, for the
    // write-back.
    void insertRecordValues(const std::string& table, const Params& values,
                            std::optional<std::uint64_t> origin);
    // The rows of column whose value is exactly oldValue take newValue, unless an earlier
    // replacement changed their value (SqliteBackend::replaceValue).
    void replaceValue(const std::string& table, const std::string& column,
                      const std::string& newValue, const std::string& oldValue);
    // Every row of the copy in record order, as a snapshot.
    std::unique_ptr<Cursor> openCopy(const std::string& table);
    // The copy written back as targetFile ("T.db") in targetFolder, its first count rows.
    void exportCopy(const std::string& table, long long count, const std::string& targetFolder,
                    const std::string& targetFile);

    // What the import records about a copy and what the write-back reads back.
    void recordFieldRules(const std::string& table, const std::vector<FieldRule>& rules);
    void recordStatus(const std::string& table, const WorkingCopyStatus& status);
    WorkingCopyStatus status(const std::string& table);

  private:
    friend void compactWorkingDatabase();
    SqliteBackend& backend() const;

    Connection& connection_;
};

// Gives the working database's unused space back at the end of a run: a million-record copy
// leaves its pages behind when it is dropped. Best effort: a database another program holds,
// or one that cannot be opened, stays as it is.
void compactWorkingDatabase();

// A folder of Paradox tables reached through a connection opened on it.
class ParadoxFolder {
  public:
    explicit ParadoxFolder(Connection& connection);

    // The table's records in file order, as a snapshot with an exact count.
    std::unique_ptr<Cursor> openTable(const std::string& table);
    // The table's files moved aside by the write-back given to the connection.
    void dropTable(const std::string& table);

  private:
    ParadoxBackend& backend() const;

    Connection& connection_;
};

} // namespace qm::db
