#pragma once

#include "app/variant.h"

#include <string>

namespace qm {

inline constexpr const char* kProductName = "Quillmend Studio";

Variant NullToDefault(const Variant& value, const Variant& defaultValue);

// True when the path's time of last change can be read; folders count. Absorbs every failure.
bool FileExistsByDate(const std::string& path);

// The part after the last separator; a path ending in a separator gives the empty text.
std::string FileNameFromPath(const std::string& path);

// Visual Basic's Trim: blanks off both ends, other white space kept.
std::string trimBlanks(const std::string& s);

// The published name of a column type number, or Empty.
Variant AdoTypeName(int n);

// Yes/no for the directory attribute, Empty when the attributes cannot be read.
Variant IsFolder(const std::string& path);

// Shortens the product name by whole words, at least once, to at most 40 characters.
void SetAppTitle();
const std::string& appTitle();

// Collapses doubled separators; a path that begins with one keeps (or gets) two at its start.
std::string CollapseBackslashes(const std::string& path);

// The root of the application's drive, with its separator.
std::string AppDriveRoot();

// The folder that holds the executable, without a trailing separator. Tests and other
// front ends may set it; it defaults to the executable's folder.
std::string applicationFolder();
void setApplicationFolder(const std::string& folder);

// The platform's path separator as text.
inline constexpr char kSeparator = '/';

} // namespace qm
