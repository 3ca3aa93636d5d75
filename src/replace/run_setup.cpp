#include "replace/run_setup.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "app/installation.h"
#include "db/paradox_backend.h"
#include "paradox/family_swap.h"
#include "paradox/share_locks.h"
#include "platform/files.h"
#include "replace/change_log.h"
#include "replace/run_recovery.h"
#include "replace/run_search.h"

#include <algorithm>
#include <cstdlib>

namespace qm {

namespace fs = std::filesystem;

namespace {

// The table files the ticked rows lead to (rows that lead nowhere are left to the run's own
// checks).
std::vector<fs::path> tickedTableFiles(const RunInputs& in) {
    std::vector<fs::path> out;
    for (const auto& r : in.rows) {
        if (!r.ticked)
            continue;
        try {
            out.push_back(db::findTableFile(r.table.folder, r.table.name));
        } catch (const std::exception&) {
        }
    }
    return out;
}

// The search as the run applies it, or why it cannot run.
std::string prepareSearch(const RunInputs& in, RunSetup& setup, RunResult& result) {
    std::string refusal;
    try {
        setup.matchers = runMatchers(in);
        refusal = unknownColumns(in);
    } catch (const PatternError& e) {
        refusal = e.what();
    }
    if (!refusal.empty())
        return refusal;
    result.search = in.search.describe();
    if (!in.columns.all())
        result.search += (result.search.empty() ? "" : "; ") + in.columns.describe();
    // The window's choice per table is part of how the run searched, as the command line's is.
    for (std::size_t i = 0; i < in.rows.size() && i < in.rowColumns.size(); ++i)
        if (in.rows[i].ticked && !in.rowColumns[i].all())
            result.search += (result.search.empty() ? "" : "; ") + in.rows[i].table.name + " " +
                             in.rowColumns[i].describe();
    setup.changeLogNote = in.search.plain() ? "" : " (" + in.search.describe() + ")";
    return {};
}

std::string staleLocksRefusal(const std::vector<fs::path>& stale) {
    return "lock files that no program holds lie beside the tables (" + stale.front().string() +
           (stale.size() > 1 ? " and " + std::to_string(stale.size() - 1) + " more"
                             : std::string()) +
           ")";
}

} // namespace

std::string staleLocksQuestion(const std::vector<fs::path>& stale) {
    std::string text = "Lock files of Paradox programs lie beside the tables, but no program holds "
                       "them; a program that ended without removing them left them:\r\n";
    for (const auto& p : stale)
        text += "\r\n" + p.string();
    text += "\r\n\r\nIf no Paradox program is using these tables, you can go on. Go on?";
    return text;
}

std::optional<RunSetup> setUpRun(UserInterface& ui, const RunInputs& in, const RunOptions& options,
                                 RunResult& result) {
    const auto stop = [&](RunResult::End end, const std::string& why) -> std::optional<RunSetup> {
        result.end = end;
        result.failure = why;
        return std::nullopt;
    };
    const auto refuse = [&](RunResult::End end, const std::string& why) {
        ui.messageBox(why, Buttons::Ok, Icon::Exclamation, "");
        return stop(end, why);
    };
    RunSetup setup;
    // A search that cannot run is refused before any table is touched.
    if (const std::string why = prepareSearch(in, setup, result); !why.empty()) {
        ui.messageBox("The run cannot start: " + why + ".", Buttons::Ok, Icon::Exclamation, "");
        return stop(RunResult::End::Failed, why);
    }
    setup.changeLog = options.changeLog.empty() ? changeLogPath() : options.changeLog;
    setup.backupRoot =
        options.backupRoot.empty() ? paradox::defaultBackupRoot() : options.backupRoot;
    fs::path workingDb;
    try {
        workingDb = workingDatabasePath();
    } catch (const Error& e) {
        return refuse(RunResult::End::Failed, e.description());
    }
    setup.lock.emplace(RunLock::acquire(workingDb, setup.backupRoot));
    if (!setup.lock->held())
        return refuse(setup.lock->state() == RunLock::State::Busy ? RunResult::End::Busy
                                                                  : RunResult::End::Failed,
                      setup.lock->reason());
    setup.workingHold = std::make_unique<db::WorkingDatabaseHold>(workingDb);
    // A table a killed run left aside comes back before this run reads it.
    try {
        recoverInterruptedRuns(setup.backupRoot);
    } catch (const std::exception&) {
        // The journal stays for the next start, which reports it.
    }
    if (!options.dryRun) {
        if (const std::string why = changeLogProblem(setup.changeLog); !why.empty()) {
            showErrorReport(ui, why, where::form2("PushButton1_Click"), 0);
            return stop(RunResult::End::NotStarted, why);
        }
    }
    if (!options.ignoreStaleLocks) {
        const paradox::ListingScope listed(setup.listings);
        const auto stale = paradox::staleLockFiles(tickedTableFiles(in));
        if (!stale.empty() && ui.messageBox(staleLocksQuestion(stale), Buttons::YesNo,
                                            Icon::Question, "") != Answer::Yes)
            return stop(RunResult::End::NotStarted, staleLocksRefusal(stale));
    }
    return setup;
}

} // namespace qm
