#include "cli/summary.h"

namespace qm::cli {

namespace {

std::string count(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::string runSummary(const std::vector<TableOutcome>& tables, const RunResult& result,
                       bool dryRun) {
    std::string text;
    long long written = 0, unchanged = 0, notWritten = 0, refused = 0;
    for (const auto& t : tables) {
        text += t.table.name + " (" + t.table.folder + "): " + count(t.hits, "hit", "hits") + ", " +
                count(t.valuesChanged, "value", "values") + (dryRun ? " would change" : " changed");
        switch (t.writeBack) {
        case TableOutcome::WriteBack::Written:
            ++written;
            text += dryRun ? ", would be written back" : ", written back";
            if (!t.backupFolder.empty())
                text += " (old files in " + t.backupFolder.string() + ")";
            if (!t.reason.empty())
                text += "; note: " + t.reason;
            break;
        case TableOutcome::WriteBack::Unchanged:
            ++unchanged;
            text += ", nothing to write back";
            if (!t.reason.empty())
                text += ": " + t.reason;
            break;
        case TableOutcome::WriteBack::NotWritten:
            ++notWritten;
            text += dryRun ? ", would not be written back: " : ", not written back: ";
            text += t.reason.empty() ? "no reason was given" : t.reason;
            break;
        }
        text += "\n";
        for (const auto& l : t.leftUnchanged) {
            refused += l.count;
            text += "  refused: " + count(l.count, "value", "values") + " in column " + l.column +
                    ": " + l.reason + "\n";
        }
    }
    if (result.end == RunResult::End::Failed)
        text += "The run stopped on an error: " + result.failure + "\n";
    if (!result.search.empty())
        text += "Searched with: " + result.search + ".\n";
    text += (dryRun ? "Dry run, nothing was written: " : "") +
            count(static_cast<long long>(tables.size()), "table", "tables") + ", " +
            std::to_string(written) + (dryRun ? " to write back, " : " written back, ") +
            std::to_string(unchanged) + " needing no change, " + std::to_string(notWritten) +
            " not written back, " + count(refused, "value", "values") + " refused.\n";
    return text;
}

int exitStatus(const std::vector<TableOutcome>& tables, const RunResult& result) {
    if (result.end == RunResult::End::Busy)
        return kExitBusy;
    if (result.end != RunResult::End::Completed)
        return kExitIncomplete;
    for (const auto& t : tables)
        if (!t.leftUnchanged.empty() || t.writeBack == TableOutcome::WriteBack::NotWritten)
            return kExitIncomplete;
    return kExitClean;
}

} // namespace qm::cli
