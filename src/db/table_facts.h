#pragma once

// What a list of tables shows of each beside its name, read from the table's header alone: the
// front ends ask the engine instead of opening tables themselves.

#include <cstdint>
#include <filesystem>
#include <string>

namespace qm::db {

struct TableFacts {
    bool read = false;      // the header was read; the fields below hold its facts
    bool encrypted = false; // not read because the table is password-protected
    std::string why;        // not read: the reason, in words
    std::uint32_t records = 0;
    std::string level; // the file format, as "5.x"
    std::uint16_t codePage = 0;
};

TableFacts tableFacts(const std::filesystem::path& tableFile);

} // namespace qm::db
