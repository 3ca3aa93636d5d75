#pragma once

// The search a replace run applies, and whether it can run at all: checked before anything else,
// by the window and the command line as they read it and by the run as it starts.

#include "db/catalogue.h"
#include "replace/matcher.h"
#include "replace/run_types.h"

#include <string>
#include <vector>

namespace qm {

// Why the run cannot start as asked, said before anything runs: an empty find text (of the pair
// or of a set), a find text that is not a valid regular expression, a replacement naming a group
// its pattern lacks, a column name of inputs.columns that no ticked table has. Empty when it can
// start.
std::string checkSearch(const RunInputs& inputs);

// The find/replace pairs of the selected tab as the run applies them: one for tab 0, one per set
// for tab 1. Throws PatternError.
std::vector<Matcher> runMatchers(const RunInputs& inputs);

// The column names of a listed table as the run sees them. Throws when it cannot be read.
std::vector<std::string> tableColumns(const TableRow& row);

// The column names of the run's choice that no ticked table has, in words; empty when none.
std::string unknownColumns(const RunInputs& inputs);

} // namespace qm
