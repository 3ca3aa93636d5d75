#pragma once

// Sharing a folder with Paradox programs.
//
// Programs of the Borland engine that share a folder announce themselves with lock files beside
// the tables: PDOXUSRS.LCK (the folder's users and their locks), PARADOX.LCK (the folder lock
// that keeps programs of the older protocol out), a table's own NAME.LCK, and the network
// control file PDOXUSRS.NET where it lies in the same folder. A program that uses them keeps them
// open and locked; over Samba and under Wine its Windows locks are POSIX record locks here. A lock
// file that exists but that nobody holds was left by a program that ended without removing it.
//
// The entries of the lock files are binary records whose layout is not published; what can be
// told from them is whether they name a table. So a table is taken to be in use when another
// process holds a lock on one of its family files or on its own .LCK, or holds a folder lock file
// that names the table or names none of the folder's tables (it cannot then be told which ones
// it guards).

#include "paradox/writer.h"
#include "platform/files.h"

#include <cerrno>

#include <filesystem>
#include <string>
#include <vector>

namespace qm::paradox {

// The words every report of a table held by someone else contains.
inline constexpr const char* kInUseByAnotherProgram = "in use by another program";

// True when another process (or another open file of this one) holds a POSIX record lock, an
// open-file-description lock or an flock (shared or exclusive) on any byte of file.
bool lockedByOthers(const std::filesystem::path& file);

// The lock files present beside db that concern it, names as on disk: the folder's PDOXUSRS.LCK,
// PARADOX.LCK and PDOXUSRS.NET, and db's own .LCK.
std::vector<std::filesystem::path> lockFilesOf(const std::filesystem::path& db);

// Empty when no other program holds db; otherwise the reason, which begins with
// kInUseByAnotherProgram and says which file showed it.
std::string tableInUse(const std::filesystem::path& db);

// The lock files beside these tables that exist although nobody holds them, each once.
std::vector<std::filesystem::path> staleLockFiles(const std::vector<std::filesystem::path>& tables);

// Another program holds the table: nothing was changed. reason() is tableInUse()'s text.
class TableInUseError : public FileError {
  public:
    explicit TableInUseError(const std::string& reason)
        : FileError("The table is " + reason + ".", EBUSY), reason_(reason) {}
    const std::string& reason() const { return reason_; }

  private:
    std::string reason_;
};

// While it lives, holds the locks a Paradox program honours before it touches the table: write
// locks on every file of db's family, on db's .LCK and on the folder's lock files (a read lock on
// a file this process may only read). Throws TableInUseError, having taken nothing, when another
// process holds db as tableInUse() tells it.
class ShareLocks {
  public:
    explicit ShareLocks(const std::filesystem::path& db);
    ~ShareLocks();
    ShareLocks(const ShareLocks&) = delete;
    ShareLocks& operator=(const ShareLocks&) = delete;

  private:
    std::vector<platform::File> held_;
};

} // namespace qm::paradox
