#pragma once

// Which records of a Paradox table the import copies into the working copy. The replace run
// copies only the records it can change: the WHERE of each of its UPDATEs compares a whole value
// that holds a find text, so a record none of whose searched values a find text hits is never
// touched, and the write-back leaves its bytes as they are whether it was copied or not.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qm::paradox {
class Table;
}

namespace qm::db {

class RecordFilter {
  public:
    virtual ~RecordFilter() = default;
    // From the stored bytes of a record of table (and its memo file): false only when no value
    // of the record can be hit AND every value of it can be read, so that leaving it out hides
    // no failure the import would have met. Throwing means it cannot tell.
    virtual bool mayHit(const paradox::Table& table, std::span<const std::uint8_t> record) = 0;
    // From the record's values as the working copy would hold them (in field order, nullopt for
    // Null or empty): whether a find text hits one of the searched ones.
    virtual bool hits(const std::vector<std::string>& fieldNames,
                      const std::vector<std::optional<std::string>>& values) = 0;
    // The record at this place in the table's order (from 0) became the next row of the copy.
    virtual void copied(long long record) = 0;
};

} // namespace qm::db
