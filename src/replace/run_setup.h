#pragma once

// What a replace run makes sure of before it touches a table, in order: a search that can run,
// the run locks, tables a killed run left aside put back, a change log that is the user's own
// file, no lock file nobody vouches for, and a dry run's scratch folder. A run that cannot start
// says why and changes nothing.

#include "replace/matcher.h"
#include "replace/replace_run.h"
#include "replace/run_lock.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// The scratch folder of a dry run: table copies and the backups of their write-back live and die
// here, so the real tables and the real backup folder never see the run.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

    // A copy of the table's family in a folder of its own; returns that folder.
    std::filesystem::path copyOf(const TableRow& row, std::size_t index) const;

  private:
    std::filesystem::path path_;
};

struct RunSetup {
    std::vector<Matcher> matchers;
    std::filesystem::path changeLog;
    // Closes each change-log line: how its pair was applied (empty for a plain search).
    std::string changeLogNote;
    // The run's own backup folder, a dry run's too: its lock and the journals of killed runs
    // are there, not in the scratch folder.
    std::filesystem::path backupRoot;
    std::optional<RunLock> lock;
    std::unique_ptr<ScratchFolder> scratch; // a dry run's

    // Where the write-back keeps old files: the scratch folder's for a dry run.
    std::filesystem::path writeBackRoot() const;
};

// The column names of the run's choice that no ticked table has, in words; empty when none.
std::string unknownColumns(const RunInputs& inputs);

// The setup, or nothing when the run cannot start: then result holds how it ended and why, and
// the person was told.
std::optional<RunSetup> setUpRun(UserInterface& ui, const RunInputs& inputs,
                                 const RunOptions& options, RunResult& result);

} // namespace qm
