#pragma once

// Where the program's files are for the person running it. A build folder is the program's own
// to change; an installed program's folder (root's, read-only) is not: there every file the
// program changes is a copy made for the user, and the shipped files stay as they were shipped.

#include <filesystem>
#include <string>

namespace qm {

// $XDG_DATA_HOME/Quillmend, else ~/.local/share/Quillmend, else Quillmend in the temporary
// folder. Not created here.
std::filesystem::path userDataFolder();

// True when the program may change files in its own folder: the folder and the dbTemp.mdb in it
// can be written by this process and have a write permission bit (a folder made read-only with
// chmod a-w counts as read-only for root too).
bool applicationFolderWritable();

// The working database of this process: dbTemp.mdb beside the program when the application
// folder can be written, else the user's own copy of it in userDataFolder(), made from the
// shipped file the first time it is asked for. When there is no shipped file either, the path is
// returned all the same and opening it fails as a missing working database does. Throws Error
// when the user's copy cannot be made.
std::filesystem::path workingDatabasePath();

// The folder "Load Sample/Example Database" opens: the shipped Samples beside the program, or,
// when the application folder cannot be written, the user's own copy of them in
// userDataFolder(), made the first time. Throws Error when the copy cannot be made.
std::string samplesFolder();

} // namespace qm
