#include "db/sqlite_backend.h"

#include "app/error.h"
#include "db/hooks.h"

#include <sqlite3.h>

#include <algorithm>

namespace qm::db {

namespace {

using sql::Kind;
using sql::Token;

constexpr const char* kRowSourcePrefix = "MSysQmRowSource_";
constexpr const char* kChangedRowsPrefix = "MSysQmChanged_";
constexpr const char* kChangedRowsTriggerPrefix = "MSysQmOnUpdate_";
constexpr const char* kOriginOnDeletePrefix = "MSysQmOriginOnDelete_";
constexpr const char* kOriginOnMovePrefix = "MSysQmOriginOnMove_";
constexpr const char* kChangedCellsPrefix = "MSysQmChangedCells_";
constexpr const char* kCellTriggerPrefix = "MSysQmOnSet_";
constexpr const char* kCopyStatus = "MSysQmWorkingCopy";
constexpr const char* kFieldRules = "MSysQmFieldRules";
constexpr std::size_t kStatementCacheLimit = 64;
constexpr std::size_t kSourceBatch = 100;

std::string quoteName(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

// Each working copy has a side table, keyed by the copy's rowid, holding the .db file offset of
// the record the row came from. A plain rowid table takes the appends of an import at next to
// no cost; SELECT * never sees it.
std::string rowSourceTable(const std::string& table) {
    return quoteName(kRowSourcePrefix + sql::upper(table));
}

// The rowids of the rows an UPDATE touched since the import, kept by a trigger on the copy: the
// write-back then looks at those rows only, and a row no statement changed is never compared
// with its record, let alone written back.
std::string changedRowsTable(const std::string& table) {
    return quoteName(kChangedRowsPrefix + sql::upper(table));
}
std::string changedRowsTrigger(const std::string& table) {
    return quoteName(kChangedRowsTriggerPrefix + sql::upper(table));
}
// The (rowid, column) pairs whose value an UPDATE changed since the import, one trigger per
// column: an UPDATE computed from the snapshot leaves those alone (spareChangedValuesInNextUpdate).
std::string changedCellsTable(const std::string& table) {
    return quoteName(kChangedCellsPrefix + sql::upper(table));
}
std::string cellTrigger(const std::string& table, std::size_t column) {
    return quoteName(kCellTriggerPrefix + sql::upper(table) + "_" + std::to_string(column));
}

// A row that leaves the copy, or takes another rowid, loses its origin with it. The origins are
// then always origins of rows that exist, and counting them says how many rows know their record
// without looking each one up.
std::string originOnDeleteTrigger(const std::string& table) {
    return quoteName(kOriginOnDeletePrefix + sql::upper(table));
}
std::string originOnMoveTrigger(const std::string& table) {
    return quoteName(kOriginOnMovePrefix + sql::upper(table));
}

// Codes of the database file and the disk rather than of the statement: the statement was fine,
// the working database could not do it.
bool isStorageFailure(int primary) {
    switch (primary) {
    case SQLITE_PERM:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_NOLFS:
    case SQLITE_NOTADB:
        return true;
    default:
        return false;
    }
}

long codeFor(int rc, const std::string& message) {
    const int primary = rc & 0xFF;
    if (isStorageFailure(primary))
        return code::Storage;
    if (message.find("no such table") != std::string::npos)
        return code::NoSuchTable;
    if (primary == SQLITE_ERROR && (message.find("syntax error") != std::string::npos ||
                                    message.find("incomplete input") != std::string::npos ||
                                    message.find("no such column") != std::string::npos ||
                                    message.find("unrecognized token") != std::string::npos ||
                                    message.find("already exists") != std::string::npos))
        return code::Malformed;
    if (primary == SQLITE_TOOBIG)
        return code::TooLong;
    if (primary == SQLITE_MISMATCH)
        return code::TypeMismatch;
    return code::Unspecified;
}

// The failure as the caller sees it; a storage failure names the file, since "disk I/O error"
// alone does not say which disk.
Error failure(sqlite3* db, int rc) {
    const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const long c = codeFor(rc, message);
    if (c != code::Storage)
        return Error(c, message);
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    return Error(c, file && *file ? message + " (working database " + file + ")" : message);
}

[[noreturn]] void fail(sqlite3* db, int rc) {
    throw failure(db, rc);
}

[[noreturn]] void mismatch() {
    throw Error(code::TypeMismatch, "Data type mismatch in criteria expression.");
}

[[noreturn]] void malformed(const std::string& what) {
    throw Error(code::Malformed, what);
}

bool isNumericType(JetType t) {
    switch (t) {
    case JetType::Long:
    case JetType::Short:
    case JetType::Byte:
    case JetType::Decimal:
    case JetType::Numeric:
    case JetType::Double:
    case JetType::Single:
    case JetType::Currency:
    case JetType::Bit:
        return true;
    default:
        return false;
    }
}

bool isComparedAsText(JetType t) {
    return t == JetType::Text || t == JetType::Memo;
}

struct TypeName {
    const char* jet;
    JetType type;
};
// Jet's names (and synonyms) for column types in CREATE TABLE.
constexpr TypeName kTypeNames[] = {
    {"TEXT", JetType::Text},
    {"VARCHAR", JetType::Text},
    {"CHAR", JetType::Text},
    {"CHARACTER", JetType::Text},
    {"STRING", JetType::Text},
    {"ALPHANUMERIC", JetType::Text},
    {"MEMO", JetType::Memo},
    {"LONGTEXT", JetType::Memo},
    {"LONGCHAR", JetType::Memo},
    {"NOTE", JetType::Memo},
    {"INT", JetType::Long},
    {"INTEGER", JetType::Long},
    {"LONG", JetType::Long},
    {"INTEGER4", JetType::Long},
    {"SHORT", JetType::Short},
    {"SMALLINT", JetType::Short},
    {"INTEGER2", JetType::Short},
    {"BYTE", JetType::Byte},
    {"TINYINT", JetType::Byte},
    {"DECIMAL", JetType::Decimal},
    {"DEC", JetType::Decimal},
    {"NUMERIC", JetType::Numeric},
    {"FLOAT", JetType::Double},
    {"DOUBLE", JetType::Double},
    {"FLOAT8", JetType::Double},
    {"NUMBER", JetType::Double},
    {"REAL", JetType::Single},
    {"SINGLE", JetType::Single},
    {"FLOAT4", JetType::Single},
    {"CURRENCY", JetType::Currency},
    {"MONEY", JetType::Currency},
    {"DATETIME", JetType::DateTime},
    {"DATE", JetType::DateTime},
    {"TIME", JetType::DateTime},
    {"TIMESTAMP", JetType::DateTime},
    {"BIT", JetType::Bit},
    {"YESNO", JetType::Bit},
    {"LOGICAL", JetType::Bit},
    {"OLEOBJECT", JetType::OleObject},
    {"LONGBINARY", JetType::OleObject},
    {"GENERAL", JetType::OleObject},
    {"IMAGE", JetType::OleObject},
    {"BINARY", JetType::Binary},
    {"VARBINARY", JetType::Binary},
};

// Declared-type words that keep text affinity (they hold "TEXT" and no "INT").
constexpr const char* kDeclared[] = {"TEXT_JETTEXT",      "TEXT_JETMEMO",     "TEXT_JETLONG",
                                     "TEXT_JETSHORT",     "TEXT_JETBYTE",     "TEXT_JETDECIMAL",
                                     "TEXT_JETNUMERIC",   "TEXT_JETDOUBLE",   "TEXT_JETSINGLE",
                                     "TEXT_JETCURRENCY",  "TEXT_JETDATETIME", "TEXT_JETBIT",
                                     "TEXT_JETOLEOBJECT", "TEXT_JETBINARY"};

std::string statusText(const Token& t) {
    return t.kind == Kind::Text ? "'" + t.text + "'" : t.text;
}

// Reads the working database through a connection of its own inside one read transaction, so
// the rows stay as they were when it opened while the caller's connection updates the table.
class SqliteCursor : public Cursor {
  public:
    // countable: the query without an order of its rows, which a count does not need; SQLite
    // counts that one from the table's pages without decoding each row.
    SqliteCursor(const std::filesystem::path& file, const std::string& translated,
                 const std::string& countable,
                 const std::vector<std::optional<std::string>>& params, std::vector<int> types)
        : types_(std::move(types)) {
        // Read by one thread, like the backend's own connection.
        int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK)
            failHere(rc);
        sqlite3_busy_timeout(db_, 5000);
        exec("BEGIN");
        // The count runs inside the same read transaction as the rows, so it is exact.
        sqlite3_stmt* count = nullptr;
        const std::string countSql = "SELECT COUNT(*) FROM (" + countable + ")";
        rc = sqlite3_prepare_v2(db_, countSql.c_str(), -1, &count, nullptr);
        if (rc != SQLITE_OK)
            failHere(rc);
        bind(count, params);
        rc = sqlite3_step(count);
        if (rc != SQLITE_ROW) {
            sqlite3_finalize(count);
            failHere(rc);
        }
        count_ = sqlite3_column_int64(count, 0);
        sqlite3_finalize(count);
        rc = sqlite3_prepare_v2(db_, translated.c_str(), -1, &stmt_, nullptr);
        if (rc != SQLITE_OK)
            failHere(rc);
        bind(stmt_, params);
        columns_ = sqlite3_column_count(stmt_);
        for (int i = 0; i < columns_; ++i)
            names_.emplace_back(sqlite3_column_name(stmt_, i));
        if (static_cast<int>(types_.size()) != columns_) {
            types_.clear();
            for (int i = 0; i < columns_; ++i) {
                const char* decl = sqlite3_column_decltype(stmt_, i);
                auto col =
                    columnFromDeclared(names_[static_cast<std::size_t>(i)], decl ? decl : "");
                types_.push_back(col ? adoType(col->type) : 202);
            }
        }
        step();
    }
    ~SqliteCursor() override {
        sqlite3_finalize(stmt_);
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
    }
    bool eof() const override { return eof_; }
    void moveNext() override {
        if (eof_)
            throw Error(code::Unspecified,
                        "Either BOF or EOF is True, or the current record has been deleted.");
        step();
    }
    long recordCount() const override { return static_cast<long>(count_); }
    int fieldCount() const override { return columns_; }
    void text(int i, std::string& out) const override {
        check(i);
        // A run reads every value of every row: text is copied once, straight from the row.
        switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_NULL:
            out.clear();
            return;
        case SQLITE_TEXT: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
            out.assign(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)));
            return;
        }
        default:
            Cursor::text(i, out);
        }
    }
    std::string fieldName(int i) const override { return names_.at(static_cast<std::size_t>(i)); }
    int fieldType(int i) const override { return types_.at(static_cast<std::size_t>(i)); }
    Variant value(int i) const override {
        check(i);
        switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_NULL:
            return Variant::null();
        case SQLITE_INTEGER:
            return Variant(static_cast<std::int64_t>(sqlite3_column_int64(stmt_, i)));
        case SQLITE_FLOAT:
            return Variant(sqlite3_column_double(stmt_, i));
        default: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
            return Variant(
                std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i))));
        }
        }
    }

  private:
    void check(int i) const {
        if (eof_)
            throw Error(code::Unspecified,
                        "Either BOF or EOF is True, or the current record has been deleted.");
        if (i < 0 || i >= columns_)
            throw Error(code::Unspecified,
                        "Item cannot be found in the collection corresponding to the requested "
                        "name or ordinal.");
    }
    static void bind(sqlite3_stmt* s, const std::vector<std::optional<std::string>>& params) {
        for (std::size_t k = 0; k < params.size(); ++k) {
            const int at = static_cast<int>(k) + 1;
            if (params[k])
                sqlite3_bind_text(s, at, params[k]->data(), static_cast<int>(params[k]->size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(s, at);
        }
    }
    void step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            eof_ = false;
        else if (rc == SQLITE_DONE)
            eof_ = true;
        else
            failHere(rc);
    }
    void exec(const char* s) {
        const int rc = sqlite3_exec(db_, s, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            failHere(rc);
    }
    [[noreturn]] void failHere(int rc) {
        const Error e = failure(db_, rc);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        sqlite3_close(db_);
        db_ = nullptr;
        throw e;
    }

    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    long long count_ = 0;
    int columns_ = 0;
    std::vector<std::string> names_;
    std::vector<int> types_;
    bool eof_ = true;
};

} // namespace

