#include "db/snapshot_cursor.h"

#include "app/error.h"
#include "db/connection_pool.h"
#include "db/jet_types.h"

#include <sqlite3.h>

namespace qm::db {

namespace {

// Read by one thread, like the backend's own connection.
constexpr int kFlags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;

[[noreturn]] void noCurrentRecord() {
    throw Error(code::Unspecified,
                "Either BOF or EOF is True, or the current record has been deleted.");
}

} // namespace

SnapshotCursor::SnapshotCursor(const std::filesystem::path& file, const std::string& translated,
                               const std::string& countable, const Params& params,
                               std::vector<int> types)
    : params_(params), types_(std::move(types)) {
    try {
        file_ = file;
        if (!(db_ = pool::take(file, kFlags))) {
            const int rc = sqlite3_open_v2(file.c_str(), &db_, kFlags, nullptr);
            if (rc != SQLITE_OK)
                throwSqliteFailure(db_, rc);
            sqlite3_busy_timeout(db_, 5000);
        }
        if (const int begin = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
            begin != SQLITE_OK)
            throwSqliteFailure(db_, begin);
        // The count runs inside the same read transaction as the rows, so it is exact.
        {
            Statement count(db_, "SELECT COUNT(*) FROM (" + countable + ")");
            count.bindTexts(params_);
            if (!count.step())
                throwSqliteFailure(db_, SQLITE_DONE);
            count_ = count.int64(0);
        }
        rows_ = Statement(db_, translated);
        rows_.bindTexts(params_);
        columns_ = rows_.columnCount();
        for (int i = 0; i < columns_; ++i)
            names_.push_back(rows_.columnName(i));
        if (static_cast<int>(types_.size()) != columns_) {
            types_.clear();
            for (int i = 0; i < columns_; ++i) {
                const auto col =
                    columnFromDeclared(names_[static_cast<std::size_t>(i)], rows_.declaredType(i));
                types_.push_back(col ? adoType(col->type) : 202);
            }
        }
        step();
    } catch (...) {
        close();
        throw;
    }
}

SnapshotCursor::~SnapshotCursor() {
    close();
}

void SnapshotCursor::close() {
    rows_ = Statement();
    if (db_) {
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        pool::give(file_, kFlags, db_);
        db_ = nullptr;
    }
}

void SnapshotCursor::moveNext() {
    if (eof_)
        noCurrentRecord();
    step();
}

void SnapshotCursor::text(int i, std::string& out) const {
    check(i);
    // A run reads every value of every row: text is copied once, straight from the row.
    switch (rows_.columnType(i)) {
    case SQLITE_NULL:
        out.clear();
        return;
    case SQLITE_TEXT:
        rows_.text(i, out);
        return;
    default:
        Cursor::text(i, out);
    }
}

Variant SnapshotCursor::value(int i) const {
    check(i);
    switch (rows_.columnType(i)) {
    case SQLITE_NULL:
        return Variant::null();
    case SQLITE_INTEGER:
        return Variant(rows_.int64(i));
    case SQLITE_FLOAT:
        return Variant(rows_.real(i));
    default:
        return Variant(rows_.text(i));
    }
}

void SnapshotCursor::check(int i) const {
    if (eof_)
        noCurrentRecord();
    if (i < 0 || i >= columns_)
        throw Error(code::Unspecified,
                    "Item cannot be found in the collection corresponding to the requested "
                    "name or ordinal.");
}

void SnapshotCursor::step() {
    eof_ = !rows_.step();
}

} // namespace qm::db
