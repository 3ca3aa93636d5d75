#include "cli/undo_commands.h"

#include "app/one_line.h"
#include "cli/summary.h"
#include "paradox/family_swap.h"
#include "replace/backup_space.h"
#include "replace/run_history.h"

#include <iostream>

namespace qm::cli {

namespace fs = std::filesystem;

namespace {

std::string state(const RunRecord& r) {
    std::size_t undone = 0;
    for (const auto& t : r.tables)
        undone += t.undone;
    if (undone == 0)
        return "written";
    return undone == r.tables.size() ? "undone" : "partly undone";
}

} // namespace

int listRecordedRuns() {
    const auto runs = recordedRuns();
    if (runs.empty()) {
        std::cerr << "quillmend: no run is recorded (a run that writes a table back keeps a "
                     "record for undo)\n";
        return kExitClean;
    }
    for (const auto& r : runs) {
        std::cout << r.id << '\t' << r.tables.size()
                  << (r.tables.size() == 1 ? " table" : " tables") << '\t' << state(r) << '\t'
                  << sizeText(runBackupBytes(r)) << '\t' << oneLine(r.what) << '\n';
        for (const auto& t : r.tables)
            std::cout << '\t' << oneLine(t.db.string()) << (t.undone ? "\t(put back)" : "") << '\n';
    }
    // The runs' folders are not all there is: the files undo replaced, and journals, count too.
    const fs::path root = paradox::defaultBackupRoot();
    std::cout << "All backups take " << sizeText(folderBytes(root)) << " in " << root.string()
              << " (quillmend prune removes those of older runs).\n";
    return kExitClean;
}

int undoRecordedRun(const std::string& run, bool ignoreStaleLocks) {
    UndoOptions options;
    options.ignoreStaleLocks = ignoreStaleLocks;
    const UndoResult result = undoRun(run, options);
    switch (result.end) {
    case UndoResult::End::Busy:
        std::cerr << "quillmend: " << result.failure << "\n";
        return kExitBusy;
    case UndoResult::End::NoRun:
    case UndoResult::End::NoSuchRun:
    case UndoResult::End::Undone:
        std::cerr << "quillmend: nothing was put back: " << result.failure
                  << " ('quillmend runs' lists the runs that can be undone)\n";
        return kExitUsage;
    case UndoResult::End::Failed:
        std::cerr << "quillmend: nothing was put back: " << result.failure << "\n";
        return kExitUsage;
    case UndoResult::End::Completed:
    case UndoResult::End::Cancelled:
        break;
    }
    std::cout << undoReport(result) << std::flush;
    return result.clean() ? kExitClean : kExitIncomplete;
}

} // namespace qm::cli
