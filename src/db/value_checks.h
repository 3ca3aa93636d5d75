#pragma once

// The checks a value passes on its way into a column of a working copy, as Jet made them: a text
// in a number or date column, or a number that is none, is a type mismatch; a text longer than
// its Text column is refused. The refusals' texts are those a person reads in the end report.

#include "db/jet_types.h"

#include <cstddef>
#include <optional>
#include <string>

namespace qm::db {

[[noreturn]] void typeMismatch();

// value: NULL passes; isText: the value came as a quoted text rather than a number.
void checkValue(const JetColumn& column, const std::optional<std::string>& value, bool isText);

// A decimal number as Jet reads one from text: optional sign, digits with an optional point,
// optional exponent, blanks around allowed.
bool looksNumeric(const std::string& text);
// YYYY-MM-DD, optionally followed by a blank and HH:MM:SS[.mmm]; or HH:MM:SS[.mmm] alone. The
// year may have a sign and more than four digits: a Paradox date holds any day number, and the
// working copy must take every date the table holds, or a copy of every record would fail where
// a copy of the hit records alone succeeds.
bool looksLikeDateTime(const std::string& text);

} // namespace qm::db
