#pragma once

// Replacing the files of a Paradox table so that nothing is destroyed before its replacement is
// complete, and so that a process killed at any moment leaves the table either exactly as it was
// or exactly as it was meant to become.
//
// The new files are written under temporary names in the table's own folder. commit() then
//   1. flushes the new files and writes the journal ("prepared": which names go where),
//   2. renames every old file aside (a temporary name in the same folder),
//   3. renames every new file to its final name and flushes the folder,
//   4. marks the journal "committed",
//   5. moves the old files to the backup folder, outside the Paradox folder,
//   6. removes the journal.
// recoverPendingSwaps() finishes or undoes what a killed process left: before "committed" the old
// files go back and the new ones are removed; after it, the old files go on to the backup folder.
// The journal lives under the backup root, which the caller passes to both.

#include "paradox/family_files.h"
#include "paradox/family_print.h"
#include "paradox/swap_steps.h"
#include "paradox/writer.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm::paradox {

// Where old table files go: $XDG_DATA_HOME (or ~/.local/share) + "/Quillmend/backups".
std::filesystem::path defaultBackupRoot();

// Thrown by FamilySwap::commit once the new files are in place: the table is its new version,
// but its old files could not all be moved to the backup folder. They wait in the table's folder
// under temporary names, and the next start moves them (the journal stays).
class ReplacedWithOldFilesLeft : public FileError {
  public:
    ReplacedWithOldFilesLeft(const std::string& what, int errnum,
                             std::filesystem::path backupFolder)
        : FileError(what, errnum), backupFolder_(std::move(backupFolder)) {}
    const std::filesystem::path& backupFolder() const { return backupFolder_; }

  private:
    std::filesystem::path backupFolder_;
};

// What a swap is about to do, told before it renames its first file.
struct PreparedSwap {
    std::filesystem::path db;           // the table's .db
    std::filesystem::path backupFolder; // where its old files go
    // The final name of each member and the file that holds it: now (the ones that leave the
    // folder), and once the swap is done (those that take their place, under their temporary
    // names still, and the members the swap leaves as they are).
    std::vector<std::pair<std::string, std::filesystem::path>> leaving, after;
};

// While one lives, every swap on this thread tells it what it is about to do before it renames
// anything, so that a record of the swap exists whenever the table has changed. A watcher that
// throws stops the swap with nothing changed.
class SwapWatch {
  public:
    explicit SwapWatch(std::function<void(const PreparedSwap&)> watcher);
    ~SwapWatch();
    SwapWatch(const SwapWatch&) = delete;
    SwapWatch& operator=(const SwapWatch&) = delete;

  private:
    std::function<void(const PreparedSwap&)> previous_;
};

class FamilySwap {
  public:
    // db: the table's .db path (it need not exist yet). backupRoot must not lie inside the
    // table's folder. Writes the journal before any file is created. Throws FileError.
    FamilySwap(const std::filesystem::path& db, const std::filesystem::path& backupRoot);
    // Not committed: every temporary file is removed and the journal dropped; the table's files
    // were never touched.
    ~FamilySwap();
    FamilySwap(const FamilySwap&) = delete;
    FamilySwap& operator=(const FamilySwap&) = delete;

    // The temporary path to write the new version of the member with this extension (".db",
    // ".mb", ".px", ...) to. Its final name is the existing member's name, whatever its case;
    // for a member that does not exist yet, the table's name with the extension in the case of
    // the .db's extension.
    std::filesystem::path newFile(const std::string& extension);
    // Makes a copy of from (its bytes, mode and time of change) the new file for extension.
    std::filesystem::path copyIn(const std::string& extension, const std::filesystem::path& from);
    // The temporary paths for a whole new family (db, mb, px), for TableWriter. Give the writer
    // finalPath(".db").filename() as TableSpec::tableName, or the header names the temporary.
    FamilyPaths newFamily(bool withMemo, bool withIndex);
    // Members present now that get no new file also leave the folder at commit (a table
    // rewritten as a whole: its old index or validity files must not outlive it).
    void retireRestOfFamily();

    // The family the new files were made from. commit() then replaces the table only while it is
    // still exactly that (its files, sizes and times checked under the share locks, and every
    // byte once the old files are aside) and throws TableChangedError otherwise.
    void expectFamily(FamilyPrint print);

    // Performs the swap, holding ShareLocks on the table meanwhile (TableInUseError when another
    // program holds it). On a failure the old files are put back before the error is thrown;
    // if even that fails, the journal stays for recoverPendingSwaps. A failure after the new
    // files are in place throws ReplacedWithOldFilesLeft. Returns the folder that received the
    // old files (empty when there were none).
    std::filesystem::path commit();

    // The final path a member's new file will have.
    std::filesystem::path finalPath(const std::string& extension) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Writes a whole new table in place of db's family (all of whose members go to the backup
// folder) or as a new table: fill adds the records to the writer. The header names the table by
// db's file name (or spec.tableName). Returns the backup folder (empty when there was no table).
std::filesystem::path replaceTable(const std::filesystem::path& db, TableSpec spec,
                                   const std::function<void(TableWriter&)>& fill,
                                   const std::filesystem::path& backupRoot,
                                   const FamilyPrint* expected = nullptr);

// Completes or undoes every swap a killed process left under backupRoot. Returns one line per
// swap dealt with, saying which table and what was done. Throws FileError only when a journal
// cannot be acted upon (it is then kept for the next attempt).
std::vector<std::string> recoverPendingSwaps(const std::filesystem::path& backupRoot);

} // namespace qm::paradox