std::string declaredType(JetType type, int size) {
    std::string d = kDeclared[static_cast<int>(type)];
    if (type == JetType::Text)
        d += "(" + std::to_string(size) + ")";
    return d;
}

std::optional<JetColumn> columnFromDeclared(const std::string& name, const std::string& declared) {
    const std::string up = sql::upper(declared);
    const std::string base = up.substr(0, up.find('('));
    for (int i = 0; i < static_cast<int>(std::size(kDeclared)); ++i) {
        if (base == kDeclared[i]) {
            JetColumn c{name, static_cast<JetType>(i), 255};
            const auto open = up.find('(');
            if (open != std::string::npos)
                c.size = std::atoi(up.c_str() + open + 1);
            return c;
        }
    }
    return std::nullopt;
}

int adoType(JetType type) {
    switch (type) {
    case JetType::Text:
        return 202; // adVarWChar
    case JetType::Memo:
        return 203; // adLongVarWChar
    case JetType::Long:
        return 3;
    case JetType::Short:
        return 2;
    case JetType::Byte:
        return 17;
    case JetType::Decimal:
    case JetType::Numeric:
        return 131;
    case JetType::Double:
        return 5;
    case JetType::Single:
        return 4;
    case JetType::Currency:
        return 6;
    case JetType::DateTime:
        return 7;
    case JetType::Bit:
        return 11;
    case JetType::OleObject:
        return 205;
    case JetType::Binary:
        return 204;
    }
    return 202;
}

