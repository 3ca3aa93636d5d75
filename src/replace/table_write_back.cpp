#include "replace/table_write_back.h"

#include "db/export.h"
#include "db/paradox_backend.h"
#include "paradox/family_swap.h"
#include "paradox/folder_listing.h"
#include "paradox/table.h"
#include "paradox/validity.h"
#include "replace/backup_space.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

namespace qm {

namespace fs = std::filesystem;

namespace {

std::function<void(const TableRow&, const std::string&)>& beforeWriteBackHook() {
    static std::function<void(const TableRow&, const std::string&)> hook;
    return hook;
}

// The hook between processes: another process may change the table while this one waits.
void pauseBeforeWriteBack(const TableRow& row) {
    const char* dir = std::getenv("QM_TEST_PAUSE_BEFORE_WRITE_BACK");
    if (!dir || !*dir)
        return;
    const fs::path folder(dir);
    std::error_code ec;
    if (FILE* f = std::fopen((folder / ("ready-" + row.name)).c_str(), "w"))
        std::fclose(f);
    for (int i = 0; i < 600 && !fs::exists(folder / ("go-" + row.name), ec); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TableOutcome::WriteBack outcomeOf(db::WriteBack::State state) {
    switch (state) {
    case db::WriteBack::State::Written:
        return TableOutcome::WriteBack::Written;
    case db::WriteBack::State::Unchanged:
        return TableOutcome::WriteBack::Unchanged;
    case db::WriteBack::State::NotWritten:
        break;
    }
    return TableOutcome::WriteBack::NotWritten;
}

// Notes a table just written back in the run's record. A record that cannot be kept leaves the
// table written as it is; the run says that no undo is offered for it.
void keepRecord(RunRecorder& recorder, RunResult& result, const TableRow& row,
                const fs::path& backupFolder) {
    std::string file = (fs::path(row.folder) / row.name).string();
    try {
        const fs::path db = paradox::realTableFile(db::findTableFile(row.folder, row.name));
        file = db.string();
        recorder.written(db, backupFolder);
        result.runRecord = recorder.record().id;
        // A record saved now holds the tables whose saving failed before it, too.
        std::erase_if(result.unrecorded, [&](const std::string& f) {
            const auto& held = recorder.record().tables;
            return std::any_of(held.begin(), held.end(),
                               [&](const RunRecordTable& t) { return t.db == f; });
        });
    } catch (const std::exception& e) {
        if (result.recordFailure.empty())
            result.recordFailure = e.what();
        result.unrecorded.push_back(file);
    }
}

// A swap noted in the record that did not happen: its table is as it was.
void dropUnswapped(RunRecorder& recorder) {
    std::vector<fs::path> unconfirmed;
    for (const auto& t : recorder.record().tables)
        if (t.unconfirmed)
            unconfirmed.push_back(t.backupFolder);
    for (const auto& folder : unconfirmed)
        try {
            recorder.notSwapped(folder);
        } catch (const std::exception&) {
            // Undo finds the table as it was before the run and says so.
        }
}

// A table with hits whose validity file cannot be read: its values go in untested only when the
// person says so, asked once for the table (the command line: --ignore-unreadable-checks).
// Returns the note for the end report, empty when the table's checks can be read.
std::string decideUntestedValues(RunContext& run, const TableRow& row, const CurrentFolder& folder,
                                 const TableOutcome& outcome) {
    if (outcome.hits == 0)
        return {};
    std::string why;
    try {
        why = paradox::validityProblem(
            paradox::Table::open(db::findTableFile(folder.get(), row.name)));
    } catch (const std::exception&) {
        return {}; // the write-back says why the table cannot be read
    }
    if (why.empty())
        return {};
    if (!run.options.ignoreUnreadableChecks &&
        run.ui.messageBox(unreadableChecksQuestion(row.name, why), Buttons::YesNoDefaultNo,
                          Icon::Question, "") != Answer::Yes)
        return {};
    run.writeBack.acceptUntestedValues(row.name);
    return "its values were written without testing its validity checks, which cannot be read (" +
           why + ")";
}

} // namespace

// Whether the disks of the table and of the backups can take its write-back; says why not in the
// outcome. Asked before any work on the table, so that a run on a full disk says so at once, and
// again just before the write-back, which the working database or the tables before it may have
// left with less room.
bool roomFor(RunContext& run, const fs::path& file, TableOutcome& outcome) {
    std::string why;
    try {
        why = roomToWriteBack(paradox::realTableFile(file), run.setup.backupRoot);
    } catch (const std::exception&) {
        return true; // links that cannot be followed: the write-back refuses them with the reason
    }
    outcome.reason = why;
    return why.empty();
}

std::string unreadableChecksQuestion(const std::string& table, const std::string& why) {
    return "The validity checks of table " + table + " cannot be read (" + why +
           "), so its new values cannot be tested against them.\r\n\r\nChange the values of " +
           table + " without testing them?";
}

void writeTableBack(RunContext& run, const TableRow& row, const CurrentFolder& folder,
                    long long records, TableOutcome& outcome) {
    if (beforeWriteBackHook())
        beforeWriteBackHook()(row, folder.get());
    pauseBeforeWriteBack(row);
    if (!roomFor(run, db::findTableFile(row.folder, row.name), outcome))
        return;
    const std::string untested = decideUntestedValues(run, row, folder, outcome);
    db::WriteBack back;
    run.progress.tell(RunProgress::Phase::WritingBack, records, records);
    {
        // The write-back finds the table's files in one listing of its own; its checks and the
        // swap look at the folder afresh (db/working_copy_write_back.cpp).
        paradox::FolderListings step;
        const paradox::ListingScope listed(step);
        // The record names the table before its swap touches it: a run killed at any moment
        // after leaves a record that undo can use. One that cannot be saved does not stop the
        // swap; the run then says that no undo is offered for the table.
        std::optional<paradox::SwapWatch> watch;
        if (!run.options.dryRun)
            watch.emplace([&](const paradox::PreparedSwap& swap) {
                try {
                    run.recorder.aboutToSwap(swap);
                } catch (const std::exception&) {
                    // written() below tries again once the swap is done.
                }
            });
        run.trap.step(
            128, [&] { back = db::sendTableToParadox(run.ui, folder, row.name, run.writeBack); });
    }
    if (run.watch.endedByStorage())
        return; // the export stopped before it touched the table
    for (const auto& l : back.leftOut)
        addLeft(outcome, l.column, l.reason, l.count);
    outcome.valuesChanged = back.valuesChanged;
    outcome.backupFolder = back.backupFolder;
    outcome.reason = back.reason;
    outcome.writeBack = outcomeOf(back.state);
    // The values written back count from now on: the last progress a watcher sees agrees with
    // the end report.
    run.progress.tell(RunProgress::Phase::WritingBack, records, records);
    if (!untested.empty() && outcome.writeBack == TableOutcome::WriteBack::Written)
        outcome.reason = outcome.reason.empty() ? untested : outcome.reason + "; " + untested;
    if (outcome.writeBack == TableOutcome::WriteBack::Written && !run.options.dryRun &&
        !back.backupFolder.empty())
        keepRecord(run.recorder, run.result, row, back.backupFolder);
    else
        dropUnswapped(run.recorder);
}

namespace testhooks {
void setBeforeWriteBackHook(std::function<void(const TableRow&, const std::string&)> hook) {
    beforeWriteBackHook() = std::move(hook);
}
} // namespace testhooks

} // namespace qm
