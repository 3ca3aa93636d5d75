#pragma once

// What a field of the Paradox table can take back from the working copy. The working copy holds
// Alpha, Memo, Money, Time and Logical values as plain text, wider than the field; the UPDATE of
// the replace run is refused, like a value too long for its column, when the field could not
// store the new text, or when the field is part of the primary key or of a secondary index and
// the table cannot be re-sorted or that index rebuilt (paradox/index_plan.h says why).

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::db {

struct FieldRule {
    enum class Kind { Any, Alpha, Memo, Money, Time, Logical, Frozen };
    Kind kind = Kind::Any;
    int size = 0;               // Alpha: bytes in the table's code page
    std::uint16_t codePage = 0; // Alpha and Memo
    std::string reason;         // Frozen: why
};

// One rule per field of the table, in field order. Reads the header of dbFile and the names of
// the secondary index files beside it. Throws what the reader throws.
std::vector<FieldRule> fieldRulesFor(const std::filesystem::path& dbFile);

// Empty when the field can take the text; otherwise why not.
std::string refusal(const FieldRule& rule, const std::string& text);

} // namespace qm::db
