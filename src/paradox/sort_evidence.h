#pragma once

// Whether a table's text follows byte order ("ascii", the one order of text we rebuild indexes
// in). Its header says so from level 4 on. A level 3 header names no order, so there the table's
// own data decides, where it can: its records in key order, and the entries of its secondary
// indexes, must all be in byte order, and at least one neighbouring pair must be one that every
// dictionary order (every other order Paradox has puts "a" and "A" together) would put the other
// way round: first differing at a capital before a small letter of an earlier letter ("Zeta"
// before "alpha"). Data that fits both leaves the order undecided.

#include "paradox/table.h"

namespace qm::paradox {

bool textInByteOrder(const Table& table);

} // namespace qm::paradox
