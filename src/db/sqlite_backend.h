#pragma once

// The working database: an SQLite file that answers the Jet dialect the import, the replace run
// and the export speak.
//
// Every column is stored with text affinity whatever its declared type, so a value comes back
// exactly as it went in ('007' stays '007'); the Jet type lives on in the declared type
// ("TEXT_JETLONG" and so on) and drives the checks Jet makes: a number or date column compared
// with a quoted text is a type mismatch, a text longer than its column is refused, a value its
// column cannot hold is refused. Comparisons are exact and case-sensitive.

#include "db/backend.h"
#include "db/field_rules.h"
#include "db/sql_dialect.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace qm::db {

enum class JetType {
    Text,
    Memo,
    Long,
    Short,
    Byte,
    Decimal,
    Numeric,
    Double,
    Single,
    Currency,
    DateTime,
    Bit,
    OleObject,
    Binary
};

struct JetColumn {
    std::string name;
    JetType type = JetType::Text;
    int size = 255; // Text: characters
};

// Facts the import records about a working copy, so the write-back can tell a complete copy
// from one that lost records.
struct WorkingCopyStatus {
    bool recorded = false;    // the import wrote its record
    bool created = false;     // CREATE TABLE succeeded
    long long expected = 0;   // records of the Paradox table
    long long inserted = 0;   // INSERTs that succeeded
    long long failed = 0;     // INSERTs (or reads) that failed
    long long rowsNow = 0;    // rows of the working copy when asked
    long long withSource = 0; // rows that know their Paradox record
    bool complete() const {
        return recorded && created && failed == 0 && inserted == expected && rowsNow == expected &&
               withSource == expected;
    }
};

class SqliteBackend : public Backend {
  public:
    // Opens an existing file read-write (read-only for mode 1); never creates one.
    SqliteBackend(const std::filesystem::path& file, int mode);
    ~SqliteBackend() override;

    void execute(const std::string& sql) override;
    std::unique_ptr<Cursor> query(const std::string& sql) override;
    std::unique_ptr<Cursor> schema() override;
    void beginTrans() override;
    void commitTrans() override;
    void rollbackTrans() override;
    void setNextRowSource(std::uint64_t offset) override { nextSource_ = offset; }
    void spareChangedValuesInNextUpdate() override { spareChanged_ = true; }

    // The row of "INSERT INTO `name` VALUES('...', NULL, ...)" with every value a quoted text
    // (or NULL), given as values rather than as the statement: the same checks, result and
    // errors as execute() with that text, without reading it again.
    void insertTexts(const std::string& name,
                     const std::vector<std::optional<std::string>>& values);

    const std::filesystem::path& file() const { return file_; }
    // The most memory SQLite may keep for pages read or written, in KiB.
    void setCacheKiB(int kib);
    // The columns of a table as Jet sees them; NoSuchTable when there is none.
    const std::vector<JetColumn>& columns(const std::string& table);

    void recordStatus(const std::string& table, const WorkingCopyStatus& status);
    // The limits of the Paradox table's fields, which UPDATEs of the copy must respect.
    void recordFieldRules(const std::string& table, const std::vector<FieldRule>& rules);
    WorkingCopyStatus status(const std::string& table);
    // Every row in insertion order with the Paradox record it came from (if known).
    void forEachRow(
        const std::string& table,
        const std::function<void(std::optional<std::uint64_t>, const std::vector<Variant>&)>& fn);
    // The rows that an UPDATE changed since the import, as forEachRow gives them; false, and
    // nothing visited, when the copy was made without that record.
    bool forEachChangedRow(
        const std::string& table,
        const std::function<void(std::optional<std::uint64_t>, const std::vector<Variant>&)>& fn);
    // Indexes on the table (names), for tests that check an UPDATE does not scan.
    std::string queryPlan(const std::string& sql);

  private:
    struct TableInfo {
        std::string name; // as stored
        std::vector<JetColumn> columns;
        std::string sourceInsert;     // the side table's INSERT, once the side table is known
        std::string insert;           // INSERT of a whole row, once made
        std::vector<FieldRule> rules; // what the Paradox fields can take back; empty: no limits
        bool rowsTracked = false;     // a trigger notes the rows UPDATEs touched
        bool cellsTracked = false;    // a trigger per column notes the values UPDATEs changed
        bool originsKept = false;     // triggers drop an origin with its row
    };
    // Whether the schema holds an object of this type and name (on ofTable, unless empty).
    bool schemaHas(const char* type, const std::string& name, const std::string& ofTable);
    sqlite3_stmt* prepare(const std::string& sql);
    // Rows as forEachRow gives them: rows names the rows as t, order sorts them.
    void visitRows(
        const TableInfo& info, const std::string& rows, const std::string& order,
        const std::function<void(std::optional<std::uint64_t>, const std::vector<Variant>&)>& fn);
    void run(const std::string& sql, const std::vector<std::optional<std::string>>& params);
    void exec(const std::string& sql);
    void ensureSideTables();
    void ensureIndex(const std::string& table, std::size_t column);
    TableInfo& table(const std::string& name);
    const std::string& ensureRowSource(TableInfo& info);
    void forget(const std::string& name);

    using Tokens = std::vector<sql::Token>;
    void dropTable(const Tokens& t);
    void createTable(const Tokens& t);
    void insert(const Tokens& t);
    void insertRow(TableInfo& info, const std::vector<std::optional<std::string>>& row,
                   std::optional<std::uint64_t> source);
    // Writes the row origins still waiting (rowid, .db offset) into the side table.
    void flushSources();
    void update(const Tokens& t);
    void exportToParadox(const Tokens& t);
    void generic(const Tokens& t);
    // Jet's checks on a comparison in a WHERE clause; creates the index an equality needs.
    void checkWhere(const TableInfo& info, const Tokens& t, std::size_t from);
    void checkValue(const JetColumn& column, const std::optional<std::string>& value, bool isText);
    std::string translate(const Tokens& t, std::size_t from, std::size_t to,
                          std::vector<std::optional<std::string>>& params);

    sqlite3* db_ = nullptr;
    std::filesystem::path file_;
    bool readOnly_ = false;
    std::map<std::string, sqlite3_stmt*> statements_;
    std::map<std::string, TableInfo> tables_; // by upper-cased name
    std::set<std::string> indexed_;
    bool sideTables_ = false;
    std::optional<std::uint64_t> nextSource_;
    bool spareChanged_ = false;
    std::vector<std::pair<std::int64_t, std::int64_t>> pendingSources_;
    std::string pendingInsert_; // the side table's single-row INSERT they go to
    std::string pendingTable_;
    TableInfo* lastInsert_ = nullptr; // the table insertTexts last wrote to, while it is known
    std::string lastInsertName_;
};

// The declared SQLite type that stands for a Jet type, and back.
std::string declaredType(JetType type, int size);
std::optional<JetColumn> columnFromDeclared(const std::string& name, const std::string& declared);
// The provider's data type number of a Jet column, as a recordset reports it.
int adoType(JetType type);

} // namespace qm::db