SqliteBackend::SqliteBackend(const std::filesystem::path& file, int mode)
    : file_(file), readOnly_(mode == 1) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw Error(code::Storage,
                    "Could not find file '" + file.string() +
                        "'. The working database is installed with the program and is never "
                        "created by it.");
    // A connection is used by one thread at a time; SQLite's own locking only costs time on
    // the million statements of an import.
    const int flags =
        (readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw Error(code::Storage,
                    "Cannot open the working database '" + file.string() + "': " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
    // Only an empty database (the one the program ships) takes a page size; larger pages than
    // the default halve the per-page work of a million-row import, its index and its drop.
    if (!readOnly_)
        sqlite3_exec(db_, "PRAGMA page_size=16384", nullptr, nullptr, nullptr);
    // Write-ahead logging lets the snapshot of a recordset (a reader of its own) stay as it was
    // while this connection updates the table, and it proves the file is a database.
    const int wal =
        sqlite3_exec(db_, readOnly_ ? "PRAGMA schema_version" : "PRAGMA journal_mode=WAL", nullptr,
                     nullptr, nullptr);
    if (wal != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw Error(code::Storage,
                    "Cannot open the working database '" + file.string() + "': " + message);
    }
    // The working database is scratch: every import builds its copy again, and a copy is only
    // written back when its recorded counts agree with its rows. Waiting for the disk on each
    // checkpoint (a million-record import writes its pages twice, to the log and to the file)
    // buys nothing the next import would not rebuild anyway.
    sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "PRAGMA cache_size=-65536", nullptr, nullptr, nullptr);
    // Rows that REPLACE removes fire their delete triggers too, so they lose their origins.
    sqlite3_exec(db_, "PRAGMA recursive_triggers=ON", nullptr, nullptr, nullptr);
}

void SqliteBackend::setCacheKiB(int kib) {
    exec("PRAGMA cache_size=-" + std::to_string(kib));
}

SqliteBackend::~SqliteBackend() {
    for (auto& [sql, stmt] : statements_)
        sqlite3_finalize(stmt);
    if (db_) {
        if (!sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
    }
}

sqlite3_stmt* SqliteBackend::prepare(const std::string& text) {
    auto it = statements_.find(text);
    if (it != statements_.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    if (statements_.size() >= kStatementCacheLimit) {
        for (auto& [s, stmt] : statements_)
            sqlite3_finalize(stmt);
        statements_.clear();
    }
    sqlite3_stmt* stmt = nullptr;
    const int rc =
        sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &stmt, nullptr);
    if (rc != SQLITE_OK)
        fail(db_, rc);
    statements_.emplace(text, stmt);
    return stmt;
}

void SqliteBackend::run(const std::string& text,
                        const std::vector<std::optional<std::string>>& params) {
    sqlite3_stmt* stmt = prepare(text);
    for (std::size_t k = 0; k < params.size(); ++k) {
        const int at = static_cast<int>(k) + 1;
        if (params[k])
            sqlite3_bind_text(stmt, at, params[k]->data(), static_cast<int>(params[k]->size()),
                              SQLITE_STATIC);
        else
            sqlite3_bind_null(stmt, at);
    }
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (rc != SQLITE_DONE)
        fail(db_, rc);
}

void SqliteBackend::exec(const std::string& text) {
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        fail(db_, rc);
}

void SqliteBackend::ensureSideTables() {
    if (sideTables_ || readOnly_)
        return;
    exec(std::string("CREATE TABLE IF NOT EXISTS ") + kCopyStatus +
         "(tbl TEXT PRIMARY KEY, created INTEGER, expected INTEGER, inserted INTEGER, "
         "failed INTEGER)");
    exec(std::string("CREATE TABLE IF NOT EXISTS ") + kFieldRules +
         "(tbl TEXT NOT NULL, col INTEGER NOT NULL, kind INTEGER, size INTEGER, codepage "
         "INTEGER, reason TEXT, PRIMARY KEY(tbl, col))");
    sideTables_ = true;
}

const std::string& SqliteBackend::ensureRowSource(TableInfo& info) {
    if (info.sourceInsert.empty()) {
        exec("CREATE TABLE IF NOT EXISTS " + rowSourceTable(info.name) +
             "(rid INTEGER PRIMARY KEY, offset INTEGER NOT NULL)");
        info.sourceInsert = "INSERT INTO " + rowSourceTable(info.name) + " VALUES(?,?)";
    }
    return info.sourceInsert;
}

bool SqliteBackend::schemaHas(const char* type, const std::string& name,
                              const std::string& ofTable) {
    sqlite3_stmt* s =
        prepare(ofTable.empty() ? "SELECT 1 FROM sqlite_master WHERE type = ? AND name = ?"
                                : "SELECT 1 FROM sqlite_master WHERE type = ? AND name = ? AND "
                                  "tbl_name = ?");
    sqlite3_bind_text(s, 1, type, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (!ofTable.empty())
        sqlite3_bind_text(s, 3, ofTable.data(), static_cast<int>(ofTable.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        fail(db_, rc);
    return rc == SQLITE_ROW;
}

SqliteBackend::TableInfo& SqliteBackend::table(const std::string& name) {
    const std::string key = sql::upper(name);
    auto it = tables_.find(key);
    if (it != tables_.end())
        return it->second;
    sqlite3_stmt* stmt = nullptr;
    const std::string q = "SELECT name, type FROM pragma_table_info(?)";
    int rc = sqlite3_prepare_v2(db_, q.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK)
        fail(db_, rc);
    sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    TableInfo info;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const std::string col = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        const auto* decl = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        auto c = columnFromDeclared(col, decl ? decl : "");
        info.columns.push_back(c ? *c : JetColumn{col, JetType::Memo, 0});
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        fail(db_, rc);
    if (info.columns.empty())
        throw Error(code::NoSuchTable, "The Microsoft Jet database engine cannot find the input "
                                       "table or query '" +
                                           name +
                                           "'. Make sure it exists and that its name is "
                                           "spelled correctly.");
    // The stored spelling of the name, for side tables keyed by it.
    rc = sqlite3_prepare_v2(db_,
                            "SELECT name FROM sqlite_master WHERE type='table' AND name=? "
                            "COLLATE NOCASE",
                            -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) == SQLITE_ROW)
            info.name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
    }
    if (info.name.empty())
        info.name = name;
    ensureSideTables();
    // A copy made by an older build may lack any of the records its triggers keep.
    info.rowsTracked = schemaHas("table", kChangedRowsPrefix + key, "") &&
                       schemaHas("trigger", kChangedRowsTriggerPrefix + key, info.name);
    info.cellsTracked = schemaHas("table", kChangedCellsPrefix + key, "");
    info.originsKept = schemaHas("trigger", kOriginOnDeletePrefix + key, info.name) &&
                       schemaHas("trigger", kOriginOnMovePrefix + key, info.name);
    if (readOnly_)
        return tables_.emplace(key, std::move(info)).first->second;
    sqlite3_stmt* r = prepare(std::string("SELECT col, kind, size, codepage, reason FROM ") +
                              kFieldRules + " WHERE tbl = ? ORDER BY col");
    sqlite3_bind_text(r, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(r) == SQLITE_ROW) {
        const auto col = static_cast<std::size_t>(sqlite3_column_int64(r, 0));
        if (col >= info.columns.size())
            continue;
        info.rules.resize(info.columns.size());
        FieldRule& rule = info.rules[col];
        rule.kind = static_cast<FieldRule::Kind>(sqlite3_column_int(r, 1));
        rule.size = sqlite3_column_int(r, 2);
        rule.codePage = static_cast<std::uint16_t>(sqlite3_column_int(r, 3));
        const auto* reason = reinterpret_cast<const char*>(sqlite3_column_text(r, 4));
        rule.reason = reason ? reason : "";
    }
    sqlite3_reset(r);
    return tables_.emplace(key, std::move(info)).first->second;
}

void SqliteBackend::forget(const std::string& name) {
    tables_.erase(sql::upper(name));
    lastInsert_ = nullptr;
    for (auto& [s, stmt] : statements_)
        sqlite3_finalize(stmt);
    statements_.clear();
    indexed_.clear();
}

const std::vector<JetColumn>& SqliteBackend::columns(const std::string& name) {
    return table(name).columns;
}

void SqliteBackend::ensureIndex(const std::string& name, std::size_t column) {
    const TableInfo& info = table(name);
    const std::string key = sql::upper(info.name) + '\x1f' + std::to_string(column);
    if (indexed_.count(key))
        return;
    // Built on the first equality on the column, so columns that no UPDATE names cost nothing,
    // and every later UPDATE on it finds its rows through the index.
    exec("CREATE INDEX IF NOT EXISTS " +
         quoteName("MSysQmIx_" + sql::upper(info.name) + "_" + std::to_string(column)) + " ON " +
         quoteName(info.name) + "(" + quoteName(info.columns[column].name) + ")");
    indexed_.insert(key);
}

void SqliteBackend::checkValue(const JetColumn& column, const std::optional<std::string>& value,
                               bool isText) {
    if (!value)
        return;
    if (isNumericType(column.type)) {
        if (column.type == JetType::Bit && isText && (*value == "True" || *value == "False"))
            return;
        if (!sql::looksNumeric(*value))
            mismatch();
    } else if (column.type == JetType::DateTime) {
        if (!sql::looksLikeDateTime(*value))
            mismatch();
    } else if (column.type == JetType::Text) {
        if (static_cast<int>(sql::characterCount(*value)) > column.size)
            throw Error(code::TooLong, "The field is too small to accept the amount of data you "
                                       "attempted to add. Try inserting or pasting less data.");
    }
}

std::string SqliteBackend::translate(const Tokens& t, std::size_t from, std::size_t to,
                                     std::vector<std::optional<std::string>>& params) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        if (!out.empty())
            out += ' ';
        const Token& k = t[i];
        switch (k.kind) {
        case Kind::Name:
            out += quoteName(k.text);
            break;
        case Kind::Text:
            out += '?';
            params.emplace_back(k.text);
            break;
        case Kind::Word:
            // Jet's & joins texts.
            out += k.text;
            break;
        case Kind::Number:
            out += k.text;
            break;
        case Kind::Symbol:
            out += k.text == "&" ? "||" : k.text;
            break;
        }
    }
    return out;
}

