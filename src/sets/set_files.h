#pragma once

#include "app/user_interface.h"
#include "sets/set_lists.h"

#include <string>

namespace qm {

inline constexpr const char* kSaveSetsTitle = "Save";
inline constexpr const char* kSetFileFilter = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|";
// Explorer-style, long file names, read-only box ticked, multiple selection: 0x280201.
inline constexpr long kSaveSetsFlags = 0x80000 | 0x200000 | 0x1 | 0x200;
inline constexpr const char* kMissingSeparator = "You must enter separating character(s).";

// "Save Sets": asks for a file through the save dialog (opened in startFolder) and writes the
// sets to it. A name without a suffix gets ".txt", the files that "Load Sets" looks for.
void SaveSets(UserInterface& ui, const SetLists& lists, const std::string& startFolder = {});

// Asks before replacing an existing path, then writes one line per set: find text, "::",
// replace text, CR LF, in UTF-8. The file is written under a temporary name beside it and
// renamed into place only when complete, so a failure leaves the old file as it was.
// Failures throw qm::Error.
void SaveSetsToFile(UserInterface& ui, const std::string& path, const SetLists& lists);

// "Load" of the Load Sets dialog: appends the sets of the file, split at the separator, to
// the lists. Returns true when the dialog is to close, false when it stays open. Lines that do
// not hold the separator are skipped, and counted in skippedLines when it is given.
bool LoadSets(UserInterface& ui, const std::string& fileName, const std::string& separator,
              SetLists& lists, std::size_t* skippedLines = nullptr);

} // namespace qm
