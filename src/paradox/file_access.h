#pragma once

// Who may reach a table's files after a run: a rewritten file keeps the owner, group and mode of
// the one it replaces, and the folder that receives old files is its user's alone.

#include "platform/files.h"

#include <filesystem>
#include <string>

namespace qm::paradox {

// Gives newFile the owner, group and permission bits of old (the status of the file it takes
// the place of), as far as this process may set them. Throws FileError, with newFile's mode
// left as created, when an owner or group it cannot keep would take access away from someone
// who had it.
void keepOwnerAndMode(const std::filesystem::path& newFile, const platform::FileStatus& old);

// Why old's owner or group not being kept by now would take access away from someone; empty
// when nobody loses anything (the mode bits are old's in both cases).
std::string accessLost(const platform::FileStatus& old, const platform::FileStatus& now);

// Creates folder (its parents as needed) and makes it readable by its owner alone (0700),
// whatever the umask and the file system's defaults. Throws FileError when it cannot be made so.
void makePrivateFolder(const std::filesystem::path& folder);

} // namespace qm::paradox