void SqliteBackend::checkWhere(const TableInfo& info, const Tokens& t, std::size_t from) {
    auto columnIndex = [&](const Token& k) -> std::optional<std::size_t> {
        if (!k.isName())
            return std::nullopt;
        for (std::size_t c = 0; c < info.columns.size(); ++c)
            if (sql::equalsIgnoreCase(info.columns[c].name, k.text))
                return c;
        return std::nullopt;
    };
    for (std::size_t i = from + 1; i + 1 < t.size(); ++i) {
        const Token& op = t[i];
        const bool comparison = op.isSymbol("=") || op.isSymbol("<>") || op.isSymbol("<") ||
                                op.isSymbol(">") || op.isSymbol("<=") || op.isSymbol(">=") ||
                                op.isSymbol("!=") || op.is("LIKE");
        if (!comparison)
            continue;
        const Token& left = t[i - 1];
        const Token& right = t[i + 1];
        for (auto [col, lit] : {std::pair{&left, &right}, std::pair{&right, &left}}) {
            auto c = columnIndex(*col);
            if (!c || lit->kind != Kind::Text)
                continue;
            const JetType type = info.columns[*c].type;
            if (isNumericType(type) || type == JetType::DateTime)
                mismatch();
            if (op.isSymbol("=") && isComparedAsText(type))
                ensureIndex(info.name, *c);
        }
    }
}

void SqliteBackend::execute(const std::string& text) {
    Tokens t = sql::tokenize(text);
    while (!t.empty() && t.back().isSymbol(";"))
        t.pop_back();
    if (t.empty() || !t[0].is("UPDATE"))
        spareChanged_ = false; // it was meant for an UPDATE only
    if (t.empty())
        malformed("Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or "
                  "'UPDATE'.");
    if (readOnly_ && !t[0].is("SELECT"))
        throw Error(code::Unspecified, "Cannot update. Database or object is read-only.");
    // Another INSERT may join the waiting origins; anything else may read or drop them.
    if (!t[0].is("INSERT"))
        flushSources();
    if (t[0].is("DROP") && t.size() > 1 && t[1].is("TABLE"))
        dropTable(t);
    else if (t[0].is("CREATE") && t.size() > 1 && t[1].is("TABLE"))
        createTable(t);
    else if (t[0].is("INSERT"))
        insert(t);
    else if (t[0].is("UPDATE"))
        update(t);
    else if (t[0].is("SELECT") &&
             std::any_of(t.begin(), t.end(), [](const Token& k) { return k.is("INTO"); }))
        exportToParadox(t);
    else
        generic(t);
}

