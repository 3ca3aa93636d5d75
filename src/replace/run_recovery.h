#pragma once

// Tables that a killed run left aside, put back before anything lists or reads them.

#include "app/user_interface.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qm {

// Puts back every table a killed run left aside (the swap journals under backupRoot, default
// paradox::defaultBackupRoot()), and returns one line per table dealt with. A write-back that a
// live run is carrying out is left to it. Every entry point calls it before it lists or reads a
// table; runReplace calls it itself.
std::vector<std::string> recoverInterruptedRuns(const std::filesystem::path& backupRoot = {});

// The same for a window: the tables put back are named in one box. A journal that cannot be
// acted upon now is named in an error box and kept for the next start.
void recoverInterruptedRuns(UserInterface& ui, const std::filesystem::path& backupRoot = {});

} // namespace qm
