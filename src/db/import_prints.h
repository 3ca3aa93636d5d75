#pragma once

// The print of each table's family as the import found it, kept for the write-back of the same
// process: a table that changed in between must not get values made from its old state.

#include "paradox/family_print.h"

#include <filesystem>
#include <optional>
#include <string>

namespace qm::db {

struct ImportPrint {
    paradox::FamilyPrint print;   // taken before the import read a record
    std::string changedWhileRead; // not empty: the family changed while the import read it
};

// Takes the print of db's family before its import reads it.
void notePrintBeforeImport(const std::filesystem::path& db);
// Compares db's family with the print noted before the import, once the import has read it.
void notePrintAfterImport(const std::filesystem::path& db);

// What was noted for db (the same file by whatever path), if anything.
std::optional<ImportPrint> importPrint(const std::filesystem::path& db);

// Empty when db is still as the import found it, or when no import of this process noted it;
// otherwise the reason it must not be written back (begins with kChangedDuringRun). It looks at
// the files, their sizes and modification times; the swap compares their bytes with the print
// taken before the import (FamilySwap::expectFamily).
std::string changedSinceImport(const std::filesystem::path& db);

} // namespace qm::db
