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
};

struct Journal {
    std::string state; // writing, prepared, committed
    std::filesystem::path folder;
    std::string table;
    std::filesystem::path backupDir;
    std::vector<JournalEntry> entries;
};

// Written under a temporary name, flushed and renamed over path.
void writeJournal(const std::filesystem::path& path, const Journal& j);
// False for a journal that is incomplete or not one of ours.
bool readJournal(const std::filesystem::path& path, Journal& j);
// Undo: the old files go back to their names, the new ones are removed.
void rollBack(const Journal& j);
// Finish: the new files are in place; the old ones leave the folder for the backup folder.
void rollForward(const Journal& j);

// Marks a step of the swap for the kill tests (testhooks::setSwapStepHook).
void swapStep();

} // namespace qm::paradox::detail
