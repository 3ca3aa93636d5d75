#pragma once

// A recordset of the working database: a static snapshot read through a connection of its own
// inside one read transaction, so the rows stay as they were when it opened while the caller's
// connection updates the table. Its record count is exact and taken in the same transaction.

#include "db/backend.h"
#include "db/sqlite_statement.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qm::db {

class SnapshotCursor : public Cursor {
  public:
    // countable: the query without an order of its rows, which a count does not need; SQLite
    // counts that one from the table's pages without decoding each row. types: the data type
    // number of each column, or empty to read them from the declared types.
    SnapshotCursor(const std::filesystem::path& file, const std::string& translated,
                   const std::string& countable, const Params& params, std::vector<int> types);
    ~SnapshotCursor() override;
    SnapshotCursor(const SnapshotCursor&) = delete;
    SnapshotCursor& operator=(const SnapshotCursor&) = delete;

    bool eof() const override { return eof_; }
    void moveNext() override;
    long recordCount() const override { return static_cast<long>(count_); }
    int fieldCount() const override { return columns_; }
    void text(int i, std::string& out) const override;
    std::string fieldName(int i) const override { return names_.at(static_cast<std::size_t>(i)); }
    int fieldType(int i) const override { return types_.at(static_cast<std::size_t>(i)); }
    Variant value(int i) const override;

  private:
    void check(int i) const;
    void step();
    void close();

    sqlite3* db_ = nullptr;
    std::filesystem::path file_;
    Params params_; // bound to the statement for as long as it lives
    Statement rows_;
    long long count_ = 0;
    int columns_ = 0;
    std::vector<std::string> names_;
    std::vector<int> types_;
    bool eof_ = true;
};

} // namespace qm::db