void SqliteBackend::dropTable(const Tokens& t) {
    if (t.size() != 3 || !t[2].isName())
        malformed("Syntax error in DROP TABLE or DROP INDEX.");
    const TableInfo& info = table(t[2].text);
    const std::string name = info.name;
    exec("DROP TABLE " + quoteName(name));
    forget(name);
    ensureSideTables();
    exec("DROP TABLE IF EXISTS " + rowSourceTable(name));
    exec("DROP TABLE IF EXISTS " + changedRowsTable(name));
    exec("DROP TABLE IF EXISTS " + changedCellsTable(name));
    run(std::string("DELETE FROM ") + kFieldRules + " WHERE tbl = ?", {sql::upper(name)});
    run(std::string("DELETE FROM ") + kCopyStatus + " WHERE tbl = ?", {sql::upper(name)});
}

void SqliteBackend::createTable(const Tokens& t) {
    // CREATE TABLE name ( col type [(n[,m])] {, col type [(n[,m])]} )
    const auto syntax = [] { malformed("Syntax error in CREATE TABLE statement."); };
    if (t.size() < 5 || !t[2].isName() || !t[3].isSymbol("("))
        syntax();
    std::vector<JetColumn> cols;
    std::size_t i = 4;
    for (;;) {
        if (i >= t.size() || !t[i].isName())
            syntax();
        JetColumn c;
        c.name = t[i++].text;
        if (i >= t.size() || t[i].kind != Kind::Word)
            malformed("Syntax error in field definition.");
        const std::string typeName = sql::upper(t[i++].text);
        auto it = std::find_if(std::begin(kTypeNames), std::end(kTypeNames),
                               [&](const TypeName& n) { return typeName == n.jet; });
        if (it == std::end(kTypeNames))
            malformed("Syntax error in field definition.");
        c.type = it->type;
        c.size = 255;
        if (i < t.size() && t[i].isSymbol("(")) {
            ++i;
            if (i >= t.size() || t[i].kind != Kind::Number)
                syntax();
            const int n = std::atoi(t[i++].text.c_str());
            if (i < t.size() && t[i].isSymbol(",")) {
                ++i;
                if (i >= t.size() || t[i].kind != Kind::Number)
                    syntax();
                ++i;
            }
            if (i >= t.size() || !t[i].isSymbol(")"))
                syntax();
            ++i;
            if (c.type == JetType::Text) {
                if (n < 1 || n > 255)
                    malformed("Size of a field is too large.");
                c.size = n;
            }
        }
        cols.push_back(c);
        if (i < t.size() && t[i].isSymbol(",")) {
            ++i;
            continue;
        }
        if (i + 1 != t.size() || !t[i].isSymbol(")"))
            syntax();
        break;
    }
    {
        // Jet names are unique without regard to case, SQLite's only for ASCII.
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_master WHERE upper(name) = ?", -1, &s,
                           nullptr);
        sqlite3_bind_text(s, 1, sql::upper(t[2].text).c_str(), -1, SQLITE_TRANSIENT);
        const bool exists = sqlite3_step(s) == SQLITE_ROW;
        sqlite3_finalize(s);
        if (exists)
            malformed("Table '" + t[2].text + "' already exists.");
    }
    std::string out = "CREATE TABLE " + quoteName(t[2].text) + "(";
    for (std::size_t k = 0; k < cols.size(); ++k) {
        if (k)
            out += ", ";
        out += quoteName(cols[k].name) + " " + declaredType(cols[k].type, cols[k].size);
    }
    out += ")";
    exec(out);
    forget(t[2].text);
    ensureSideTables();
    exec("DROP TABLE IF EXISTS " + rowSourceTable(t[2].text));
    run(std::string("DELETE FROM ") + kFieldRules + " WHERE tbl = ?", {sql::upper(t[2].text)});
    exec("CREATE TABLE " + rowSourceTable(t[2].text) +
         "(rid INTEGER PRIMARY KEY, offset INTEGER NOT NULL)");
    exec("DROP TABLE IF EXISTS " + changedRowsTable(t[2].text));
    exec("CREATE TABLE " + changedRowsTable(t[2].text) + "(rid INTEGER PRIMARY KEY)");
    exec("CREATE TRIGGER " + changedRowsTrigger(t[2].text) + " AFTER UPDATE ON " +
         quoteName(t[2].text) + " BEGIN INSERT OR IGNORE INTO " + changedRowsTable(t[2].text) +
         " VALUES(old.rowid); INSERT OR IGNORE INTO " + changedRowsTable(t[2].text) +
         " VALUES(new.rowid); END");
    exec("DROP TABLE IF EXISTS " + changedCellsTable(t[2].text));
    exec("CREATE TABLE " + changedCellsTable(t[2].text) +
         "(rid INTEGER NOT NULL, col INTEGER NOT NULL, PRIMARY KEY(rid, col)) WITHOUT ROWID");
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const std::string c = quoteName(cols[k].name);
        exec("CREATE TRIGGER " + cellTrigger(t[2].text, k) + " AFTER UPDATE OF " + c + " ON " +
             quoteName(t[2].text) + " WHEN old." + c + " IS NOT new." + c +
             " BEGIN INSERT OR IGNORE INTO " + changedCellsTable(t[2].text) +
             " VALUES(new.rowid, " + std::to_string(k) + "); END");
    }
    exec("CREATE TRIGGER " + originOnDeleteTrigger(t[2].text) + " AFTER DELETE ON " +
         quoteName(t[2].text) + " BEGIN DELETE FROM " + rowSourceTable(t[2].text) +
         " WHERE rid = old.rowid; END");
    exec("CREATE TRIGGER " + originOnMoveTrigger(t[2].text) + " AFTER UPDATE ON " +
         quoteName(t[2].text) + " WHEN new.rowid IS NOT old.rowid BEGIN DELETE FROM " +
         rowSourceTable(t[2].text) + " WHERE rid = old.rowid; END");
    run(std::string("DELETE FROM ") + kCopyStatus + " WHERE tbl = ?", {sql::upper(t[2].text)});
    forget(t[2].text); // what is known of it now includes its triggers
}

