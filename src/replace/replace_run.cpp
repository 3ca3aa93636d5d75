#include "replace/replace_run.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "db/paradox_backend.h"
#include "db/working_database.h"
#include "db/write_back_session.h"
#include "paradox/family_swap.h"
#include "paradox/table.h"
#include "replace/run_boxes.h"
#include "replace/run_context.h"
#include "replace/run_history.h"
#include "replace/run_report.h"
#include "replace/run_search.h"
#include "replace/run_setup.h"
#include "replace/table_run.h"

#include <algorithm>
#include <optional>

namespace qm {

namespace fs = std::filesystem;

namespace {

// The ticked rows from index `from` on, which the run ended before: named, none changed.
void addNotReached(RunResult& result, const RunInputs& in, std::size_t from,
                   const std::string& reason) {
    for (std::size_t j = from; j < in.rows.size(); ++j)
        if (in.rows[j].ticked) {
            TableOutcome left;
            left.table = in.rows[j].table;
            left.reason = reason;
            left.reached = false;
            result.tables.push_back(std::move(left));
        }
}

void showEndOfRun(UserInterface& ui, const RunResult& result, const RunInputs& in,
                  const RunOptions& options, const RunSetup& setup) {
    const bool clean = result.end == RunResult::End::Completed && result.clean();
    const bool found = runCounts(result.tables).hits > 0;
    const Icon icon = !clean ? Icon::Exclamation : found ? Icon::None : Icon::Information;
    ui.detailedBox(endOfRunText(result, in, options.dryRun),
                   endOfRunDetails(result, options.dryRun, setup.changeLog, setup.backupRoot),
                   Buttons::Ok, icon, "");
}

// What a run changed, in the words its undo record keeps.
std::string runWhat(const RunInputs& in) {
    std::string what =
        in.selectedTab == 0
            ? "find " + quoted(in.findText) + ", replace with " + quoted(in.replaceText)
            : std::to_string(in.setFind.size()) + " find and replace set(s)";
    if (!in.search.plain())
        what += " (" + in.search.describe() + ")";
    return what;
}

} // namespace

std::string endOfRunReport(const RunResult& result) {
    if (result.clean())
        return {};
    if (result.end == RunResult::End::Busy)
        return result.failure;
    constexpr std::size_t kMostReasons = 8;
    std::string text = result.end == RunResult::End::Failed
                           ? "The run stopped on an error: " + result.failure + "\r\n"
                           : "The run is over, but not everything was replaced:\r\n";
    for (const auto& t : result.tables) {
        const bool notWritten = t.writeBack == TableOutcome::WriteBack::NotWritten;
        if (!notWritten && t.leftUnchanged.empty())
            continue;
        text += "\r\nTable " + t.table.name + " in " + t.table.folder + ":\r\n";
        for (std::size_t i = 0; i < t.leftUnchanged.size() && i < kMostReasons; ++i) {
            const auto& l = t.leftUnchanged[i];
            text += "- " + std::to_string(l.count) + " replacement(s) in column " + l.column +
                    " were not made: " + l.reason + ".\r\n";
        }
        if (t.leftUnchanged.size() > kMostReasons)
            text += "- and " + std::to_string(t.leftUnchanged.size() - kMostReasons) +
                    " more kind(s) of refusal.\r\n";
        if (notWritten)
            text += "- Not written back, the table keeps its files: " + t.reason + ".\r\n";
    }
    text += "\r\nEvery other ticked table was written back, or needed no change. The change log "
            "lists every hit.";
    if (!result.search.empty())
        text += "\r\nSearched with: " + result.search + ".";
    return text;
}

namespace {

// The run stopped on a failure it cannot go on from: the person sees why and gets the pointer
// back, and the ticked tables it never reached are named too (none of them was changed).
void endOnFailure(RunContext& run, const Error& e, std::size_t reached) {
    run.result.end = RunResult::End::Failed;
    run.result.failure = e.description();
    run.result.failureLine = run.trap.currentLine();
    TableOutcome* current = run.watch.table;
    if (current && current->writeBack == TableOutcome::WriteBack::NotWritten &&
        current->reason.empty())
        current->reason = "the run stopped before it was written back";
    run.ui.setPointer(PointerState::Default);
    // Counted against the table it happened in: shown unless that table had its box.
    run.ui.setSafePoint(false);
    run.trap.report(e.description());
    run.ui.beginTable(nullptr);
    run.watch.table = nullptr;
    addNotReached(run.result, run.in, reached, "the run stopped before it reached this table");
}

// Stopped at a safe point on request: the table in progress never reached its write-back.
void endOnCancel(RunContext& run, std::size_t reached) {
    run.result.end = RunResult::End::Cancelled;
    run.ui.setSafePoint(false);
    run.ui.beginTable(nullptr);
    if (TableOutcome* current = run.watch.table) {
        current->writeBack = TableOutcome::WriteBack::NotWritten;
        current->valuesChanged = 0;
        current->leftUnchanged.clear();
        current->reason = "the run was cancelled before it was written back; it keeps its files";
        if (current->hits > 0 && !run.options.dryRun)
            current->reason += " (the change log holds " + std::to_string(current->hits) +
                               " line(s) of it for changes that were not made)";
    }
    run.watch.table = nullptr;
    addNotReached(run.result, run.in, reached,
                  "the run was cancelled before it reached this table");
    run.ui.setPointer(PointerState::Default);
}

// Every ticked table in list order; reached counts the rows dealt with or begun.
void runTables(RunContext& run, std::size_t& reached) {
    for (std::size_t i = 0; i < run.in.rows.size(); ++i) {
        // Between two tables is the first safe point: nothing of the next one is touched.
        run.watch.table = nullptr;
        run.ui.beginTable(nullptr);
        run.ui.checkCancel();
        reached = i + 1;
        if (run.in.rows[i].ticked) {
            runTable(run, i);
            if (run.setup.workingHold)
                run.setup.workingHold->emptyLog();
        }
    }
}

} // namespace

RunResult runReplace(UserInterface& outerUi, const RunInputs& in, const RunOptions& options) {
    // One error box per table, and the cancel request heard inside the import.
    RunBoxes ui(outerUi, options.cancel);
    RunResult result;
    if (in.rows.empty()) {
        result.end = RunResult::End::EmptyList;
        return result;
    }
    const auto ticked = static_cast<std::size_t>(
        std::count_if(in.rows.begin(), in.rows.end(), [](const auto& r) { return r.ticked; }));
    if (ticked == 0) {
        ui.messageBox("Please select a table", Buttons::Ok, Icon::None, "");
        result.end = RunResult::End::NoneTicked;
        return result;
    }
    const std::optional<RunSetup> setup = setUpRun(ui, in, options, result);
    if (!setup)
        return result;

    db::WriteBackSession writeBack(setup->backupRoot, options.dryRun);
    RunRecorder recorder(setup->backupRoot, runWhat(in));
    ui.setPointer(PointerState::Busy);
    Trap trap(ui, where::form2("PushButton1_Click"));
    RunWatch watch;
    trap.setFilter([&](const Error& e) { return watch.onError(e); });
    RunProgressTeller progress(options, result, ticked);
    ChangeLogWriter changeLog(setup->changeLog);
    RunContext run{ui,    in,       options, *setup,    writeBack, recorder, trap,
                   watch, progress, result,  changeLog, {},        {}};
    std::size_t reached = 0; // rows before this one were dealt with or begun
    try {
        runTables(run, reached);
        ui.setPointer(PointerState::Default);
        ui.processEvents();
        result.end = RunResult::End::Completed;
    } catch (const Error& e) {
        endOnFailure(run, e, reached);
    } catch (const RunCancelled&) {
        endOnCancel(run, reached);
    }
    db::compactWorkingDatabase();
    if (options.endOfRunBox)
        showEndOfRun(ui, result, in, options, *setup);
    return result;
}

} // namespace qm
