#pragma once

// Trimming the safety net on request: the backup folders and run records of older runs go, the
// newest stay. Pruning holds the run locks, as a run and an undo do, and first finishes what
// killed runs left; it never touches a table, keeps every backup folder a swap journal still
// needs, and removes only what the program made: the old files and ORIGIN.txt a run record names,
// never through a link, and a folder only once nothing else is in it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm {

struct PruneOptions {
    int keep = 0;          // the newest runs kept, the older ones removed; 0: not by count
    int olderThanDays = 0; // runs whose first write-back is older are removed; 0: not by age
    bool dryRun = false;   // say what would go, remove nothing
    std::filesystem::path backupRoot; // empty: paradox::defaultBackupRoot()
};

struct PrunedRun {
    std::string id;
    std::size_t tables = 0;
    std::uint64_t bytes = 0; // its backup folders and its record
    std::string keptBecause; // empty: removed (or, in a dry run, it would be)
};

struct PruneResult {
    enum class End {
        Completed, // every run chosen was dealt with (runs say how)
        Busy,      // another run or undo holds the run locks: nothing was removed
        Failed,    // the locks or the journals could not be used: nothing was removed
    };
    End end = End::Failed;
    std::string failure;
    std::filesystem::path backupRoot;
    std::vector<PrunedRun> runs; // the runs chosen, newest first
    std::size_t runsLeft = 0;    // recorded runs not removed
    std::uint64_t freed = 0;     // bytes given back (a dry run: that would be)
    std::uint64_t totalAfter = 0;
    // True when every run chosen was removed.
    bool clean() const;
};

PruneResult pruneBackups(const PruneOptions& options);

// What pruning did, one line per run chosen, then the room given back and what is left.
std::string pruneReport(const PruneResult& result, bool dryRun);

} // namespace qm
