#include "replace/backup_prune.h"

#include "app/installation.h"
#include "paradox/family_swap.h"
#include "paradox/pending_swaps.h"
#include "platform/files.h"
#include "replace/backup_space.h"
#include "replace/run_history.h"
#include "replace/run_lock.h"
#include "replace/run_recovery.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

namespace qm {

namespace fs = std::filesystem;

namespace {

fs::path normal(const fs::path& p) {
    fs::path n = fs::absolute(p).lexically_normal();
    return n.has_filename() ? n : n.parent_path();
}

// The moment of a run's first write-back, from its name (local time); -1 when it has none.
std::time_t startOf(const std::string& id) {
    std::tm tm{};
    if (std::sscanf(id.c_str(), "%4d%2d%2d-%2d%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// runs newest first; the ones the options leave out.
std::vector<RunRecord> chosen(const std::vector<RunRecord>& runs, const PruneOptions& o) {
    std::vector<RunRecord> out;
    const std::time_t before = std::time(nullptr) - std::time_t{86400} * o.olderThanDays;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::time_t start = startOf(runs[i].id);
        if (o.keep > 0 ? i >= static_cast<std::size_t>(o.keep)
                       : o.olderThanDays > 0 && start >= 0 && start < before)
            out.push_back(runs[i]);
    }
    return out;
}

// The names the program put in each backup folder of the run.
std::map<fs::path, std::set<std::string>> madeFiles(const RunRecord& run) {
    std::map<fs::path, std::set<std::string>> made;
    for (const auto& t : run.tables) {
        auto& names = made[normal(t.backupFolder)];
        names.insert("ORIGIN.txt");
        for (const auto& [name, digest] : t.old)
            names.insert(name);
    }
    return made;
}

// Empty when the folder may go: a real folder right under the backup root, not a journal's,
// holding only the regular files the run's record says the program put there.
std::string folderKept(const fs::path& folder, const std::set<std::string>& names,
                       const fs::path& root, const std::set<fs::path>& needed) {
    if (folder.parent_path() != root || folder.filename() == "runs" ||
        folder.filename() == "pending")
        return "its backup folder " + folder.string() + " is not one of " + root.string();
    if (needed.count(folder))
        return "an interrupted write-back still needs its backup folder " + folder.string();
    platform::FileStatus st;
    if (const int e = platform::linkStatus(folder, st))
        return e == ENOENT ? std::string() : folder.string() + ": " + std::strerror(e);
    if (!st.directory || st.symlink)
        return "its backup folder " + folder.string() + " is a link or not a folder";
    std::vector<std::string> entries;
    if (const int e = platform::listFolder(folder, entries))
        return folder.string() + " cannot be read: " + std::strerror(e);
    for (const auto& entry : entries)
        if (!names.count(entry) || platform::linkStatus(folder / entry, st) != 0 || !st.regular)
            return folder.string() + " holds " + entry + ", which the program did not put there";
    return {};
}

// Removes what the program made in the run's backup folders, then its record: a prune that is
// stopped half way leaves a record whose missing old files undo names, and the next prune
// finishes it. Empty when all of it went.
std::string removeRun(const RunRecord& run) {
    for (const auto& [folder, names] : madeFiles(run)) {
        platform::FileStatus st;
        if (platform::linkStatus(folder, st) == ENOENT)
            continue;
        for (const auto& name : names)
            if (const int e = platform::removeFile(folder / name))
                return "cannot remove " + (folder / name).string() + ": " + std::strerror(e);
        std::error_code ec;
        fs::remove(folder, ec); // an empty folder only, and never what a link leads to
        if (ec)
            return "cannot remove " + folder.string() + ": " + ec.message();
    }
    if (const int e = platform::removeFile(run.file))
        return "cannot remove its record " + run.file.string() + ": " + std::strerror(e);
    return {};
}

PrunedRun prune(const RunRecord& run, const fs::path& root, const std::set<fs::path>& needed,
                bool dryRun) {
    PrunedRun p{run.id, run.tables.size(), runBackupBytes(run), {}};
    platform::FileStatus st;
    if (platform::linkStatus(run.file, st) == 0)
        p.bytes += st.size;
    for (const auto& [folder, names] : madeFiles(run))
        if (p.keptBecause = folderKept(folder, names, root, needed); !p.keptBecause.empty())
            return p;
    if (!dryRun)
        p.keptBecause = removeRun(run);
    return p;
}

} // namespace

bool PruneResult::clean() const {
    if (end != End::Completed)
        return false;
    for (const auto& r : runs)
        if (!r.keptBecause.empty())
            return false;
    return true;
}

PruneResult pruneBackups(const PruneOptions& options) {
    PruneResult result;
    const fs::path root =
        normal(options.backupRoot.empty() ? paradox::defaultBackupRoot() : options.backupRoot);
    result.backupRoot = root;
    fs::path workingDb;
    try {
        workingDb = workingDatabasePath();
    } catch (const std::exception& e) {
        result.failure = e.what();
        return result;
    }
    const RunLock lock = RunLock::acquire(workingDb, root);
    if (!lock.held()) {
        result.end = lock.state() == RunLock::State::Busy ? PruneResult::End::Busy
                                                          : PruneResult::End::Failed;
        result.failure = lock.reason();
        return result;
    }
    try {
        recoverInterruptedRuns(root);
    } catch (const std::exception&) {
        // What it could not finish stays in its journal, whose folder is kept below.
    }
    const paradox::PendingBackups pending = paradox::pendingBackupFolders(root);
    if (!pending.unreadable.empty()) {
        result.failure = "the swap journal " + pending.unreadable.front().string() +
                         " cannot be read, so the backup folder it needs cannot be told";
        return result;
    }
    const std::set<fs::path> needed(pending.folders.begin(), pending.folders.end());
    const auto runs = recordedRuns(root);
    result.end = PruneResult::End::Completed;
    result.runsLeft = runs.size();
    for (const auto& run : chosen(runs, options)) {
        result.runs.push_back(prune(run, root, needed, options.dryRun));
        if (result.runs.back().keptBecause.empty()) {
            result.freed += result.runs.back().bytes;
            --result.runsLeft;
        }
    }
    result.totalAfter = folderBytes(root);
    return result;
}

std::string pruneReport(const PruneResult& result, bool dryRun) {
    if (result.end != PruneResult::End::Completed)
        return "Nothing was removed: " + result.failure +
               (result.failure.ends_with('.') ? "\n" : ".\n");
    std::string text;
    std::size_t removed = 0;
    for (const auto& r : result.runs) {
        const std::string what = "run " + r.id + " (" + std::to_string(r.tables) +
                                 (r.tables == 1 ? " table, " : " tables, ") + sizeText(r.bytes) +
                                 ")";
        if (r.keptBecause.empty()) {
            ++removed;
            text += (dryRun ? "Would remove " : "Removed ") + what + "\n";
        } else {
            text += "Kept " + what + ": " + r.keptBecause + "\n";
        }
    }
    const auto runs = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " run" : " runs"); };
    text += (dryRun ? "Would remove " : "Removed ") + runs(removed) +
            (dryRun ? ", giving back " : ", gave back ") + sizeText(result.freed) + "; " +
            runs(result.runsLeft) + " kept. All backups " + (dryRun ? "take " : "now take ") +
            sizeText(result.totalAfter) + " in " + result.backupRoot.string() + ".\n";
    return text;
}

} // namespace qm
