#include "db/sqlite_statement.h"

#include <sqlite3.h>

#include <utility>

namespace qm::db {

namespace {

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

} // namespace

std::string quoteName(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

// A storage failure names the file, since "disk I/O error" alone does not say which disk.
Error sqliteFailure(sqlite3* db, int rc) {
    const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const long c = codeFor(rc, message);
    if (c != code::Storage)
        return Error(c, message);
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    return Error(c, file && *file ? message + " (working database " + file + ")" : message);
}

void throwSqliteFailure(sqlite3* db, int rc) {
    throw sqliteFailure(db, rc);
}

Savepoint::Savepoint(sqlite3* db) : db_(db) {
    if (const int rc = sqlite3_exec(db_, "SAVEPOINT qm_step", nullptr, nullptr, nullptr);
        rc != SQLITE_OK)
        throwSqliteFailure(db_, rc);
    open_ = true;
}

Savepoint::~Savepoint() {
    if (open_) {
        sqlite3_exec(db_, "ROLLBACK TO qm_step", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "RELEASE qm_step", nullptr, nullptr, nullptr);
    }
}

void Savepoint::release() {
    if (const int rc = sqlite3_exec(db_, "RELEASE qm_step", nullptr, nullptr, nullptr);
        rc != SQLITE_OK)
        throwSqliteFailure(db_, rc);
    open_ = false;
}

Statement::Statement(sqlite3* db, const std::string& text) : db_(db) {
    const int rc =
        sqlite3_prepare_v2(db, text.c_str(), static_cast<int>(text.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        const Error e = sqliteFailure(db, rc);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        throw e;
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        db_ = other.db_;
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

void Statement::bindTexts(const Params& params) {
    bindTexts(params, 0, params.size());
}

void Statement::bindTexts(const Params& params, std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k) {
        const int at = static_cast<int>(k - from) + 1;
        if (params[k])
            sqlite3_bind_text(stmt_, at, params[k]->data(), static_cast<int>(params[k]->size()),
                              SQLITE_STATIC);
        else
            sqlite3_bind_null(stmt_, at);
    }
}

void Statement::bindCopy(int at, const std::string& text) {
    sqlite3_bind_text(stmt_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Statement::bindInt64(int at, std::int64_t value) {
    sqlite3_bind_int64(stmt_, at, static_cast<sqlite3_int64>(value));
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    const Error e = sqliteFailure(db_, rc);
    sqlite3_reset(stmt_);
    throw e;
}

void Statement::run() {
    int rc;
    while ((rc = sqlite3_step(stmt_)) == SQLITE_ROW) {
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (rc != SQLITE_DONE)
        throwSqliteFailure(db_, rc);
}

void Statement::run(const Params& params) {
    bindTexts(params);
    run();
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::int64(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

double Statement::real(int column) const {
    return sqlite3_column_double(stmt_, column);
}

std::string Statement::text(int column) const {
    std::string out;
    text(column, out);
    return out;
}

void Statement::text(int column, std::string& out) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    out.assign(p ? p : "", p ? static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)) : 0);
}

int Statement::columnType(int column) const {
    return sqlite3_column_type(stmt_, column);
}

int Statement::columnCount() const {
    return sqlite3_column_count(stmt_);
}

std::string Statement::columnName(int column) const {
    const char* name = sqlite3_column_name(stmt_, column);
    return name ? name : "";
}

std::string Statement::declaredType(int column) const {
    const char* decl = sqlite3_column_decltype(stmt_, column);
    return decl ? decl : "";
}

Statement& StatementCache::get(const std::string& text) {
    auto it = statements_.find(text);
    if (it != statements_.end()) {
        it->second.reset();
        return it->second;
    }
    if (statements_.size() >= kLimit)
        statements_.clear();
    return statements_.emplace(text, Statement(db_, text)).first->second;
}

} // namespace qm::db
