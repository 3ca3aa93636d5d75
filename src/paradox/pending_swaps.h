#pragma once

// The backup folders that swaps left in the journal still need: the next start moves a killed
// swap's old files into the folder its journal names, so nothing may take that folder away
// before the journal is dealt with.

#include <filesystem>
#include <vector>

namespace qm::paradox {

struct PendingBackups {
    std::vector<std::filesystem::path> folders;    // named by a journal under pending/
    std::vector<std::filesystem::path> unreadable; // journals whose folder cannot be known
};

// Every journal under backupRoot/pending, read without acting on it.
PendingBackups pendingBackupFolders(const std::filesystem::path& backupRoot);

} // namespace qm::paradox
