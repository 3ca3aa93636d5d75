#pragma once

// The bookkeeping of the working copies, kept in the working database beside them: what the
// import recorded about each copy, the limits of its Paradox fields, the Paradox record each row
// came from (its origin), and the rows and values UPDATEs changed, noted by triggers. The names
// all start with "MSys", which the catalogue lists as system tables.

#include "db/field_rules.h"
#include "db/jet_types.h"
#include "db/sqlite_statement.h"

#include <string>
#include <vector>

namespace qm::db {

// Facts the import records about a working copy, so the write-back can tell a complete copy
// from one that lost records.
struct WorkingCopyStatus {
    bool recorded = false;    // the import wrote its record
    bool created = false;     // CREATE TABLE succeeded
    long long expected = 0;   // records of the Paradox table
    long long inserted = 0;   // INSERTs that succeeded
    long long failed = 0;     // INSERTs (or reads) that failed
    long long rowsNow = 0;    // rows of the working copy when asked
    long long withOrigin = 0; // rows that know their Paradox record
    // Records the import's filter (record_filter.h) kept out: none of their values can change.
    long long leftOut = 0;
    bool complete() const {
        return recorded && created && failed == 0 && leftOut >= 0 &&
               inserted + leftOut == expected && rowsNow == inserted && withOrigin == inserted;
    }
};

// Which of its records a copy has; one made by an older build may lack any of them.
struct Tracking {
    bool rows = false;    // a trigger notes the rows UPDATEs touched
    bool cells = false;   // a trigger per column notes the values UPDATEs changed
    bool origins = false; // triggers drop an origin with its row
};

// The name that means a copy's rowid: the first of rowid, _rowid_ and oid that no column takes,
// since a column of one of those names stands for the column. Empty when all three are taken:
// the rows of such a copy cannot be told apart, and none is made.
std::string rowidName(const std::vector<std::string>& columnNames);
std::string rowidName(const std::vector<JetColumn>& columns);
// Why a table whose fields take all three names is not worked on.
extern const char* const kRowidNamesTaken;

// The side tables of a copy, quoted, by the copy's name.
std::string originsTable(const std::string& table);
std::string changedRowsTable(const std::string& table);
std::string changedCellsTable(const std::string& table);
// The index an equality on a column of the copy uses, quoted.
std::string columnIndexName(const std::string& table, std::size_t column);

class WorkingCopySchema {
  public:
    WorkingCopySchema(sqlite3*& db, StatementCache& statements, bool readOnly)
        : db_(db), statements_(statements), readOnly_(readOnly) {}

    // The tables of the records the import writes, made when missing.
    void ensureSideTables();
    // After the copy's CREATE TABLE: its side tables and triggers made anew, and what an earlier
    // copy of the name left recorded forgotten.
    void createFor(const std::string& table, const std::vector<JetColumn>& columns);
    // After the copy's DROP TABLE: its side tables and records go too.
    void dropFor(const std::string& table);
    // The single-row INSERT of the copy's origins, the origins table made if a copy lacks one.
    std::string ensureOrigins(const std::string& table);
    // rowid: the copy's rowidName(). Triggers an older build made on a copy with a column named
    // rowid meant the column; such a copy counts as tracking nothing.
    Tracking tracking(const std::string& table, const std::string& rowid);

    void recordStatus(const std::string& table, const WorkingCopyStatus& status);
    void recordFieldRules(const std::string& table, const std::vector<FieldRule>& rules);
    // The rules recorded for the copy's columns; empty when none were.
    std::vector<FieldRule> fieldRules(const std::string& table, std::size_t columns);
    // What the import recorded about the copy (recorded false when nothing).
    WorkingCopyStatus recorded(const std::string& table);
    // The rows of the copy as it stands and those that know their origin; the copy must exist.
    void countRows(const std::string& table, const std::string& rowid, bool originsKept,
                   WorkingCopyStatus& status);

  private:
    void exec(const std::string& text);
    bool has(const char* type, const std::string& name, const std::string& ofTable);
    bool triggerUses(const std::string& name, const std::string& text);

    sqlite3*& db_;
    StatementCache& statements_;
    bool readOnly_;
    bool sideTables_ = false;
};

} // namespace qm::db
