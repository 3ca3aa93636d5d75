#pragma once

// A run opens the working database many times: the import, the search, the snapshot cursors and
// the write-back each open a connection of their own. When the last connection of a process
// closes, SQLite checkpoints the write-ahead log and deletes it and its shared-memory file, and
// the next open makes them again: three files, their locks and a checkpoint per table, which on
// a folder of hundreds of small tables cost more than the tables' own work. A run holds one idle
// connection for its whole length, so the log stays open between tables; it reads nothing and
// keeps no transaction, so checkpoints go on as before, and after each table it empties the log
// as the last connection's close did. While it holds the file, the run's connections wait for
// their next use instead of closing (connection_pool.h).

#include <filesystem>

struct sqlite3;

namespace qm::db {

class WorkingDatabaseHold {
  public:
    // Holds nothing when the file cannot be opened: the run's own connections report that.
    explicit WorkingDatabaseHold(const std::filesystem::path& file);
    ~WorkingDatabaseHold();
    WorkingDatabaseHold(const WorkingDatabaseHold&) = delete;
    WorkingDatabaseHold& operator=(const WorkingDatabaseHold&) = delete;

    // Copies the log into the database and truncates it, as the close of the last connection
    // did: between tables the log holds nothing, however many tables the run has.
    void emptyLog();

  private:
    sqlite3* db_ = nullptr;
    std::filesystem::path file_;
};

} // namespace qm::db
