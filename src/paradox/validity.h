#pragma once

// The validity checks a table keeps in its .VAL file (the 3.x layout, and that of 4.x and 5.x,
// which 7.x files share): per field, "required", a minimum, a maximum, a picture and a table
// lookup. A new value that breaks one of them is refused with the check's name, as Paradox itself
// would refuse it. A default is no check of a value the run writes.

#include "paradox/table.h"

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::paradox {

struct FieldChecks {
    bool required = false;
    std::optional<std::vector<std::uint8_t>> minimum; // record encoding of the field
    std::optional<std::vector<std::uint8_t>> maximum;
    std::optional<std::vector<std::uint8_t>> defaultValue;
    std::string picture;     // empty: none
    std::string lookupTable; // the table whose first field holds every value; empty: none
};

// One entry per field of the table (no check: a default FieldChecks). Empty when the table has no
// .VAL. Throws FormatError for a .VAL whose entries run past its end or name no field.
std::vector<FieldChecks> readValidityChecks(const Table& table);

// The text forms of the first field of lookupTable (a file name beside table), which a value of a
// field with that lookup must be one of. Throws when that table cannot be found or read.
std::set<std::string> lookupValues(const Table& table, const std::string& lookupTable);

// Why the table's .VAL cannot be read, empty when it can (or there is none).
std::string validityProblem(const Table& table);

// Whether a picture is well formed: every bracket closed, no repeat of nothing, no ";" last.
bool pictureParses(std::string_view picture);

// Whether text fits a Paradox picture: # digit, ? letter, & capital letter, ~ small letter,
// @ any character, ! any character but a small letter, ;c the character c, *n the next item n
// times (* alone: any number of times), [...] optional, {a,b,...} one of, and a comma between
// alternatives of the group it is in (the whole picture too); anything else itself.
// A letter is an ASCII letter or any character beyond ASCII.
bool matchesPicture(std::string_view picture, std::string_view text);

// The check of field that the new value breaks ("required", "minimum", "maximum",
// "picture \"...\""), empty when none. encoded: the value in record encoding (field width
// bytes); text: its text form. textOrdered: whether byte order is the table's order of text,
// without which a minimum or maximum of an Alpha field cannot be tested (then "minimum" or
// "maximum" is returned, so that nothing unchecked is written).
std::string brokenCheck(const FieldChecks& checks, const Field& field,
                        std::span<const std::uint8_t> encoded, std::string_view text,
                        bool textOrdered);

} // namespace qm::paradox
