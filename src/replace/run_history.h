#pragma once

// The way back from a run. Every run that writes a table back keeps a record of it in its backup
// folder (runs/<id>.run): for each table, where its files are, which folder got its old files and
// the digest of each, and the digest of every file of the table as the run left it. Undo puts a
// table's old files back through the same journalled swap as the write-back, under the same run
// lock and share locks, and only while the table's files are still byte for byte what the run
// wrote; the files it replaces go to a backup folder of their own, like any old files.

#include "paradox/family_swap.h"
#include "replace/run_control.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qm {

struct RunRecordTable {
    std::filesystem::path db;           // the table's .db (where a linked family really lives)
    std::filesystem::path backupFolder; // its old files
    std::vector<std::pair<std::string, std::string>> old;   // old file name, digest
    std::vector<std::pair<std::string, std::string>> files; // the family after the run, digest
    bool undone = false;
    // Recorded before its swap, which may or may not have happened (the run was killed, or the
    // swap failed): undo finds the table as it was or as the run wrote it.
    bool unconfirmed = false;
};

struct RunRecord {
    std::string id;   // local date and time of the first write-back: sorts oldest first
    std::string what; // the find and replace texts (or sets) in words
    std::filesystem::path file;
    std::vector<RunRecordTable> tables;
    // True when every table of the run was put back.
    bool undone() const;
};

// Kept by a run: the record is made before the first table's swap and rewritten (under a
// temporary name, flushed, renamed) before and after each further one, so that whenever a
// table has changed, a record names it.
class RunRecorder {
  public:
    RunRecorder(std::filesystem::path backupRoot, std::string what)
        : root_(std::move(backupRoot)), what_(std::move(what)) {}
    // Notes a table about to be swapped: the files that leave and the family as the swap leaves
    // it. Throws std::exception when the record cannot be written.
    void aboutToSwap(const paradox::PreparedSwap& swap);
    // Notes a table just written back: db as the swap replaced it, and the folder that got its
    // old files. Throws std::exception when the record cannot be written.
    void written(const std::filesystem::path& db, const std::filesystem::path& backupFolder);
    // Drops the note of a swap that did not happen (it failed and was undone).
    void notSwapped(const std::filesystem::path& backupFolder);
    const RunRecord& record() const { return record_; }

  private:
    void add(RunRecordTable t);
    std::filesystem::path root_;
    std::string what_;
    RunRecord record_;
};

// The record file of a new run begun in the second stamp ("YYYYMMDD-HHMMSS") in the runs folder:
// its id sorts after every id that second already used.
std::filesystem::path freshRunFile(const std::filesystem::path& runs, const std::string& stamp);

// Every run recorded under backupRoot (empty: paradox::defaultBackupRoot()), newest first.
std::vector<RunRecord> recordedRuns(const std::filesystem::path& backupRoot = {});

struct UndoOutcome {
    std::filesystem::path db;
    enum class State {
        PutBack,     // the old files are in place again
        Changed,     // its files are no longer what the run wrote: left alone
        InUse,       // another program holds the table: left alone
        Failed,      // it could not be put back (its old files are missing, say): left alone
        AlreadyDone, // an earlier undo put it back
        NotReached,  // the undo was cancelled before this table: left alone
    };
    State state = State::Failed;
    std::string reason;
    std::filesystem::path backupFolder; // where the files that undo replaced went (PutBack)
};

struct UndoOptions {
    std::filesystem::path backupRoot;    // empty: paradox::defaultBackupRoot()
    const CancelToken* cancel = nullptr; // asked before each table
    // Lock files beside a table that nobody holds keep it as it is, as they keep a run,
    // unless this is set.
    bool ignoreStaleLocks = false;
};

struct UndoResult {
    enum class End {
        Completed, // every table of the run was dealt with (outcomes say how)
        NoRun,     // no run is recorded that is not undone already
        NoSuchRun, // the run asked for is not recorded
        Undone,    // the run asked for was put back already
        Busy,      // another run holds the run locks: nothing was done
        Failed,    // the locks or the records could not be used: nothing was done
        Cancelled, // stopped between two tables on request
    };
    End end = End::Failed;
    std::string failure; // why, for every end but Completed and Cancelled
    RunRecord run;
    std::vector<UndoOutcome> tables; // the last written first
    // True when every table of the run is back as it was before it.
    bool clean() const;
};

// Puts back the tables of run `id` (empty: the newest run not yet undone), the last written
// first. Holds the run locks throughout and first finishes what killed runs left. Each table
// either ends as it was before the run or stays as it is; the record notes those put back.
UndoResult undoRun(const std::string& id, const UndoOptions& options = {});

// What an undo did: a first line ("Undone." when every table was put back), the counts, then
// one line per table.
std::string undoReport(const UndoResult& result);

// The newest run not yet undone under backupRoot; one with an empty id when there is none.
RunRecord lastUndoableRun(const std::filesystem::path& backupRoot = {});

} // namespace qm
