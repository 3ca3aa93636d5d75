#include "replace/run_recovery.h"

#include "app/common.h"
#include "paradox/family_swap.h"

namespace qm {

namespace fs = std::filesystem;

std::vector<std::string> recoverInterruptedRuns(const fs::path& backupRoot) {
    return paradox::recoverPendingSwaps(backupRoot.empty() ? paradox::defaultBackupRoot()
                                                           : backupRoot);
}

void recoverInterruptedRuns(UserInterface& ui, const fs::path& backupRoot) {
    std::vector<std::string> recovered;
    try {
        recovered = recoverInterruptedRuns(backupRoot);
    } catch (const std::exception& e) {
        ui.messageBox(std::string("A previous run was interrupted, and what it left could not all "
                                  "be put right; it is tried again at the next start: ") +
                          e.what(),
                      Buttons::Ok, Icon::Exclamation, appTitle());
        return;
    }
    if (recovered.empty())
        return;
    std::string text = "A previous run was interrupted. These tables were put back:";
    for (const auto& line : recovered)
        text += "\r\n" + line;
    ui.messageBox(text, Buttons::Ok, Icon::Information, appTitle());
}

} // namespace qm
