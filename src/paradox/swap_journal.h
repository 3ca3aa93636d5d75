#pragma once

// The journal of a family swap: which of a table's files go where, and how far the swap got, so
// that the next start can finish or undo the work of a process killed in the middle.
// Private to src/paradox.

#include <filesystem>
#include <string>
#include <vector>

namespace qm::paradox::detail {

struct JournalEntry {
    std::string finalName;
    std::string temp;  // empty: no new file
    std::string aside; // empty: no old file
    // Which files the swap moved (fileIdentity), noted before the first rename: the new file, and
    // the old one. A step that would remove or replace a file first checks it is that very
    // file, not one another run or program put there since.
    std::string newId, oldId;
};

struct Journal {
    std::string state; // writing, prepared, committed
    std::filesystem::path folder;
    std::string table;
    std::filesystem::path backupDir;
    std::vector<JournalEntry> entries;
    std::string marker; // what the mid-swap marker beside the table says; empty: none made
};

// A file's device, inode, size and time of change in one word; empty when there is no such
// file (a link counts as itself).
std::string fileIdentity(const std::filesystem::path& p);

// The file beside a table that says a swap of its family is under way or was interrupted, for
// every start of every user to see: tableInUse() reports the table held while it is there.
std::filesystem::path swapMarkerOf(const std::filesystem::path& db);
// Creates the marker saying text (the swap's own words), never over an existing one.
void makeSwapMarker(const Journal& j);
// Removes the marker when it is this swap's (says j.marker); true when it did. flush: flushes
// the folder after, else the caller does.
bool removeSwapMarker(const Journal& j, bool flush);

// Written under a temporary name, flushed and renamed over path.
void writeJournal(const std::filesystem::path& path, const Journal& j);
// False for a journal that is incomplete or not one of ours.
bool readJournal(const std::filesystem::path& path, Journal& j);
// Undo: the old files go back to their names, the new ones are removed, then the marker.
// Returns what was left as it is because it is no longer what the swap left (another run or
// program changed it meanwhile); empty when all was done.
std::vector<std::string> rollBack(const Journal& j);
// Finish: the new files are in place; the old ones leave the folder for the backup folder, then
// the marker goes. Returns what was left as it is, as rollBack.
std::vector<std::string> rollForward(const Journal& j);

} // namespace qm::paradox::detail
