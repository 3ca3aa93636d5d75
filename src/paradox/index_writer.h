#pragma once

// Rebuilding the index files of a Paradox table from its data, block for block as the BDE lays
// them out, so that Paradox programs take them for their own.
//
// A keyed file (a keyed .db, or the data file .Xnn/.XGn of a secondary index, itself a keyed
// table of the index fields, the primary key and a block hint) holds its records in key order in
// full blocks, chained 1, 2, 3 ... as the BDE writes it when it builds the file in one go. A tree
// index (.PX over a .db, .Ynn/.YGn over an .Xnn/.XGn) has one leaf entry per block of the file it
// indexes: the block's first key, its number and its record count. The BDE builds the tree by
// appending: a full block is not split but followed by a new one, linked right after it, and a
// root that fills up gets a new root above it, linked right after the old one. Its blocks keep
// one entry's room free.
//
// The header of a rebuilt file is the old file's header with only the counts, the chain ends and
// the root rewritten: every other byte (names, change counters, dates) stays as the BDE left it.

#include "paradox/table.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace qm::paradox {

// Whether we order keys as the table's sort order does. Byte order is the "ascii" sort order,
// which the corpus proves (its ascii tables' indexes come out identical); the other sort orders
// are collations of their own whose rules we do not have, so text keys under them cannot be
// placed.
bool sortOrderKnown(const Header& header);

// One leaf entry of a tree index: a block of the indexed file.
struct TreeLeaf {
    std::vector<std::uint8_t> key; // the block's first key, record encoding
    std::uint32_t block = 0;
    std::uint32_t count = 0; // records in the block
};

// Entries a tree index block holds: one less than would fit.
std::size_t treeBlockCapacity(std::size_t blockSize, std::size_t entrySize);

// The whole tree index file. header: the old index file's header (its headerSize bytes, which
// give the entry size and block size); leaves in chain order of the indexed file. Throws
// FormatError for a header that does not fit the leaves.
std::vector<std::uint8_t> buildTreeIndex(std::span<const std::uint8_t> header,
                                         const std::vector<TreeLeaf>& leaves);

// Records sorted in key order (recordSize bytes each, one after the other) laid into full
// blocks of blockSize, block n at (n - 1) * blockSize of the result; leaves get one entry per
// block with its first keyWidth bytes.
std::vector<std::uint8_t> packBlocks(std::span<const std::uint8_t> records, std::size_t recordSize,
                                     std::size_t blockSize, std::size_t keyWidth,
                                     std::vector<TreeLeaf>& leaves);

// The counts of a table file (.db, .Xnn) holding records in blocks 1..blocks, chained in order
// with no free block, written into its header.
void setTableCounts(std::span<std::uint8_t> header, std::uint32_t records, std::uint32_t blocks);

// The .PX of a keyed table as its data blocks stand. oldHeader: the header of its present .PX.
std::vector<std::uint8_t> rebuildPrimaryIndex(const Table& table,
                                              std::span<const std::uint8_t> oldHeader);

// A secondary index as its data file's header describes it.
struct SecondaryIndex {
    std::filesystem::path data;      // .Xnn or .XGn
    std::filesystem::path tree;      // .Ynn or .YGn; empty when there is none
    bool composite = false;          // .XGn: several fields, or named (case-insensitive ...)
    bool maintained = false;         // kept up to date by the BDE on every change (file type 5, 8)
    std::vector<std::size_t> fields; // table field indexes, in the index's order
    std::vector<bool> descending;    // per index field
    bool caseInsensitive = false;    // Alpha keys stored upper-cased
    // Why this index cannot be rebuilt (a layout not known for certain); empty when it can.
    std::string unsupported;
};

// Reads the index's data file header. Throws FormatError for a file that cannot be read.
SecondaryIndex describeSecondaryIndex(const Table& table, const std::filesystem::path& data);

// Every secondary index of the table (its family's .Xnn and .XGn files, each with its tree).
std::vector<SecondaryIndex> secondaryIndexesOf(const Table& table);

// The rebuilt files of a secondary index: its data file and, when it has one, its tree.
struct SecondaryFiles {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> tree;
};

// Rebuilds both files of a supported index from the table as it stands, keeping the headers of
// the present files. Throws FormatError when the index is not supported or the table holds a
// value its rules cannot place (a case-insensitive key with letters beyond ASCII).
SecondaryFiles rebuildSecondaryIndex(const Table& table, const SecondaryIndex& index);

} // namespace qm::paradox
