#include "replace/run_types.h"

#include <algorithm>

namespace qm {

bool RunResult::clean() const {
    if (end == End::Failed || end == End::Busy)
        return false;
    return std::all_of(tables.begin(), tables.end(), [](const TableOutcome& t) {
        return t.leftUnchanged.empty() && t.writeBack != TableOutcome::WriteBack::NotWritten;
    });
}

} // namespace qm