void SqliteBackend::insert(const Tokens& t) {
    const std::optional<std::uint64_t> source = nextSource_;
    nextSource_.reset();
    // INSERT INTO name [(cols)] VALUES ( literal {, literal} )
    if (t.size() < 4 || !t[1].is("INTO") || !t[2].isName())
        malformed("Syntax error in INSERT INTO statement.");
    TableInfo& info = table(t[2].text);
    std::size_t i = 3;
    std::vector<std::size_t> targets;
    if (t[i].isSymbol("(")) {
        ++i;
        while (i < t.size() && t[i].isName()) {
            bool found = false;
            for (std::size_t c = 0; c < info.columns.size(); ++c)
                if (sql::equalsIgnoreCase(info.columns[c].name, t[i].text)) {
                    targets.push_back(c);
                    found = true;
                }
            if (!found)
                throw Error(code::Unspecified, "The INSERT INTO statement contains the following "
                                               "unknown field name: '" +
                                                   t[i].text + "'.");
            ++i;
            if (i < t.size() && t[i].isSymbol(","))
                ++i;
        }
        if (i >= t.size() || !t[i].isSymbol(")"))
            malformed("Syntax error in INSERT INTO statement.");
        ++i;
    } else {
        for (std::size_t c = 0; c < info.columns.size(); ++c)
            targets.push_back(c);
    }
    if (i + 1 >= t.size() || !t[i].is("VALUES") || !t[i + 1].isSymbol("("))
        malformed("Syntax error in INSERT INTO statement.");
    i += 2;
    std::vector<std::optional<std::string>> values;
    std::vector<bool> quoted;
    for (;;) {
        if (i >= t.size())
            malformed("Syntax error in INSERT INTO statement.");
        std::string sign;
        if (t[i].isSymbol("-") || t[i].isSymbol("+")) {
            sign = t[i].text == "-" ? "-" : "";
            ++i;
            if (i >= t.size() || t[i].kind != Kind::Number)
                malformed("Syntax error in INSERT INTO statement.");
        }
        const Token& v = t[i];
        if (v.kind == Kind::Text) {
            values.emplace_back(v.text);
            quoted.push_back(true);
        } else if (v.kind == Kind::Number) {
            values.emplace_back(sign + v.text);
            quoted.push_back(false);
        } else if (v.is("NULL")) {
            values.emplace_back(std::nullopt);
            quoted.push_back(false);
        } else {
            malformed("Syntax error in query expression '" + statusText(v) + "'.");
        }
        ++i;
        if (i < t.size() && t[i].isSymbol(",")) {
            ++i;
            continue;
        }
        if (i + 1 != t.size() || !t[i].isSymbol(")"))
            malformed("Syntax error in INSERT INTO statement.");
        break;
    }
    if (values.size() != targets.size())
        throw Error(code::Unspecified,
                    "Number of query values and destination fields are not the same.");
    std::vector<std::optional<std::string>> row(info.columns.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        checkValue(info.columns[targets[k]], values[k], quoted[k]);
        row[targets[k]] = values[k];
    }
    insertRow(info, row, source);
}

void SqliteBackend::insertTexts(const std::string& name,
                                const std::vector<std::optional<std::string>>& values) {
    const std::optional<std::uint64_t> source = nextSource_;
    nextSource_.reset();
    if (readOnly_)
        throw Error(code::Unspecified, "Cannot update. Database or object is read-only.");
    // The import names the same table a million times: found once, not upper-cased each time.
    if (!lastInsert_ || name != lastInsertName_) {
        lastInsert_ = &table(name);
        lastInsertName_ = name;
    }
    TableInfo& info = *lastInsert_;
    if (values.size() != info.columns.size())
        throw Error(code::Unspecified,
                    "Number of query values and destination fields are not the same.");
    for (std::size_t k = 0; k < values.size(); ++k)
        checkValue(info.columns[k], values[k], true);
    insertRow(info, values, source);
}

void SqliteBackend::insertRow(TableInfo& info, const std::vector<std::optional<std::string>>& row,
                              std::optional<std::uint64_t> source) {
    if (info.insert.empty()) {
        info.insert = "INSERT INTO " + quoteName(info.name) + " VALUES(";
        for (std::size_t k = 0; k < row.size(); ++k)
            info.insert += k ? ",?" : "?";
        info.insert += ")";
    }
    run(info.insert, row);
    if (!source)
        return;
    const sqlite3_int64 rid = sqlite3_last_insert_rowid(db_);
    const std::string& single = ensureRowSource(info);
    if (!sqlite3_get_autocommit(db_)) {
        // Inside a transaction nobody else sees the rows yet, so their origins wait and go in
        // many to a statement; every other use of the connection writes them first.
        if (pendingInsert_ != single)
            flushSources();
        pendingInsert_ = single;
        pendingTable_ = info.name;
        pendingSources_.emplace_back(rid, static_cast<sqlite3_int64>(*source));
        if (pendingSources_.size() >= kSourceBatch)
            flushSources();
        return;
    }
    sqlite3_stmt* s = prepare(single);
    sqlite3_bind_int64(s, 1, rid);
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(*source));
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE)
        fail(db_, rc);
}

void SqliteBackend::flushSources() {
    if (pendingSources_.empty())
        return;
    decltype(pendingSources_) rows;
    rows.swap(pendingSources_);
    pendingSources_.reserve(kSourceBatch);
    std::size_t k = 0;
    if (rows.size() == kSourceBatch) {
        std::string text = "INSERT INTO " + rowSourceTable(pendingTable_) + " VALUES(?,?)";
        for (std::size_t i = 1; i < kSourceBatch; ++i)
            text += ",(?,?)";
        sqlite3_stmt* s = prepare(text);
        for (std::size_t i = 0; i < kSourceBatch; ++i) {
            sqlite3_bind_int64(s, static_cast<int>(2 * i + 1), rows[i].first);
            sqlite3_bind_int64(s, static_cast<int>(2 * i + 2), rows[i].second);
        }
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE)
            fail(db_, rc);
        k = kSourceBatch;
    }
    for (; k < rows.size(); ++k) {
        sqlite3_stmt* s = prepare(pendingInsert_);
        sqlite3_bind_int64(s, 1, rows[k].first);
        sqlite3_bind_int64(s, 2, rows[k].second);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE)
            fail(db_, rc);
    }
}

