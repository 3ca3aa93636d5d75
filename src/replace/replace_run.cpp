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
#include "replace/run_history.h"
#include "replace/run_report.h"
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

std::string staleLocksQuestion(const std::vector<fs::path>& stale) {
    std::string text = "Lock files of Paradox programs lie beside the tables, but no program holds "
                       "them; a program that ended without removing them left them:\r\n";
    for (const auto& p : stale)
        text += "\r\n" + p.string();
    text += "\r\n\r\nIf no Paradox program is using these tables, you can go on. Go on?";
    return text;
}

std::string unreadableChecksQuestion(const std::string& table, const std::string& why) {
    return "The validity checks of table " + table + " cannot be read (" + why +
           "), so its new values cannot be tested against them.\r\n\r\nChange the values of " +
           table + " without testing them?";
}

std::vector<std::string> tableColumns(const TableRow& row) {
    const auto table = paradox::Table::open(db::findTableFile(row.folder, row.name));
    std::vector<std::string> names;
    for (const auto& f : table.fields())
        names.push_back(f.name);
    return names;
}

std::vector<Matcher> runMatchers(const RunInputs& in) {
    std::vector<Matcher> matchers;
    // An empty find text would hit every value and change none, and still write a change-log
    // line for each of those hits.
    constexpr const char* kEmptyFind =
        "the find text is empty; an empty find text hits every value and changes none";
    if (in.selectedTab == 0) {
        if (in.findText.empty())
            throw PatternError(kEmptyFind);
        matchers.emplace_back(in.findText, in.replaceText, in.search);
    } else if (in.selectedTab == 1) {
        const std::size_t sets =
            std::min<std::size_t>(std::min(in.setFind.size(), in.setReplace.size()), 32767);
        matchers.reserve(sets);
        for (std::size_t s = 0; s < sets; ++s) {
            try {
                if (in.setFind[s].empty())
                    throw PatternError(kEmptyFind);
                matchers.emplace_back(in.setFind[s], in.setReplace[s], in.search);
            } catch (const PatternError& e) {
                throw PatternError("set " + std::to_string(s + 1) + ": " + e.what());
            }
        }
    }
    return matchers;
}

std::string checkSearch(const RunInputs& in) {
    try {
        (void)runMatchers(in);
    } catch (const PatternError& e) {
        return e.what();
    }
    return unknownColumns(in);
}

bool RunResult::clean() const {
    if (end == End::Failed || end == End::Busy)
        return false;
    return std::all_of(tables.begin(), tables.end(), [](const TableOutcome& t) {
        return t.leftUnchanged.empty() && t.writeBack != TableOutcome::WriteBack::NotWritten;
    });
}

std::vector<std::string> recoverInterruptedRuns(const fs::path& backupRoot) {
    return paradox::recoverPendingSwaps(backupRoot.empty() ? paradox::defaultBackupRoot()
                                                           : backupRoot);
}

void recoverInterruptedRuns(UserInterface& ui, const fs::path& backupRoot) {
    std::vector<std::string> recovered;
    try {
        recovered = recoverInterruptedRuns(backupRoot);
    } catch (const std::exception& e) {
        ui.messageBox(std::string("A previous run was interrupted, and what it left could not all "
                                  "be put right; it is tried again at the next start: ") +
                          e.what(),
                      Buttons::Ok, Icon::Exclamation, appTitle());
        return;
    }
    if (recovered.empty())
        return;
    std::string text = "A previous run was interrupted. These tables were put back:";
    for (const auto& line : recovered)
        text += "\r\n" + line;
    ui.messageBox(text, Buttons::Ok, Icon::Information, appTitle());
}

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
        if (run.in.rows[i].ticked)
            runTable(run, i);
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
