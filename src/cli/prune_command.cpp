#include "cli/prune_command.h"

#include "cli/arguments.h"
#include "cli/summary.h"
#include "replace/backup_prune.h"

#include <iostream>

namespace qm::cli {

int pruneRecordedRuns(const Arguments& args) {
    PruneOptions options;
    options.keep = args.keep;
    options.olderThanDays = args.olderThanDays;
    options.dryRun = args.dryRun;
    const PruneResult result = pruneBackups(options);
    switch (result.end) {
    case PruneResult::End::Busy:
        std::cerr << "quillmend: " << result.failure << "\n";
        return kExitBusy;
    case PruneResult::End::Failed:
        std::cerr << "quillmend: nothing was removed: " << result.failure << "\n";
        return kExitUsage;
    case PruneResult::End::Completed:
        break;
    }
    std::cout << pruneReport(result, args.dryRun) << std::flush;
    return result.clean() ? kExitClean : kExitIncomplete;
}

} // namespace qm::cli