void SqliteBackend::update(const Tokens& t) {
    // UPDATE name SET col = literal {, col = literal} [WHERE ...]
    const bool spare = spareChanged_;
    spareChanged_ = false;
    if (t.size() < 6 || !t[1].isName() || !t[2].is("SET"))
        malformed("Syntax error in UPDATE statement.");
    const TableInfo& info = table(t[1].text);
    std::size_t where = t.size();
    for (std::size_t i = 3; i < t.size(); ++i)
        if (t[i].is("WHERE")) {
            where = i;
            break;
        }
    // Assignments of a single literal are checked as Jet converts them.
    std::vector<std::size_t> setColumns;
    std::size_t i = 3;
    while (i + 2 < where) {
        if (!t[i].isName() || !t[i + 1].isSymbol("="))
            malformed("Syntax error in UPDATE statement.");
        const Token& lit = t[i + 2];
        std::optional<std::size_t> col;
        for (std::size_t c = 0; c < info.columns.size(); ++c)
            if (sql::equalsIgnoreCase(info.columns[c].name, t[i].text))
                col = c;
        if (!col)
            throw Error(code::Unspecified, "No value given for one or more required parameters.");
        setColumns.push_back(*col);
        const bool single = i + 3 == where || t[i + 3].isSymbol(",");
        if (single && lit.kind == Kind::Text) {
            checkValue(info.columns[*col], lit.text, true);
            if (*col < info.rules.size()) {
                const std::string why = refusal(info.rules[*col], lit.text);
                if (!why.empty())
                    throw Error(code::TooLong, "The field " + info.columns[*col].name + " of " +
                                                   info.name + " cannot take the value '" +
                                                   lit.text + "': " + why + ".");
            }
        } else if (single && lit.kind == Kind::Number)
            checkValue(info.columns[*col], lit.text, false);
        std::size_t j = i + 2;
        while (j < where && !t[j].isSymbol(","))
            ++j;
        i = j + 1;
    }
    if (where < t.size())
        checkWhere(info, t, where);
    std::vector<std::optional<std::string>> params;
    std::string text = translate(t, 0, where, params);
    if (where + 1 == t.size())
        malformed("Syntax error in UPDATE statement.");
    std::string condition;
    if (where < t.size())
        condition = "(" + translate(t, where + 1, t.size(), params) + ")";
    if (spare && info.cellsTracked) {
        // Each record's change was computed from its own old value: a row that already took a
        // change in this column must not take another record's as well.
        for (std::size_t c : setColumns) {
            if (!condition.empty())
                condition += " AND ";
            condition += "NOT EXISTS (SELECT 1 FROM " + changedCellsTable(info.name) +
                         " AS q WHERE q.rid = " + quoteName(t[1].text) +
                         ".rowid AND q.col = " + std::to_string(c) + ")";
        }
    }
    if (!condition.empty())
        text += " WHERE " + condition;
    run(text, params);
}

void SqliteBackend::exportToParadox(const Tokens& t) {
    // select [top N] * into [Paradox 5.x;Database=<folder>].[<file>] from [<table>]
    std::size_t i = 1;
    ParadoxExportRequest request;
    if (i + 1 < t.size() && t[i].is("TOP") && t[i + 1].kind == Kind::Number) {
        request.count = std::atoll(t[i + 1].text.c_str());
        i += 2;
    }
    const std::string prefix = "PARADOX 5.X;DATABASE=";
    if (i + 7 != t.size() || !t[i].isSymbol("*") || !t[i + 1].is("INTO") ||
        t[i + 2].kind != Kind::Name || !t[i + 3].isSymbol(".") || t[i + 4].kind != Kind::Name ||
        !t[i + 5].is("FROM") || !t[i + 6].isName() ||
        sql::upper(t[i + 2].text.substr(0, prefix.size())) != prefix)
        malformed("Syntax error in query. Incomplete query clause.");
    request.targetFolder = t[i + 2].text.substr(prefix.size());
    request.targetFile = t[i + 4].text;
    request.sourceTable = table(t[i + 6].text).name;
    request.workingDatabase = file_;
    const auto& handler = paradoxExportHandler();
    if (!handler)
        throw Error(code::Unspecified, "The Paradox 5.x export is not available in this build; "
                                       "nothing was written.");
    handler(request);
}

void SqliteBackend::generic(const Tokens& t) {
    // DELETE FROM name [WHERE ...] and anything else SQLite reads as it is.
    if (t.size() >= 3 && t[0].is("DELETE") && t[1].is("FROM") && t[2].isName()) {
        const TableInfo& info = table(t[2].text);
        for (std::size_t i = 3; i < t.size(); ++i)
            if (t[i].is("WHERE")) {
                checkWhere(info, t, i);
                break;
            }
    }
    std::vector<std::optional<std::string>> params;
    run(translate(t, 0, t.size(), params), params);
}

std::unique_ptr<Cursor> SqliteBackend::query(const std::string& text) {
    flushSources();
    Tokens t = sql::tokenize(text);
    while (!t.empty() && t.back().isSymbol(";"))
        t.pop_back();
    if (t.empty() || !t[0].is("SELECT"))
        malformed("Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or "
                  "'UPDATE'.");
    std::optional<std::string> limit;
    std::size_t from = 1;
    if (t.size() > 2 && t[1].is("TOP") && t[2].kind == Kind::Number) {
        limit = t[2].text;
        from = 3;
    }
    std::vector<int> types;
    std::size_t fromAt = t.size();
    for (std::size_t i = from; i < t.size(); ++i)
        if (t[i].is("FROM")) {
            fromAt = i;
            break;
        }
    if (fromAt + 1 < t.size() && t[fromAt + 1].isName()) {
        const TableInfo& info = table(t[fromAt + 1].text);
        for (std::size_t i = fromAt; i < t.size(); ++i)
            if (t[i].is("WHERE")) {
                checkWhere(info, t, i);
                break;
            }
        if (from + 1 == fromAt && t[from].isSymbol("*"))
            for (const auto& c : info.columns)
                types.push_back(adoType(c.type));
    }
    std::vector<std::optional<std::string>> params;
    std::string translated = "SELECT " + translate(t, from, t.size(), params);
    // Rows come in the order they were inserted, the table's record order, even when an index
    // would cover the columns and hand them back sorted.
    const bool plain =
        fromAt + 1 < t.size() && t[fromAt + 1].isName() &&
        (fromAt + 2 == t.size() || t[fromAt + 2].is("WHERE")) &&
        std::none_of(t.begin(), t.end(), [](const Token& k) {
            return k.is("ORDER") || k.is("GROUP") || k.is("UNION") || k.is("DISTINCT");
        });
    std::string countable = translated;
    if (plain) {
        const std::string tableName = table(t[fromAt + 1].text).name;
        translated += " ORDER BY " + quoteName(tableName) + ".rowid";
    }
    if (limit) {
        translated += " LIMIT " + *limit;
        countable += " LIMIT " + *limit;
    }
    // The reader sees what is committed: rows of a transaction still open on this connection
    // are not in the snapshot.
    return std::make_unique<SqliteCursor>(file_, translated, countable, params, std::move(types));
}

std::unique_ptr<Cursor> SqliteBackend::schema() {
    flushSources();
    std::vector<std::vector<Variant>> rows;
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_,
                                "SELECT name, type FROM sqlite_master WHERE type IN ('table', "
                                "'view') ORDER BY name",
                                -1, &s, nullptr);
    if (rc != SQLITE_OK)
        fail(db_, rc);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        std::string kind = "TABLE";
        if (type == "view")
            kind = "VIEW";
        else if (sql::upper(name).rfind("SQLITE_", 0) == 0 ||
                 sql::upper(name).rfind("MSYS", 0) == 0)
            kind = "SYSTEM TABLE";
        rows.push_back({Variant::null(), Variant::null(), Variant(name), Variant(kind)});
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        fail(db_, rc);
    return std::make_unique<MemoryCursor>(std::vector<MemoryCursor::Column>{{"TABLE_CATALOG", 202},
                                                                            {"TABLE_SCHEMA", 202},
                                                                            {"TABLE_NAME", 202},
                                                                            {"TABLE_TYPE", 202}},
                                          std::move(rows));
}

