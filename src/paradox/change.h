#pragma once

// One field value to write into an existing table's record: what the patcher writes and what the
// index plan checks for repeated keys.

#include <cstddef>
#include <cstdint>
#include <string>

namespace qm::paradox {

struct Change {
    std::uint64_t recordOffset = 0; // file offset of the record in the .db (Record::fileOffset)
    std::size_t field = 0;          // field index
    std::string value;              // new value in the text form; UTF-8; "" is NULL
};

} // namespace qm::paradox
