#pragma once

// Whether a table's files may be replaced by a run, whoever runs it.

#include "db/catalogue.h"

#include <filesystem>
#include <string>

namespace qm {

// Why the run must not replace the table's files although the process might be able to: its
// folder or one of its family files has no write permission bit for anyone (read-only by its
// owner's wish, which holds for root too), or the process cannot write it. Empty when it may.
std::string readOnlyReason(const TableRow& row);
// The same for the table whose .db is db.
std::string readOnlyReason(const std::filesystem::path& db);

} // namespace qm
