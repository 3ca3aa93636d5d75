#include "replace/run_report.h"

#include "replace/backup_space.h"

#include <algorithm>

namespace qm {

namespace {

std::string count(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The first line of an error report: the failure itself, without where it happened.
std::string firstLine(const std::string& report) {
    return report.substr(0, report.find_first_of("\r\n"));
}

std::string countsLine(const RunCounts& c, bool dryRun) {
    std::string s = count(c.tables, "table", "tables") + ": " + count(c.hits, "hit", "hits") +
                    ", " + count(c.valuesChanged, "value", "values") +
                    (dryRun ? " would change, " : " changed, ") + std::to_string(c.written) +
                    (dryRun ? " to write back" : " written back");
    if (c.notWritten)
        s += ", " + std::to_string(c.notWritten) +
             (dryRun ? " would not be written back" : " not written back");
    if (c.refused)
        s += ", " + count(c.refused, "value", "values") + " left unchanged";
    return s + ".";
}

// At most this many tables are named in the box itself; the details name them all.
constexpr std::size_t kTablesInBox = 6;

// A table's name as a box gives it: with its folder when another table of the run has the
// same name (the list holds subfolders), so that "ZIPCODES, ZIPCODES" never happens.
std::string boxName(const TableOutcome& t, const std::vector<TableOutcome>& all) {
    const bool elsewhere = std::any_of(all.begin(), all.end(), [&](const TableOutcome& o) {
        return o.table.name == t.table.name && o.table.folder != t.table.folder;
    });
    return elsewhere ? t.table.name + " (" + t.table.folder + ")" : t.table.name;
}

} // namespace

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

RunCounts runCounts(const std::vector<TableOutcome>& tables) {
    RunCounts c;
    for (const auto& t : tables) {
        ++c.tables;
        c.hits += t.hits;
        c.valuesChanged += t.valuesChanged;
        switch (t.writeBack) {
        case TableOutcome::WriteBack::Written:
            ++c.written;
            break;
        case TableOutcome::WriteBack::Unchanged:
            ++c.unchanged;
            break;
        case TableOutcome::WriteBack::NotWritten:
            ++c.notWritten;
            break;
        }
        for (const auto& l : t.leftUnchanged)
            c.refused += l.count;
    }
    return c;
}

std::string runSummary(const std::vector<TableOutcome>& tables, const RunResult& result,
                       bool dryRun) {
    std::string text;
    for (const auto& t : tables) {
        text += t.table.name + " (" + t.table.folder + "): " + count(t.hits, "hit", "hits") + ", " +
                count(t.valuesChanged, "value", "values") + (dryRun ? " would change" : " changed");
        switch (t.writeBack) {
        case TableOutcome::WriteBack::Written:
            text += dryRun ? ", would be written back" : ", written back";
            if (!t.backupFolder.empty())
                text += " (old files in " + t.backupFolder.string() + ")";
            if (!t.reason.empty())
                text += "; note: " + t.reason;
            break;
        case TableOutcome::WriteBack::Unchanged:
            text += ", nothing to write back";
            if (!t.reason.empty())
                text += ": " + t.reason;
            break;
        case TableOutcome::WriteBack::NotWritten:
            text += dryRun ? ", would not be written back: " : ", not written back: ";
            text += t.reason.empty() ? "no reason was given" : t.reason;
            break;
        }
        text += "\n";
        for (const auto& l : t.leftUnchanged)
            text += "  refused: " + count(l.count, "value", "values") + " in column " + l.column +
                    ": " + l.reason + "\n";
        for (const auto& r : t.errorReports)
            text += "  error: " + firstLine(r) + "\n";
    }
    const RunCounts c = runCounts(tables);
    if (result.end == RunResult::End::Failed)
        text += "The run stopped on an error: " + result.failure + "\n";
    if (result.end == RunResult::End::Cancelled)
        text += "The run was cancelled.\n";
    if (!result.search.empty())
        text += "Searched with: " + result.search + ".\n";
    text += (dryRun ? "Dry run, nothing was written: " : "") + count(c.tables, "table", "tables") +
            ", " + std::to_string(c.written) + (dryRun ? " to write back, " : " written back, ") +
            std::to_string(c.unchanged) + " needing no change, " + std::to_string(c.notWritten) +
            " not written back, " + count(c.refused, "value", "values") + " refused.\n";
    return text;
}

namespace {

// Why a clean run found nothing. A run that found nothing must not read as a success: a blank at
// the end of the find text is the usual reason, and the quotes show it.
std::string nothingFound(const RunInputs& inputs) {
    if (inputs.selectedTab != 1)
        return "No value held the find text " + quoted(inputs.findText) + ".";
    const std::size_t n = std::min(inputs.setFind.size(), inputs.setReplace.size());
    if (n == 0)
        return "There are no find and replace sets, so nothing was searched for.";
    std::string why =
        n == 1 ? "No value held the find text " : "No value held any of the find texts ";
    for (std::size_t i = 0; i < n && i < 5; ++i)
        why += (i ? ", " : "") + quoted(inputs.setFind[i]);
    if (n > 5)
        why += " and " + std::to_string(n - 5) + " more";
    return why + ".";
}

std::string endHeadline(const RunResult& result) {
    switch (result.end) {
    case RunResult::End::Failed:
        return "The run stopped on an error: " + result.failure;
    case RunResult::End::Cancelled:
        return "The run was cancelled. Every table is either as it was or as the run meant it "
               "to become.";
    default:
        return "The run is over, but not everything was replaced.";
    }
}

// One line for a table that kept values or its files.
std::string tableProblem(const TableOutcome& t, const std::vector<TableOutcome>& tables) {
    std::string line = "\r\n" + boxName(t, tables) + ": ";
    // The box adds its own full stop to a reason that may end on one.
    const std::string why =
        t.reason.ends_with('.') ? t.reason.substr(0, t.reason.size() - 1) : t.reason;
    if (t.writeBack == TableOutcome::WriteBack::NotWritten)
        return line + "not written back, " + why +
               (t.hits ? " (" + count(t.hits, "hit", "hits") + " not replaced)" : "") + ".";
    return line + count(runCounts({t}).refused, "value", "values") + " left unchanged (column " +
           t.leftUnchanged.front().column + ": " + t.leftUnchanged.front().reason + ")";
}

// The first tables that kept values or their files, then those the run never reached.
std::string tablesInBox(const std::vector<TableOutcome>& tables) {
    std::vector<std::string> notReached;
    std::size_t named = 0, more = 0;
    std::string problems;
    for (const auto& t : tables) {
        if (t.reached == false) {
            notReached.push_back(boxName(t, tables));
            continue;
        }
        if (t.writeBack != TableOutcome::WriteBack::NotWritten && t.leftUnchanged.empty())
            continue;
        if (named == kTablesInBox) {
            ++more;
            continue;
        }
        ++named;
        problems += tableProblem(t, tables);
    }
    std::string text = problems.empty() ? "" : "\r\n" + problems;
    if (more)
        text +=
            "\r\n... and " + count(static_cast<long long>(more), "more table", "more tables") + ".";
    if (!notReached.empty()) {
        text += "\r\n\r\nNot reached, left as they were: ";
        for (std::size_t i = 0; i < notReached.size() && i < kTablesInBox; ++i)
            text += (i ? ", " : "") + notReached[i];
        if (notReached.size() > kTablesInBox)
            text += " and " + std::to_string(notReached.size() - kTablesInBox) + " more";
        text += ".";
    }
    return text;
}

std::string endOfRunBox(const RunResult& result, const RunInputs& inputs, bool dryRun) {
    const RunCounts c = runCounts(result.tables);
    const std::string counts = countsLine(c, dryRun);
    if (result.end == RunResult::End::Completed && result.clean()) {
        if (c.hits > 0)
            return (dryRun ? "Done (dry run, nothing was written).\r\n\r\n" : "Done.\r\n\r\n") +
                   counts;
        return nothingFound(inputs) + "\r\n\r\n" + counts + " Nothing was changed.";
    }
    return endHeadline(result) + "\r\n\r\n" + counts + tablesInBox(result.tables) +
           "\r\n\r\nThe details name every table.";
}

} // namespace

std::string recordFailureText(const RunResult& result) {
    if (result.unrecorded.empty())
        return {};
    if (result.runRecord.empty())
        return "No undo record could be kept: " + result.recordFailure;
    std::string files;
    for (const auto& f : result.unrecorded)
        files += (files.empty() ? "" : ", ") + f;
    return "The undo record of this run lacks " + files +
           "; undo puts back only the other tables: " + result.recordFailure;
}

std::string endOfRunText(const RunResult& result, const RunInputs& inputs, bool dryRun) {
    std::string text = endOfRunBox(result, inputs, dryRun);
    // The tables were written, but the way back the person counts on is missing: that belongs
    // in the box, not only in the details.
    if (const std::string missing = recordFailureText(result); !dryRun && !missing.empty())
        text += "\r\n\r\n" + missing;
    // A "Done." about a copy would let the person believe their own tables changed.
    if (!inputs.copiedFrom.empty())
        text += "\r\n\r\nThese tables are a copy: the run " +
                std::string(dryRun ? "read" : "worked on") + " the tables in " + inputs.copyFolder +
                ", made from " + inputs.copiedFrom + ", which " + (dryRun ? "is" : "was") +
                " not changed.";
    return text;
}

std::string endOfRunDetails(const RunResult& result, bool dryRun,
                            const std::filesystem::path& changeLog,
                            const std::filesystem::path& backupRoot) {
    std::string text = runSummary(result.tables, result, dryRun);
    if (dryRun) {
        text += "Nothing was written: no table, no change-log line, no backup.\n";
    } else {
        text += "Change log: " + changeLog.string() + "\n";
        text += "Old files of the tables written back: " + backupRoot.string() + "\n";
        if (const std::string backups = backupSpaceText(result, backupRoot); !backups.empty())
            text += backups + "\n";
        if (!result.runRecord.empty())
            text += "Undo Last Run (or quillmend undo " + result.runRecord +
                    ") puts these tables back.\n";
        if (const std::string missing = recordFailureText(result); !missing.empty())
            text += missing + "\n";
    }
    return text;
}

} // namespace qm
