#pragma once

#include "app/user_interface.h"

#include <string>
#include <vector>

namespace qm {

// File names of one folder, at positions 1 to n. With no name it holds the single position 0
// with the empty text, so that a loop from 1 to upperBound() runs zero times.
class FileNameSequence {
  public:
    FileNameSequence() = default;
    explicit FileNameSequence(std::vector<std::string> names) : names_(std::move(names)) {}

    int lowerBound() const { return names_.empty() ? 0 : 1; }
    int upperBound() const { return static_cast<int>(names_.size()); }
    // Position 0 of an empty sequence is the empty text; other positions are 1-based.
    const std::string& operator[](int position) const;
    const std::vector<std::string>& names() const { return names_; }

  private:
    std::vector<std::string> names_;
};

// Windows folder attribute bits as the walk tests them.
namespace attr {
inline constexpr long ReadOnly = 1;
inline constexpr long Hidden = 2;
inline constexpr long System = 4;
inline constexpr long Directory = 16;
inline constexpr long Alias = 1024;
// A folder that is exactly hidden and system, with or without the alias bit, is not entered.
inline constexpr long HiddenSystemFolder = Directory | Hidden | System;        // 22
inline constexpr long HiddenSystemAlias = Directory | Hidden | System | Alias; // 1046
} // namespace attr

// The file-system layer under the walk and the file listing. Tests derive from it to make a
// listing fail in ways a privileged test process would not otherwise see.
class FolderSystem {
  public:
    virtual ~FolderSystem() = default;

    // The names of the immediate sub-folders (symbolic links to folders included), "." and
    // ".." left out, in the order of NTFS: upper-cased names first, then bytes.
    // Throws qm::Error: 70 permission denied, 76 path not found, 75 anything else.
    virtual std::vector<std::string> subFolderNames(const std::string& folder) const;

    // The names of the entries that are not folders and match the pattern, case-insensitively,
    // hidden ones included, in the same order. A folder that does not exist lists nothing;
    // any other failure throws qm::Error as above.
    virtual std::vector<std::string> fileNames(const std::string& folder,
                                               const std::string& pattern) const;

    // The folder's attribute value in Windows terms. POSIX has no hidden or system bit; a
    // folder whose name begins with "." is what this platform keeps out of a user's sight
    // (configuration and version-control folders), so it counts as hidden and system.
    // A symbolic link counts as alias (reparse point); a folder with no write permission
    // bit for anyone counts as read-only. Throws qm::Error 76 when the path cannot be read.
    virtual long attributes(const std::string& path) const;
};

// The real file system.
const FolderSystem& platformFolders();

// True for "/" (with any number of separators): the one drive root of this platform.
bool IsDriveRoot(const std::string& path);

// Characters in the text: UTF-8 sequences count once, stray bytes once each.
std::size_t characterCount(const std::string& text);

// Case-insensitive wildcard match with "*" and "?", as the platform's file listing does.
bool MatchesPattern(const std::string& name, const std::string& pattern);

// Upper case, one character for one, as the platform's text routines do.
std::string upperCase(const std::string& text);

// Lets the user choose a folder, starting at the initial folder. Returns the path without
// anything past a NUL, or the empty text when the user cancels.
std::string BrowseForFolder(UserInterface& ui, const std::string& prompt,
                            const std::string& initialFolder);

// Appends to the list every reachable sub-folder, level by level, each ending in a
// separator. Folders that refuse listing are removed from the list. A sub-folder that leads
// back to one of its own ancestors (a symbolic link above) is not entered, so the walk ends.
void GetSubDirectories2016(UserInterface& ui, std::vector<std::string>& folders, bool recurse,
                           const FolderSystem& fs = platformFolders());

// True when the name is not valid UTF-8 or holds a character below 32, from 127 to 159,
// or "?".
bool NameHasOddCharacters(const std::string& name);

// The files of the folder that match the pattern and can be opened.
FileNameSequence GetFilesInFolder(const std::string& folder, const std::string& pattern,
                                  const FolderSystem& fs = platformFolders());

// True when the path names an existing regular file (a symbolic link to one counts).
bool FileIsPresent(const std::string& path);

} // namespace qm
