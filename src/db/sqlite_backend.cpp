#include "db/sqlite_backend.h"

#include "app/error.h"
#include "db/connection_pool.h"
#include "db/snapshot_cursor.h"
#include "db/value_checks.h"
#include "paradox/ascii.h"

#include <sqlite3.h>

#include <algorithm>

namespace qm::db {

namespace {

// SQLite counts every allocation under a process-wide mutex unless told not to before its first
// use; nothing here reads those counts, and a run makes millions of allocations. Once SQLite is
// in use the setting is refused, and counting goes on as before.
void stopMemoryCounting() {
    static const bool stopped = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    (void)stopped;
}

[[noreturn]] void cannotOpen(const std::filesystem::path& file, const std::string& message) {
    throw Error(code::Storage,
                "Cannot open the working database '" + file.string() + "': " + message);
}

} // namespace

SqliteBackend::SqliteBackend(const std::filesystem::path& file, int mode,
                             ParadoxWriteBack* writeBack)
    : file_(file), readOnly_(mode == 1), writeBack_(writeBack) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw Error(code::Storage,
                    "Could not find file '" + file.string() +
                        "'. The working database is installed with the program and is never "
                        "created by it.");
    // A connection is used by one thread at a time; SQLite's own locking only costs time on
    // the million statements of an import.
    stopMemoryCounting();
    flags_ = (readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    // A connection an earlier step of the run closed has all the settings below already.
    if ((db_ = pool::take(file, flags_)))
        return;
    const int rc = sqlite3_open_v2(file.c_str(), &db_, flags_, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        cannotOpen(file, message);
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
        cannotOpen(file, message);
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

SqliteBackend::~SqliteBackend() {
    statements_.clear(); // a connection with statements left does not close
    if (db_) {
        if (!sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        // The next user of a kept connection finds the settings the constructor made.
        if (deletedBytesKept_)
            sqlite3_exec(db_, ("PRAGMA secure_delete=" + secureDeleteBefore_).c_str(), nullptr,
                         nullptr, nullptr);
        if (cacheChanged_)
            sqlite3_exec(db_, "PRAGMA cache_size=-65536", nullptr, nullptr, nullptr);
        pool::give(file_, flags_, db_);
    }
}

void SqliteBackend::setCacheKiB(int kib) {
    exec("PRAGMA cache_size=-" + std::to_string(kib));
    cacheChanged_ = true;
}

void SqliteBackend::exec(const std::string& text) {
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throwSqliteFailure(db_, rc);
}

void SqliteBackend::run(const std::string& text, const Params& params) {
    statements_.get(text).run(params);
}

std::string SqliteBackend::storedName(const std::string& name) {
    Statement s(db_, "SELECT name FROM sqlite_master WHERE type='table' AND name=? COLLATE NOCASE");
    s.bindCopy(1, name);
    return s.step() ? s.text(0) : name;
}

SqliteBackend::TableInfo& SqliteBackend::table(const std::string& name) {
    const std::string key = paradox::asciiUpper(name);
    if (auto it = tables_.find(key); it != tables_.end())
        return it->second;
    // One read transaction for the dozens of schema lookups below (bookkeeping_ may create its
    // side tables: ensured before, so that a rollback cannot take them along).
    bookkeeping_.ensureSideTables();
    Savepoint lookups(db_);
    TableInfo info;
    {
        Statement columns(db_, "SELECT name, type FROM pragma_table_info(?)");
        columns.bindCopy(1, name);
        while (columns.step()) {
            const std::string col = columns.text(0);
            const auto c = columnFromDeclared(col, columns.text(1));
            info.columns.push_back(c ? *c : JetColumn{col, JetType::Memo, 0});
        }
    }
    if (info.columns.empty())
        throw Error(code::NoSuchTable, "The Microsoft Jet database engine cannot find the input "
                                       "table or query '" +
                                           name +
                                           "'. Make sure it exists and that its name is "
                                           "spelled correctly.");
    // The stored spelling of the name, for side tables keyed by it.
    info.name = storedName(name);
    bookkeeping_.ensureSideTables();
    info.rowid = rowidName(info.columns);
    info.tracking = bookkeeping_.tracking(info.name, info.rowid);
    info.cellsTable = changedCellsTable(info.name);
    info.rules = bookkeeping_.fieldRules(key, info.columns.size());
    lookups.release();
    return tables_.emplace(key, std::move(info)).first->second;
}

const std::string& SqliteBackend::rowidOf(const TableInfo& info) {
    if (info.rowid.empty())
        throw Error(code::Unspecified, "The rows of the table '" + info.name +
                                           "' cannot be told apart: " + kRowidNamesTaken + ".");
    return info.rowid;
}

void SqliteBackend::forget(const std::string& name) {
    tables_.erase(paradox::asciiUpper(name));
    lastInsert_ = nullptr;
    statements_.clear();
    indexed_.clear();
    replaceTexts_.clear();
}

const std::string& SqliteBackend::ensureOrigins(TableInfo& info) {
    if (info.originInsert.empty())
        info.originInsert = bookkeeping_.ensureOrigins(info.name);
    return info.originInsert;
}

const std::vector<JetColumn>& SqliteBackend::columns(const std::string& name) {
    return table(name).columns;
}

void SqliteBackend::ensureIndex(const TableInfo& info, std::size_t column) {
    const std::string key = paradox::asciiUpper(info.name) + '\x1f' + std::to_string(column);
    if (indexed_.count(key))
        return;
    // Built on the first replacement in the column, so columns that none names cost nothing,
    // and every later one finds its rows through the index.
    exec("CREATE INDEX IF NOT EXISTS " + columnIndexName(info.name, column) + " ON " +
         quoteName(info.name) + "(" + quoteName(info.columns[column].name) + ")");
    indexed_.insert(key);
}

void SqliteBackend::writable() const {
    if (readOnly_)
        throw Error(code::Unspecified, "Cannot update. Database or object is read-only.");
}

void SqliteBackend::insertTexts(const std::string& name, const Params& values,
                                std::optional<std::uint64_t> origin) {
    writable();
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
    insertRow(info, values, origin);
}

void SqliteBackend::insertRow(TableInfo& info, const Params& row,
                              std::optional<std::uint64_t> origin) {
    if (info.insert.empty()) {
        info.insert = "INSERT INTO " + quoteName(info.name) + " VALUES(";
        for (std::size_t k = 0; k < row.size(); ++k)
            info.insert += k ? ",?" : "?";
        info.insert += ")";
    }
    run(info.insert, row);
    if (!origin)
        return;
    const std::int64_t rid = sqlite3_last_insert_rowid(db_);
    const std::string& single = ensureOrigins(info);
    if (!sqlite3_get_autocommit(db_)) {
        pendingOrigins_.add(info.name, single, rid, static_cast<std::int64_t>(*origin));
        return;
    }
    Statement& s = statements_.get(single);
    s.bindInt64(1, rid);
    s.bindInt64(2, static_cast<std::int64_t>(*origin));
    s.run();
}

bool SqliteBackend::updateOneRow(const std::string& set, const std::string& target,
                                 const std::string& rowid, const std::string& condition,
                                 const Params& params, std::size_t setParams) {
    // A run's UPDATE names one value, which one row holds as a rule. SQLite makes an UPDATE of
    // a table with triggers whose WHERE may match several rows collect their rowids in a
    // temporary table first; the rows found first, then the one row changed by its rowid, spare
    // that table and give the same result, the row being found before it changes, as there.
    // A run repeats one statement shape per column: its texts are made once.
    OneRowTexts& texts = oneRowTexts_;
    if (texts.set != set || texts.condition != condition) {
        texts.set = set;
        texts.condition = condition;
        texts.byRowid = set + " WHERE " + target + "." + rowid + " = ?";
        texts.rows = "SELECT " + target + "." + rowid + " FROM " + target + " WHERE " + condition +
                     " LIMIT 2";
    }
    // Prepared first, so that a statement that does not prepare fails whether rows match or not.
    (void)statements_.get(texts.byRowid);
    std::int64_t id = 0;
    int found = 0;
    {
        Statement& rows = statements_.get(texts.rows);
        rows.bindTexts(params, setParams, params.size());
        while (found < 2 && rows.step()) {
            id = rows.int64(0);
            ++found;
        }
        rows.reset();
    }
    if (found == 0)
        return true;
    if (found > 1)
        return false; // several rows: changed together, as one statement changes them
    Statement& one = statements_.get(texts.byRowid);
    one.bindTexts(params, 0, setParams);
    one.bindInt64(static_cast<int>(setParams) + 1, id);
    one.run();
    return true;
}

std::unique_ptr<Cursor> SqliteBackend::schema() {
    pendingOrigins_.flush();
    std::vector<std::vector<Variant>> rows;
    Statement s(db_, "SELECT name, type FROM sqlite_master WHERE type IN ('table', 'view') "
                     "ORDER BY name");
    while (s.step()) {
        const std::string name = s.text(0);
        const std::string up = paradox::asciiUpper(name);
        std::string kind = "TABLE";
        if (s.text(1) == "view")
            kind = "VIEW";
        else if (up.rfind("SQLITE_", 0) == 0 || up.rfind("MSYS", 0) == 0)
            kind = "SYSTEM TABLE";
        rows.push_back({Variant::null(), Variant::null(), Variant(name), Variant(kind)});
    }
    return std::make_unique<MemoryCursor>(std::vector<MemoryCursor::Column>{{"TABLE_CATALOG", 202},
                                                                            {"TABLE_SCHEMA", 202},
                                                                            {"TABLE_NAME", 202},
                                                                            {"TABLE_TYPE", 202}},
                                          std::move(rows));
}

void SqliteBackend::beginTrans() {
    pendingOrigins_.flush();
    exec("BEGIN");
}

void SqliteBackend::commitTrans() {
    // Whatever stops a commit, the statements since BEGIN are not in the file: that is a failure
    // of the working database, never a refused value.
    try {
        pendingOrigins_.flush();
        exec("COMMIT");
    } catch (const Error& e) {
        if (!sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        pendingOrigins_.discard();
        throw Error(code::Storage,
                    "The working database could not commit its changes: " + e.description());
    }
}

void SqliteBackend::rollbackTrans() {
    pendingOrigins_.discard(); // their rows go with the transaction
    exec("ROLLBACK");
}

void SqliteBackend::recordStatus(const std::string& name, const WorkingCopyStatus& status) {
    pendingOrigins_.flush();
    bookkeeping_.recordStatus(name, status);
}

void SqliteBackend::recordFieldRules(const std::string& name, const std::vector<FieldRule>& rules) {
    pendingOrigins_.flush();
    bookkeeping_.ensureSideTables();
    Savepoint step(db_);
    bookkeeping_.recordFieldRules(name, rules);
    step.release();
    tables_.erase(paradox::asciiUpper(name));
    lastInsert_ = nullptr;
    replaceTexts_.clear();
}

WorkingCopyStatus SqliteBackend::status(const std::string& name) {
    pendingOrigins_.flush();
    WorkingCopyStatus st = bookkeeping_.recorded(name);
    try {
        TableInfo& info = table(name);
        ensureOrigins(info);
        bookkeeping_.countRows(info.name, rowidOf(info), info.tracking.origins, st);
    } catch (const Error& e) {
        if (e.code() != code::NoSuchTable)
            throw;
        st.created = false;
    }
    return st;
}

void SqliteBackend::forEachRow(const std::string& name, const RowVisitor& fn) {
    pendingOrigins_.flush();
    TableInfo& info = table(name);
    ensureOrigins(info);
    visitRows(info, quoteName(info.name) + " AS t", "t." + rowidOf(info), fn);
}

bool SqliteBackend::forEachChangedRow(const std::string& name, const RowVisitor& fn) {
    pendingOrigins_.flush();
    TableInfo& info = table(name);
    ensureOrigins(info);
    // A copy made before rows were tracked has no record of its changes.
    if (!info.tracking.rows)
        return false;
    visitRows(info,
              changedRowsTable(info.name) + " AS c JOIN " + quoteName(info.name) + " AS t ON t." +
                  rowidOf(info) + " = c.rid",
              "c.rid", fn);
    return true;
}

void SqliteBackend::visitRows(const TableInfo& info, const std::string& rows,
                              const std::string& order, const RowVisitor& fn) {
    std::string q = "SELECT s.offset";
    for (const auto& c : info.columns)
        q += ", t." + quoteName(c.name);
    q += " FROM " + rows + " LEFT JOIN " + originsTable(info.name) + " AS s ON s.rid = t." +
         rowidOf(info) + " ORDER BY " + order;
    Statement s(db_, q);
    std::vector<Variant> row(info.columns.size());
    while (s.step()) {
        std::optional<std::uint64_t> origin;
        if (!s.isNull(0))
            origin = static_cast<std::uint64_t>(s.int64(0));
        for (std::size_t k = 0; k < row.size(); ++k) {
            const int at = static_cast<int>(k) + 1;
            row[k] = s.isNull(at) ? Variant::null() : Variant(s.text(at));
        }
        fn(origin, row);
    }
}

} // namespace qm::db
