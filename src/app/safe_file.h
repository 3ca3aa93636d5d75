#pragma once

#include <string>
#include <string_view>

namespace qm {

// Saves bytes as the file at path so that whoever reads it, whenever the program or the machine
// stops, finds the old content or the new one whole: written under a temporary name beside the
// file, flushed, renamed into place, and the folder flushed. A link at path stays a link (the
// file it leads to is replaced); the file keeps its permissions, and a new one gets what the
// umask gives. Anything but a regular file (a folder, a device) is not replaced. Throws Error
// naming path: PermissionDenied, PathNotFound or PathFileAccess.
void SaveFileSafely(const std::string& path, std::string_view bytes);

} // namespace qm
