#include "paradox/pending_swaps.h"

#include "paradox/swap_journal.h"

namespace qm::paradox {

namespace fs = std::filesystem;

PendingBackups pendingBackupFolders(const fs::path& backupRoot) {
    PendingBackups pending;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(backupRoot / "pending", ec)) {
        // A journal's temporary (.tmp) is a write that never completed; the journal it was to
        // replace, if any, is read on its own.
        if (e.path().extension() != ".swap")
            continue;
        detail::Journal j;
        if (detail::readJournal(e.path(), j))
            pending.folders.push_back(j.backupDir.lexically_normal());
        else
            pending.unreadable.push_back(e.path());
    }
    return pending;
}

} // namespace qm::paradox
