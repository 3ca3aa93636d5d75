#pragma once

#include "app/common.h"
#include "app/current_folder.h"
#include "app/user_interface.h"

#include <string>

namespace qm {

// The folder without blanks that a folder with blanks is copied to: "TestDB" at the given
// drive root (the application's drive root unless a test names another) when the user may
// write there, else in the user's home folder; "TestDB2", "TestDB3", ... when that name is
// taken, so that no copy goes into a folder an earlier one used.
std::string copyTargetFolder(const std::string& driveRoot);

// Offers to copy a Paradox folder whose path holds a blank to a new folder without blanks
// ("No" is the default answer), and points the current folder at the copy when the user agrees.
void CopyDB(UserInterface& ui, CurrentFolder& folder, bool sample,
            const std::string& driveRoot = AppDriveRoot());

} // namespace qm
