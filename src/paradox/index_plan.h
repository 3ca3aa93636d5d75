#pragma once

// What a change to a field of the primary key or of a secondary index takes, and whether it can
// be made. A changed key puts the table's records back into key order (full blocks, as the BDE
// writes a keyed table in one go) and rebuilds its .PX and every secondary index, whose entries
// hold the key and the block each record is in; a changed field of a secondary index rebuilds
// the indexes that hold it. Such a change is refused where the rebuilt files could not be the
// BDE's: a sort order whose rules for text we do not have, an index whose layout is not known
// for certain; and where it would break the data: a key that would repeat, a key that another
// table's referential integrity or lookup refers to.

#include "paradox/change.h"
#include "paradox/index_writer.h"
#include "paradox/table.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qm::paradox {

struct IndexPlan {
    std::vector<bool> key;               // per field: part of the primary key
    std::vector<bool> indexed;           // per field: a field of a secondary index
    std::vector<std::string> refusal;    // per field: why a change cannot be made; "" when it can
    std::vector<SecondaryIndex> indexes; // every secondary index of the table
    bool hasPrimaryIndex = false;        // a keyed table with its .PX

    // The secondary indexes to rebuild when these fields change (all of them for a key field).
    std::vector<std::size_t> indexesFor(const std::vector<std::size_t>& fields) const;
};

// Reads the table's secondary index headers and the validity files of its folder.
IndexPlan planIndexes(const Table& table);

// The changes that would give two records the same primary key, taken out of changes (every
// key-field change of such a record) and returned. Another record's unchanged key counts.
std::vector<Change> dropRepeatedKeys(const Table& table, std::vector<Change>& changes);

// Puts the records of the keyed table at db (a file of ours, no one else's) into key order,
// in full blocks chained 1, 2, 3 ..., rewriting the file. Throws FormatError when two records
// have the same key.
void sortKeyedTable(const std::filesystem::path& db);

} // namespace qm::paradox
