#pragma once

#include "app/current_folder.h"
#include "app/user_interface.h"
#include "db/folders.h"

#include <string>

namespace qm {

// One row of the main window's table list. Its text is the table name; the folder (without
// a trailing separator) and the file name say where the table was found, so that a run
// works on that very file and never on a same-named table elsewhere.
struct TableRow {
    std::string name;
    std::string folder;
    std::string fileName;
    bool operator==(const TableRow&) const = default;
};

// What the catalogue needs from the table list: the window implements it over its list view.
class TableList {
  public:
    virtual ~TableList() = default;
    virtual void clear() = 0;
    // Adds an unchecked row at the end.
    virtual void appendUnchecked(const TableRow& row) = 0;
};

// The table name of a table file: the name upper-cased with every ".DB" removed.
std::string TableNameFromFile(const std::string& fileName);

// Fills the list with one row per table file of the current folder and of all its
// sub-folders, breadth-first. Reports failures itself and goes on.
void AddTablesToParadoxListbox(UserInterface& ui, const CurrentFolder& current, TableList& list,
                               const FolderSystem& fs = platformFolders());

// Whether the current folder itself (not its sub-folders) holds a table file. Failures go
// to the caller.
bool FolderHasParadoxTables(const CurrentFolder& current,
                            const FolderSystem& fs = platformFolders());

} // namespace qm
