#pragma once

// Idle connections to the working database, kept open while a run holds it
// (working_database_hold.h). Every step of a run (the import, the search, a snapshot, the
// write-back) opens a connection of its own and closes it after; opening one costs SQLite a few
// dozen file calls, which on a folder of small tables outweigh the step's own work. While a run
// holds the file, a closed connection waits here for the next open with the same flags.
// Outside a run nothing is kept: an open opens and a close closes, as ever.

#include <filesystem>

struct sqlite3;

namespace qm::db::pool {

// An idle connection to file opened with these flags, or nullptr when none waits.
sqlite3* take(const std::filesystem::path& file, int flags);
// db: no statement left, no transaction open, connection settings as the opener made them. Kept
// for the next take while the file is held, closed otherwise.
void give(const std::filesystem::path& file, int flags, sqlite3* db);

// For WorkingDatabaseHold: connections of file are kept from hold() until release(), which
// closes those waiting.
void hold(const std::filesystem::path& file);
void release(const std::filesystem::path& file);

} // namespace qm::db::pool
