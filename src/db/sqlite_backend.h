#pragma once

// The working database: an SQLite file that answers the Jet dialect the import, the replace run
// and the export speak. Comparisons are exact and case-sensitive.
//
// The backend only dispatches: jet_statements.h reads and checks each statement and translates
// it, jet_types.h holds the column types, working_copy_schema.h the bookkeeping beside each
// copy, snapshot_cursor.h the recordsets, sqlite_statement.h the SQLite plumbing.

#include "db/backend.h"
#include "db/field_rules.h"
#include "db/jet_statements.h"
#include "db/jet_types.h"
#include "db/paradox_write_back.h"
#include "db/pending_origins.h"
#include "db/sqlite_statement.h"
#include "db/working_copy_schema.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qm::db {

class SqliteBackend : public Backend {
  public:
    // Opens an existing file read-write (read-only for mode 1); never creates one. writeBack
    // carries out the Paradox export; without one the statement fails and writes nothing.
    SqliteBackend(const std::filesystem::path& file, int mode, ParadoxWriteBack* writeBack);
    ~SqliteBackend() override;

    void execute(const std::string& sql) override;
    std::unique_ptr<Cursor> query(const std::string& sql) override;
    std::unique_ptr<Cursor> schema() override;
    void beginTrans() override;
    void commitTrans() override;
    void rollbackTrans() override;

    // An INSERT of the Paradox record at origin (its file offset in the .db): the row keeps its
    // origin, out of sight of SELECT *, for the write-back.
    void insertRecord(const std::string& sql, std::optional<std::uint64_t> origin);
    // The row of "INSERT INTO `name` VALUES('...', NULL, ...)" with every value a quoted text
    // (or NULL), given as values rather than as the statement: the same checks, result and
    // errors as insertRecord() with that text, without reading it again.
    void insertTexts(const std::string& name, const Params& values,
                     std::optional<std::uint64_t> origin);
    // An UPDATE computed from a snapshot of its table: it changes only rows whose value in each
    // column it sets is still the one the import gave them. A row an earlier UPDATE changed into
    // the value another record held before is then not changed a second time by that record's
    // UPDATE. A row an earlier UPDATE left as it was stays open to later ones.
    void updateFromSnapshot(const std::string& sql);

    // The typed operations of the import, the replace run and the write-back: the same checks
    // and refusals as their statements had, with no statement text read back.
    //
    // A copy of a Paradox table with these columns; refused when its name is taken, ignoring
    // case, or when its columns take every name of the rowid.
    void createCopy(const std::string& name, const std::vector<JetColumn>& columns);
    // NoSuchTable when there is none.
    void dropCopy(const std::string& name);
    // The rows of column whose value is exactly oldValue take newValue, as updateFromSnapshot
    // changes them: a value an earlier replacement made is not changed again.
    void replaceValue(const std::string& name, const std::string& column,
                      const std::string& newValue, const std::string& oldValue);
    // Every row of the copy in its record order, as a snapshot that later changes do not reach.
    std::unique_ptr<Cursor> openCopy(const std::string& name);
    // The copy written back by the write-back given to this connection.
    void exportCopy(const std::string& name, long long count, const std::string& targetFolder,
                    const std::string& targetFile);

    // Gives the file's unused pages back to the disk; false, nothing changed, when another
    // connection holds the database.
    bool compact();

    const std::filesystem::path& file() const { return file_; }
    // The most memory SQLite may keep for pages read or written, in KiB.
    void setCacheKiB(int kib);
    // The columns of a table as Jet sees them; NoSuchTable when there is none.
    const std::vector<JetColumn>& columns(const std::string& table);

    void recordStatus(const std::string& table, const WorkingCopyStatus& status);
    // The limits of the Paradox table's fields, which UPDATEs of the copy must respect.
    void recordFieldRules(const std::string& table, const std::vector<FieldRule>& rules);
    WorkingCopyStatus status(const std::string& table);

    // A row of a working copy with the Paradox record it came from (its file offset), if known.
    using RowVisitor =
        std::function<void(std::optional<std::uint64_t> origin, const std::vector<Variant>&)>;
    // Every row in insertion order.
    void forEachRow(const std::string& table, const RowVisitor& fn);
    // The rows that an UPDATE changed since the import, as forEachRow gives them; false, and
    // nothing visited, when the copy was made without that record.
    bool forEachChangedRow(const std::string& table, const RowVisitor& fn);
    // Indexes on the table (names), for tests that check an UPDATE does not scan.
    std::string queryPlan(const std::string& sql);

  private:
    struct TableInfo {
        std::string name; // as stored
        std::vector<JetColumn> columns;
        std::string originInsert;     // the origins table's INSERT, once the table is known
        std::string insert;           // INSERT of a whole row, once made
        std::vector<FieldRule> rules; // what the Paradox fields can take back; empty: no limits
        Tracking tracking;
        std::string cellsTable; // its changed cells' table, quoted
        std::string rowid;      // the name meaning the rowid; empty: every such name is a column
    };
    using Tokens = jet::Tokens;

    // The statement's tokens once the checks every statement passes are made.
    Tokens statement(const std::string& sql);
    void exec(const std::string& sql);
    void run(const std::string& sql, const Params& params);
    TableInfo& table(const std::string& name);
    // The name of the table's rowid, for the bookkeeping that needs it; refused without one.
    static const std::string& rowidOf(const TableInfo& info);
    std::string storedName(const std::string& name);
    const std::string& ensureOrigins(TableInfo& info);
    void ensureIndex(const TableInfo& info, std::size_t column);
    void checkWhere(const TableInfo& info, const Tokens& t, std::size_t from);
    void forget(const std::string& name);
    void visitRows(const TableInfo& info, const std::string& rows, const std::string& order,
                   const RowVisitor& fn);

    void dropTable(const Tokens& t);
    void createTable(const Tokens& t);
    void insert(const Tokens& t, std::optional<std::uint64_t> origin);
    void insertRow(TableInfo& info, const Params& row, std::optional<std::uint64_t> origin);
    void update(const Tokens& t, bool spareChanged);
    // The UPDATE made by its rowid when its condition finds at most one row; false, nothing done,
    // when it finds more.
    bool updateOneRow(const std::string& set, const std::string& target, const std::string& rowid,
                      const std::string& condition, const Params& params, std::size_t setParams);
    void exportToParadox(const Tokens& t);
    void generic(const Tokens& t);

    sqlite3* db_ = nullptr;
    std::filesystem::path file_;
    bool readOnly_ = false;
    ParadoxWriteBack* writeBack_;
    StatementCache statements_{db_};
    WorkingCopySchema bookkeeping_{db_, statements_, readOnly_};
    PendingOrigins pendingOrigins_{statements_};
    struct OneRowTexts {
        std::string set, condition; // of the UPDATE they were made for
        std::string rows, byRowid;  // its rows found, and one row changed by its rowid
    };
    OneRowTexts oneRowTexts_;
    // The statement texts of replaceValue, by table and column, made once.
    struct ReplaceTexts {
        std::string set, condition, target;
    };
    const ReplaceTexts& replaceTexts(const TableInfo& info, const std::string& name,
                                     std::size_t column);
    void keepDeletedBytes();
    std::map<std::string, ReplaceTexts> replaceTexts_;
    bool deletedBytesKept_ = false;           // secure_delete off on this connection
    std::map<std::string, TableInfo> tables_; // by upper-cased name
    std::set<std::string> indexed_;
    TableInfo* lastInsert_ = nullptr; // the table insertTexts last wrote to, while it is known
    std::string lastInsertName_;
};

} // namespace qm::db
