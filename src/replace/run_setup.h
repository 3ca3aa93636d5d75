#pragma once

// What a replace run makes sure of before it touches a table, in order: a search that can run,
// the run locks, tables a killed run left aside put back, a change log that is the user's own
// file, no lock file nobody vouches for. A run that cannot start says why and changes nothing.

#include "app/user_interface.h"
#include "db/working_database_hold.h"
#include "paradox/folder_listing.h"
#include "replace/matcher.h"
#include "replace/run_lock.h"
#include "replace/run_types.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

struct RunSetup {
    std::vector<Matcher> matchers;
    std::filesystem::path changeLog;
    // Closes each change-log line: how its pair was applied (empty for a plain search).
    std::string changeLogNote;
    // The run's own backup folder, a dry run's too: its lock and the journals of killed runs
    // are there.
    std::filesystem::path backupRoot;
    std::optional<RunLock> lock;
    // Open from the lock to the end of the run (db/working_database_hold.h).
    std::unique_ptr<db::WorkingDatabaseHold> workingHold;
    // The folders of the tables as the run lists them once, after the recovery: every table of
    // a folder finds its files and lock files in one listing (paradox/folder_listing.h).
    mutable paradox::FolderListings listings;
};

// The question the run asks about lock files nobody holds (a Yes/No box).
std::string staleLocksQuestion(const std::vector<std::filesystem::path>& stale);

// The setup, or nothing when the run cannot start: then result holds how it ended and why, and
// the person was told.
std::optional<RunSetup> setUpRun(UserInterface& ui, const RunInputs& inputs,
                                 const RunOptions& options, RunResult& result);

} // namespace qm
