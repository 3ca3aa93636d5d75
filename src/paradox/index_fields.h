#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qm::paradox {

// The field names that a secondary index file (.Xnn or composite .XGn) lists: the index's own
// fields first, then the primary key and the index's bookkeeping fields. A table field named
// there is covered by the index. Throws FormatError or FileError for a file that cannot be read.
std::vector<std::string> indexFieldNames(const std::filesystem::path& index);

} // namespace qm::paradox
