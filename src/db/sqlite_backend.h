#pragma once

// The working database: an SQLite file holding the working copies of Paradox tables, reached
// through the typed operations of the import, the replace run and the write-back. Each carries
// Jet's checks and refusals and runs as prepared statements; no statement text is read back.
// Comparisons are exact and case-sensitive.
//
// jet_types.h holds the column types, value_checks.h the checks on values,
// working_copy_schema.h the bookkeeping beside each copy, snapshot_cursor.h the recordsets,
// sqlite_statement.h the SQLite plumbing; sqlite_copy_operations.cpp the typed operations.

#include "db/backend.h"
#include "db/field_rules.h"
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
    // carries out the Paradox export; without one the export fails and writes nothing.
    SqliteBackend(const std::filesystem::path& file, int mode, ParadoxWriteBack* writeBack);
    ~SqliteBackend() override;

    std::unique_ptr<Cursor> schema() override;
    void beginTrans() override;
    void commitTrans() override;
    void rollbackTrans() override;

    // The row of the Paradox record at origin (its file offset in the .db), one value per
    // column, each a text or NULL and checked as Jet converts it: the row keeps its origin, out
    // of sight of its readers, for the write-back.
    void insertTexts(const std::string& name, const Params& values,
                     std::optional<std::uint64_t> origin);

    // The other typed operations of the import, the replace run and the write-back.
    //
    // A copy of a Paradox table with these columns; refused when its name is taken, ignoring
    // case, or when its columns take every name of the rowid.
    void createCopy(const std::string& name, const std::vector<JetColumn>& columns);
    // NoSuchTable when there is none.
    void dropCopy(const std::string& name);
    // The rows of column whose value is exactly oldValue take newValue. Each replacement was
    // computed from the value the import gave its rows: a row an earlier replacement changed
    // into oldValue is not changed a second time, and one an earlier replacement left as it
    // was stays open to later ones.
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
    // The limits of the Paradox table's fields, which replacements in the copy must respect.
    void recordFieldRules(const std::string& table, const std::vector<FieldRule>& rules);
    WorkingCopyStatus status(const std::string& table);

    // A row of a working copy with the Paradox record it came from (its file offset), if known.
    using RowVisitor =
        std::function<void(std::optional<std::uint64_t> origin, const std::vector<Variant>&)>;
    // Every row in insertion order.
    void forEachRow(const std::string& table, const RowVisitor& fn);
    // The rows that a replacement changed since the import, as forEachRow gives them; false, and
    // nothing visited, when the copy was made without that record.
    bool forEachChangedRow(const std::string& table, const RowVisitor& fn);

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
    // Refused on a connection opened read-only.
    void writable() const;
    void exec(const std::string& sql);
    void run(const std::string& sql, const Params& params);
    TableInfo& table(const std::string& name);
    // The name of the table's rowid, for the bookkeeping that needs it; refused without one.
    static const std::string& rowidOf(const TableInfo& info);
    std::string storedName(const std::string& name);
    const std::string& ensureOrigins(TableInfo& info);
    void ensureIndex(const TableInfo& info, std::size_t column);
    void forget(const std::string& name);
    void visitRows(const TableInfo& info, const std::string& rows, const std::string& order,
                   const RowVisitor& fn);

    void insertRow(TableInfo& info, const Params& row, std::optional<std::uint64_t> origin);
    // The UPDATE made by its rowid when its condition finds at most one row; false, nothing done,
    // when it finds more.
    bool updateOneRow(const std::string& set, const std::string& target, const std::string& rowid,
                      const std::string& condition, const Params& params, std::size_t setParams);

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
    std::string secureDeleteBefore_;          // and what it was before
    bool cacheChanged_ = false;               // setCacheKiB was called
    int flags_ = 0;                           // of sqlite3_open_v2
    std::map<std::string, TableInfo> tables_; // by upper-cased name
    std::set<std::string> indexed_;
    TableInfo* lastInsert_ = nullptr; // the table insertTexts last wrote to, while it is known
    std::string lastInsertName_;
};

} // namespace qm::db
