#include "cli/summary.h"

namespace qm::cli {

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
