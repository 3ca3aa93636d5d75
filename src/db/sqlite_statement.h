#pragma once

// SQLite plumbing of the working database: its failures as the program's errors, a prepared
// statement that finalizes itself, and the cache of statements a connection runs again and again.

#include "app/error.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace qm::db {

// The failure of an SQLite call as the caller sees it: a storage failure (disk, file, lock)
// gets code::Storage and names the working database file.
Error sqliteFailure(sqlite3* db, int rc);
[[noreturn]] void throwSqliteFailure(sqlite3* db, int rc);

using Params = std::vector<std::optional<std::string>>;

// A table or column name as SQLite quotes it.
std::string quoteName(const std::string& name);

class Statement {
  public:
    Statement() = default;
    // Throws the connection's failure when the text does not prepare.
    Statement(sqlite3* db, const std::string& text);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters from 1. Texts given to bindTexts must outlive the next step(); bindCopy copies.
    void bindTexts(const Params& params);
    // params[from, to) as the parameters from 1.
    void bindTexts(const Params& params, std::size_t from, std::size_t to);
    void bindCopy(int at, const std::string& text);
    void bindInt64(int at, std::int64_t value);
    // True while a row is there; false when done. Throws the connection's failure otherwise.
    bool step();
    // Steps to the end, then resets and clears the bindings for the next use.
    void run();
    // The same with these parameters bound for the run.
    void run(const Params& params);
    void reset();

    bool isNull(int column) const;
    std::int64_t int64(int column) const;
    double real(int column) const;
    // The value as text, NULL as the empty text.
    std::string text(int column) const;
    void text(int column, std::string& out) const;
    int columnType(int column) const;
    int columnCount() const;
    std::string columnName(int column) const;
    // Empty when the column is not one of a table.
    std::string declaredType(int column) const;

    sqlite3_stmt* get() const { return stmt_; }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

// The statements of one step in a single transaction (nested in the caller's, if any): a step
// that fails leaves none of them behind, and SQLite takes and drops its file locks once for the
// step rather than once for each statement. Rolled back unless released.
class Savepoint {
  public:
    explicit Savepoint(sqlite3* db);
    ~Savepoint();
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;
    void release();

  private:
    sqlite3* db_;
    bool open_ = false;
};

// Statements by their text, prepared once; the whole cache is dropped when it grows past its
// limit or when the schema changes under it.
class StatementCache {
  public:
    explicit StatementCache(sqlite3*& db) : db_(db) {}
    // The statement, reset and with no bindings.
    Statement& get(const std::string& text);
    void clear() { statements_.clear(); }

  private:
    static constexpr std::size_t kLimit = 64;
    sqlite3*& db_;
    std::map<std::string, Statement> statements_;
};

} // namespace qm::db
