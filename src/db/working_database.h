#pragma once

// The working database as the import, the replace run and the write-back talk to it: statements
// go through its connection as text and are logged as they stand, and what a text cannot say
// (the Paradox record a row came from, an UPDATE computed from a snapshot) travels beside it as
// an argument. A view of a connection that is open on the working database; it owns nothing.

#include "db/connection.h"
#include "db/field_rules.h"
#include "db/sqlite_statement.h"
#include "db/working_copy_schema.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm::db {

class SqliteBackend;

class WorkingDatabase {
  public:
    // Throws ObjectClosed when the connection is closed, and a clear error when it is open on
    // something else.
    explicit WorkingDatabase(Connection& connection);

    Connection& connection() const { return connection_; }

    // An INSERT of the Paradox record at origin (its file offset in the .db): the row keeps its
    // origin, out of sight of SELECT *, for the write-back.
    void insertRecord(const std::string& sql, std::optional<std::uint64_t> origin);
    // The row of "INSERT INTO `table` VALUES('...', NULL, ...)" given as its values, every one a
    // text or NULL; not logged (the caller logs the text when someone listens).
    void insertRecordValues(const std::string& table, const Params& values,
                            std::optional<std::uint64_t> origin);
    // An UPDATE computed from a snapshot of its table: it changes only rows whose value in each
    // column it sets is still the one the import gave them (SqliteBackend::updateFromSnapshot).
    void updateFromSnapshot(const std::string& sql);

    // What the import records about a copy and what the write-back reads back.
    void recordFieldRules(const std::string& table, const std::vector<FieldRule>& rules);
    void recordStatus(const std::string& table, const WorkingCopyStatus& status);
    WorkingCopyStatus status(const std::string& table);

  private:
    SqliteBackend& backend() const;

    Connection& connection_;
};

} // namespace qm::db