void SqliteBackend::beginTrans() {
    flushSources();
    exec("BEGIN");
}
void SqliteBackend::commitTrans() {
    // Whatever stops a commit, the statements since BEGIN are not in the file: that is a failure
    // of the working database, never a refused value.
    try {
        flushSources();
        exec("COMMIT");
    } catch (const Error& e) {
        if (!sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        pendingSources_.clear();
        throw Error(code::Storage,
                    "The working database could not commit its changes: " + e.description());
    }
}
void SqliteBackend::rollbackTrans() {
    pendingSources_.clear(); // their rows go with the transaction
    exec("ROLLBACK");
}

void SqliteBackend::recordStatus(const std::string& name, const WorkingCopyStatus& st) {
    flushSources();
    ensureSideTables();
    run(std::string("INSERT OR REPLACE INTO ") + kCopyStatus +
            "(tbl, created, expected, inserted, failed) VALUES(?,?,?,?,?)",
        {sql::upper(name), std::to_string(st.created ? 1 : 0), std::to_string(st.expected),
         std::to_string(st.inserted), std::to_string(st.failed)});
}

void SqliteBackend::recordFieldRules(const std::string& name, const std::vector<FieldRule>& rules) {
    flushSources();
    ensureSideTables();
    const std::string key = sql::upper(name);
    run(std::string("DELETE FROM ") + kFieldRules + " WHERE tbl = ?", {key});
    for (std::size_t i = 0; i < rules.size(); ++i)
        run(std::string("INSERT INTO ") + kFieldRules + " VALUES(?,?,?,?,?,?)",
            {key, std::to_string(i), std::to_string(static_cast<int>(rules[i].kind)),
             std::to_string(rules[i].size), std::to_string(rules[i].codePage), rules[i].reason});
    tables_.erase(key);
    lastInsert_ = nullptr;
}

WorkingCopyStatus SqliteBackend::status(const std::string& name) {
    flushSources();
    ensureSideTables();
    WorkingCopyStatus st;
    const std::string key = sql::upper(name);
    sqlite3_stmt* s = prepare(std::string("SELECT created, expected, inserted, failed FROM ") +
                              kCopyStatus + " WHERE tbl = ?");
    sqlite3_bind_text(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s) == SQLITE_ROW) {
        st.recorded = true;
        st.created = sqlite3_column_int64(s, 0) != 0;
        st.expected = sqlite3_column_int64(s, 1);
        st.inserted = sqlite3_column_int64(s, 2);
        st.failed = sqlite3_column_int64(s, 3);
    }
    sqlite3_reset(s);
    try {
        TableInfo& info = table(name);
        ensureRowSource(info);
        sqlite3_stmt* c = prepare("SELECT COUNT(*) FROM " + quoteName(info.name));
        if (sqlite3_step(c) == SQLITE_ROW)
            st.rowsNow = sqlite3_column_int64(c, 0);
        sqlite3_reset(c);
        // Without the triggers (a copy made by an older build) an origin may outlive its row, and
        // only the join tells.
        sqlite3_stmt* w = info.originsKept
                              ? prepare("SELECT COUNT(*) FROM " + rowSourceTable(info.name))
                              : prepare("SELECT COUNT(*) FROM " + quoteName(info.name) + " JOIN " +
                                        rowSourceTable(info.name) +
                                        " AS s ON s.rid = " + quoteName(info.name) + ".rowid");
        if (sqlite3_step(w) == SQLITE_ROW)
            st.withSource = sqlite3_column_int64(w, 0);
        sqlite3_reset(w);
    } catch (const Error& e) {
        if (e.code() != code::NoSuchTable)
            throw;
        st.created = false;
    }
    return st;
}

void SqliteBackend::forEachRow(
    const std::string& name,
    const std::function<void(std::optional<std::uint64_t>, const std::vector<Variant>&)>& fn) {
    flushSources();
    TableInfo& info = table(name);
    ensureRowSource(info);
    visitRows(info, quoteName(info.name) + " AS t", "t.rowid", fn);
}

bool SqliteBackend::forEachChangedRow(
    const std::string& name,
    const std::function<void(std::optional<std::uint64_t>, const std::vector<Variant>&)>& fn) {
    flushSources();
    TableInfo& info = table(name);
    ensureRowSource(info);
    // A copy made before rows were tracked has no record of its changes.
    if (!info.rowsTracked)
        return false;
    visitRows(info,
              changedRowsTable(info.name) + " AS c JOIN " + quoteName(info.name) +
                  " AS t ON t.rowid = c.rid",
              "c.rid", fn);
    return true;
}

void SqliteBackend::visitRows(
    const TableInfo& info, const std::string& rows, const std::string& order,
    const std::function<void(std::optional<std::uint64_t>, const std::vector<Variant>&)>& fn) {
    std::string q = "SELECT s.offset";
    for (const auto& c : info.columns)
        q += ", t." + quoteName(c.name);
    q += " FROM " + rows + " LEFT JOIN " + rowSourceTable(info.name) +
         " AS s ON s.rid = t.rowid ORDER BY " + order;
    const std::size_t columns = info.columns.size();
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_, q.c_str(), -1, &s, nullptr);
    if (rc != SQLITE_OK)
        fail(db_, rc);
    std::vector<Variant> row(columns);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        std::optional<std::uint64_t> offset;
        if (sqlite3_column_type(s, 0) != SQLITE_NULL)
            offset = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
        for (std::size_t k = 0; k < row.size(); ++k) {
            const int at = static_cast<int>(k) + 1;
            if (sqlite3_column_type(s, at) == SQLITE_NULL)
                row[k] = Variant::null();
            else
                row[k] =
                    Variant(std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, at)),
                                        static_cast<std::size_t>(sqlite3_column_bytes(s, at))));
        }
        try {
            fn(offset, row);
        } catch (...) {
            sqlite3_finalize(s);
            throw;
        }
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        fail(db_, rc);
}

std::string SqliteBackend::queryPlan(const std::string& text) {
    flushSources();
    Tokens t = sql::tokenize(text);
    std::vector<std::optional<std::string>> params;
    const std::string q = "EXPLAIN QUERY PLAN " + translate(t, 0, t.size(), params);
    sqlite3_stmt* s = nullptr;
    const int rc = sqlite3_prepare_v2(db_, q.c_str(), -1, &s, nullptr);
    if (rc != SQLITE_OK)
        fail(db_, rc);
    std::string plan;
    while (sqlite3_step(s) == SQLITE_ROW) {
        plan += reinterpret_cast<const char*>(sqlite3_column_text(s, 3));
        plan += '\n';
    }
    sqlite3_finalize(s);
    return plan;
}

} // namespace qm::db
