#include "db/working_database_hold.h"

#include "db/connection_pool.h"

#include <sqlite3.h>

#include <system_error>

namespace qm::db {

WorkingDatabaseHold::WorkingDatabaseHold(const std::filesystem::path& file) {
    std::error_code ec;
    // Never create the file: a missing working database is the run's to report.
    if (!std::filesystem::is_regular_file(file, ec))
        return;
    // Read-write like the run's connections: SQLite shares one shared-memory mapping per file
    // within a process, and a read-only first opener would make it read-only for all of them.
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db_);
        db_ = nullptr;
        return;
    }
    // SQLite opens the file and its log on first use.
    sqlite3_busy_timeout(db_, 5000);
    // Like the run's connections: the working database is scratch, its checkpoints need not
    // wait for the disk.
    sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    if (sqlite3_exec(db_, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db_);
        db_ = nullptr;
        return;
    }
    file_ = file;
    pool::hold(file_);
}

void WorkingDatabaseHold::emptyLog() {
    // A failure here is the next statement's to report; the log then stays until a later
    // checkpoint or the last close.
    if (db_)
        sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

WorkingDatabaseHold::~WorkingDatabaseHold() {
    if (!db_)
        return;
    pool::release(file_);
    sqlite3_close(db_);
}

} // namespace qm::db
