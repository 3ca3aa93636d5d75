// The proof that our index files are the BDE's: every index of every corpus table is rebuilt
// from its table's data and compared with the file the BDE wrote, entry for entry and byte for
// byte. An index whose entries are not its table's (a non-maintained index left behind by later
// changes) is stale: it is named and left out, since no rebuild can match it.

#include "file_bytes.h"
#include "paradox/family_swap.h"
#include "paradox/index_writer.h"
#include "reference_compare.h"
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <map>
#include <set>

namespace qm::paradox {
namespace {

namespace fs = std::filesystem;
using qm::test::fileBytes;
using test::runReferenceDecoder;

void writeAll(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

// The bytes the format fixes: the header, and in every block of the chain its link words and
// the records it holds. The rest of a block is free space where the BDE leaves whatever was
// there before (a record moved to the next block, memory garbage), and the BDE of DOS days cut
// a file's last block short; neither is part of the format.
std::vector<std::uint8_t> fixedBytes(const std::vector<std::uint8_t>& f) {
    if (f.size() < 0x58)
        return f;
    const std::size_t rs = le16(f, 0), hs = le16(f, 2), bs = std::size_t{f[5]} * 1024;
    std::vector<std::uint8_t> out(f.begin(), f.begin() + static_cast<long>(std::min(hs, f.size())));
    const std::size_t blocks = le16(f, 0x0C);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t p = hs + b * bs;
        if (p + 6 > f.size() || rs == 0)
            break;
        const auto add = static_cast<std::int16_t>(le16(f, p + 4));
        const std::size_t used = 6 + (add < 0 ? 0 : static_cast<std::size_t>(add) + rs);
        out.insert(out.end(), f.begin() + static_cast<long>(p),
                   f.begin() + static_cast<long>(std::min(p + used, f.size())));
    }
    return out;
}

// Where two files differ in the bytes the format fixes, for the first few places.
std::string firstDifferences(const std::vector<std::uint8_t>& oursFile,
                             const std::vector<std::uint8_t>& theirsFile) {
    const auto ours = fixedBytes(oursFile), theirs = fixedBytes(theirsFile);
    if (ours == theirs)
        return {};
    std::string out;
    int shown = 0;
    if (ours.size() != theirs.size())
        out += "sizes " + std::to_string(ours.size()) + "/" + std::to_string(theirs.size()) + "; ";
    for (std::size_t i = 0; i < std::min(ours.size(), theirs.size()) && shown < 8; ++i)
        if (ours[i] != theirs[i]) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "at %zu of the fixed bytes: %02x/%02x; ", i, ours[i],
                          theirs[i]);
            out += buf;
            ++shown;
        }
    return out;
}

// Leaf entries of a tree index: the entries of the blocks no other entry points below, read
// by walking down from the root. Each entry as its raw bytes.
std::multiset<std::vector<std::uint8_t>> treeLeaves(const std::vector<std::uint8_t>& f) {
    std::multiset<std::vector<std::uint8_t>> out;
    const std::size_t rs = le16(f, 0), hs = le16(f, 2), bs = std::size_t{f[5]} * 1024;
    const std::size_t levels = f[0x20];
    std::vector<std::uint32_t> frontier;
    if (levels)
        frontier.push_back(le16(f, 0x1E));
    for (std::size_t level = levels; level-- > 0;) {
        std::vector<std::uint32_t> below;
        for (auto b : frontier) {
            const std::size_t p = hs + (b - 1) * bs;
            if (p + 6 > f.size())
                return {};
            const auto add = static_cast<std::int16_t>(le16(f, p + 4));
            const std::size_t n = add < 0 ? 0 : static_cast<std::size_t>(add) / rs + 1;
            for (std::size_t k = 0; k < n && p + 6 + (k + 1) * rs <= f.size(); ++k) {
                const auto* e = f.data() + p + 6 + k * rs;
                if (level == 0)
                    out.emplace(e, e + rs);
                else
                    below.push_back(
                        static_cast<std::uint32_t>((e[rs - 6] << 8 | e[rs - 5]) ^ 0x8000));
            }
        }
        frontier = std::move(below);
    }
    return out;
}

struct Tally {
    int identical = 0; // in every byte the format fixes
    int toTheByte = 0; // in every byte of the file
    std::vector<std::string> stale, unsupported, failed;
    std::set<std::string> sortOrders; // those whose indexes came out identical
};

void checkPrimary(const Table& table, const fs::path& px, Tally& tally) {
    const std::string name = fs::relative(px, qm::test::corpusDir()).string();
    const auto theirs = fileBytes(px);
    std::vector<std::uint8_t> ours;
    try {
        ours = rebuildPrimaryIndex(table,
                                   std::span<const std::uint8_t>(theirs.data(), le16(theirs, 2)));
    } catch (const std::exception& e) {
        tally.failed.push_back(name + ": " + e.what());
        return;
    }
    if (treeLeaves(ours) != treeLeaves(theirs)) {
        tally.stale.push_back(name + " (its leaves are not the table's blocks)");
        return;
    }
    if (const auto diff = firstDifferences(ours, theirs); !diff.empty()) {
        tally.failed.push_back(name + ": " + diff);
        return;
    }
    tally.toTheByte += ours == theirs;
    ++tally.identical;
    tally.sortOrders.insert(table.header().sortOrderID);
}

void checkSecondary(const Table& table, const SecondaryIndex& index, Tally& tally) {
    const std::string name = fs::relative(index.data, qm::test::corpusDir()).string();
    if (!index.unsupported.empty()) {
        // A count that differs shows a stale index whatever its layout.
        const auto head = fileBytes(index.data);
        const std::uint32_t entries =
            head.size() >= 10 ? static_cast<std::uint32_t>(head[6] | head[7] << 8 | head[8] << 16 |
                                                           std::uint32_t{head[9]} << 24)
                              : 0;
        if (entries != table.recordCount())
            tally.stale.push_back(name + " (" + std::to_string(entries) +
                                  " entries, the table holds " +
                                  std::to_string(table.recordCount()) + " records)");
        else
            tally.unsupported.push_back(name + ": " + index.unsupported);
        return;
    }
    SecondaryFiles ours;
    try {
        ours = rebuildSecondaryIndex(table, index);
    } catch (const std::exception& e) {
        tally.failed.push_back(name + ": " + e.what());
        return;
    }
    const auto theirs = fileBytes(index.data);
    qm::test::TempDir dir;
    const fs::path mine = dir.path() / index.data.filename();
    writeAll(mine, ours.data);
    const auto a = runReferenceDecoder(mine);
    const auto b = runReferenceDecoder(index.data);
    if (a.status != 0 || b.status != 0) {
        tally.failed.push_back(name + ": the reference decoder fails: " + a.stderrText +
                               b.stderrText);
        return;
    }
    // Same entries in another order would be our fault; other entries mean a stale index.
    std::multiset<std::string> ea(a.lines.begin() + 1, a.lines.end());
    std::multiset<std::string> eb(b.lines.begin() + 1, b.lines.end());
    if (ea != eb) {
        tally.stale.push_back(name + " (" + std::to_string(eb.size()) +
                              " entries, the table gives " + std::to_string(ea.size()) + ")");
        return;
    }
    if (a.lines != b.lines) {
        tally.failed.push_back(name + ": entries in another order");
        return;
    }
    if (const auto diff = firstDifferences(ours.data, theirs); !diff.empty()) {
        tally.failed.push_back(name + ": " + diff);
        return;
    }
    tally.toTheByte += ours.data == theirs;
    if (!index.tree.empty()) {
        const auto tree = fileBytes(index.tree);
        if (const auto diff = firstDifferences(ours.tree, tree); !diff.empty()) {
            tally.failed.push_back(fs::relative(index.tree, qm::test::corpusDir()).string() + ": " +
                                   diff);
            return;
        }
        tally.toTheByte += ours.tree == tree;
        ++tally.identical;
    }
    ++tally.identical;
    tally.sortOrders.insert(table.header().sortOrderID);
}

TEST(IndexRebuild, EveryCorpusIndexComesOutAsTheBdeWroteIt) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "no corpus beside the project";
    Tally tally;
    for (const auto& db : test::corpusTables()) {
        std::optional<Table> table;
        try {
            table.emplace(Table::open(db));
        } catch (const std::exception&) {
            continue; // encrypted or unreadable tables are the reader's tests' business
        }
        for (const auto& p : familyFiles(db)) {
            std::string ext = p.extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
            if (ext == ".px" && table->header().keyed())
                checkPrimary(*table, p, tally);
        }
        for (const auto& index : secondaryIndexesOf(*table))
            checkSecondary(*table, index, tally);
    }
    std::cout << "index files identical in every byte the format fixes: " << tally.identical
              << ", of them to the last byte of the file: " << tally.toTheByte << "\n";
    for (const auto& s : tally.stale)
        std::cout << "stale, left out: " << s << "\n";
    for (const auto& s : tally.unsupported)
        std::cout << "not rebuilt: " << s << "\n";
    std::cout << "sort orders of identical indexes:";
    for (const auto& s : tally.sortOrders)
        std::cout << " " << s;
    std::cout << "\n";
    for (const auto& f : tally.failed)
        ADD_FAILURE() << f;
    // Every index the corpus has is accounted for; byte order ("ascii") is proven.
    EXPECT_GE(tally.identical, 57);
    EXPECT_TRUE(tally.sortOrders.count("ascii"));
    Header ascii;
    ascii.sortOrderID = "ascii";
    EXPECT_TRUE(sortOrderKnown(ascii));
    for (const char* other : {"ANSII850", "DBWINUS0", "intl", "china", "ANSIINTL"}) {
        Header h;
        h.sortOrderID = other;
        EXPECT_FALSE(sortOrderKnown(h)) << other;
    }
}

} // namespace
} // namespace qm::paradox

namespace qm::paradox {
namespace {

// A tree index header for keys of width 1 in 1 KiB blocks: 94 entries fit a block, the BDE
// fills 93.
std::vector<std::uint8_t> smallTreeHeader(std::size_t entrySize) {
    std::vector<std::uint8_t> h(0x800, 0);
    h[0] = static_cast<std::uint8_t>(entrySize);
    h[2] = 0x00;
    h[3] = 0x08;
    h[4] = 1;
    h[5] = 1;
    return h;
}

std::vector<TreeLeaf> numberedLeaves(std::size_t n) {
    std::vector<TreeLeaf> leaves;
    for (std::size_t i = 0; i < n; ++i)
        leaves.push_back({{static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
                          static_cast<std::uint32_t>(i + 1),
                          1u});
    return leaves;
}

TEST(TreeIndex, GrowsByAppendingAndLinksNewBlocksAfterTheirLeftNeighbour) {
    // Entries of 8 bytes (2-byte keys): (1024 - 6) / 8 = 127 fit, 126 are used.
    const auto header = smallTreeHeader(8);
    EXPECT_EQ(treeBlockCapacity(1024, 8), 126u);
    const std::size_t n = 126 * 126 + 5; // one more leaf block than two levels hold
    const auto leaves = numberedLeaves(n);
    const auto f = buildTreeIndex(header, leaves);
    const std::size_t blocks = le16(f, 0x0C);
    ASSERT_EQ(f.size(), 0x800 + blocks * 1024);
    EXPECT_EQ(f[0x20], 3) << "three levels";
    // Leaves: ceil(n / 126) = 127 blocks; level 2: 2 blocks; a root: 130 in all.
    EXPECT_EQ(blocks, 130u);
    EXPECT_EQ(le16(f, 0x0E), 1);
    // Every block is in the one chain, which starts at block 1 and ends at the header's last.
    std::vector<int> seen(blocks + 1, 0);
    std::uint32_t at = 1, prev = 0, tail = 0;
    while (at) {
        ASSERT_LE(at, blocks);
        ASSERT_EQ(seen[at]++, 0) << "the chain loops";
        const std::size_t p = 0x800 + (at - 1) * 1024;
        EXPECT_EQ(le16(f, p + 2), prev);
        prev = at;
        tail = at;
        at = le16(f, p);
    }
    EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 1), static_cast<long>(blocks));
    EXPECT_EQ(le16(f, 0x10), tail);
    // Walking down from the root finds every leaf, in order, once.
    const auto found = treeLeaves(f);
    ASSERT_EQ(found.size(), n);
    std::multiset<std::vector<std::uint8_t>> expected;
    for (const auto& l : leaves) {
        std::vector<std::uint8_t> e = l.key;
        e.resize(8, 0);
        e[2] = static_cast<std::uint8_t>((l.block ^ 0x8000) >> 8);
        e[3] = static_cast<std::uint8_t>(l.block ^ 0x8000);
        e[4] = static_cast<std::uint8_t>((l.count ^ 0x8000) >> 8);
        e[5] = static_cast<std::uint8_t>(l.count ^ 0x8000);
        e[6] = 0x80;
        expected.insert(e);
    }
    EXPECT_EQ(found, expected);
    // The root's counts add up to every record under it, and it holds the first key.
    const std::size_t root = 0x800 + (le16(f, 0x1E) - 1) * 1024;
    const std::size_t rootEntries = static_cast<std::size_t>(le16(f, root + 4)) / 8 + 1;
    EXPECT_EQ(rootEntries, 2u);
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < rootEntries; ++k)
        sum += ((f[root + 6 + k * 8 + 4] << 8 | f[root + 6 + k * 8 + 5]) ^ 0x8000);
    EXPECT_EQ(sum, n);
    EXPECT_EQ(f[root + 6], 0);
    EXPECT_EQ(f[root + 7], 0);
    // Entries in the header count every level.
    EXPECT_EQ(f[6] | f[7] << 8 | f[8] << 16, static_cast<int>(n + 127 + 2));
}

TEST(TreeIndex, AnEmptyFileHasNoBlocksAndRootOne) {
    const auto f = buildTreeIndex(smallTreeHeader(8), {});
    ASSERT_EQ(f.size(), 0x800u);
    EXPECT_EQ(le16(f, 0x0C), 0);
    EXPECT_EQ(le16(f, 0x0E), 0);
    EXPECT_EQ(le16(f, 0x1E), 1);
    EXPECT_EQ(f[0x20], 0);
}

TEST(TreeIndex, KeysOfAnotherWidthAreRefused) {
    auto leaves = numberedLeaves(3);
    leaves[1].key.push_back(0);
    EXPECT_THROW(buildTreeIndex(smallTreeHeader(8), leaves), FormatError);
}

TEST(PackedBlocks, FullBlocksInOrderWithTheirFirstKeys) {
    std::vector<std::uint8_t> records;
    for (int i = 0; i < 70; ++i)
        for (int k = 0; k < 100; ++k)
            records.push_back(static_cast<std::uint8_t>(k == 0 ? i : 7));
    std::vector<TreeLeaf> leaves;
    const auto blocks = packBlocks(records, 100, 1024, 1, leaves); // 10 a block
    ASSERT_EQ(blocks.size(), 7u * 1024);
    ASSERT_EQ(leaves.size(), 7u);
    for (std::size_t b = 0; b < 7; ++b) {
        const std::size_t p = b * 1024;
        EXPECT_EQ(le16(blocks, p), b < 6 ? b + 2 : 0);
        EXPECT_EQ(le16(blocks, p + 2), b);
        EXPECT_EQ(le16(blocks, p + 4), 900);
        EXPECT_EQ(blocks[p + 6], b * 10);
        EXPECT_EQ(leaves[b].key, std::vector<std::uint8_t>{static_cast<std::uint8_t>(b * 10)});
        EXPECT_EQ(leaves[b].count, 10u);
    }
}

} // namespace
} // namespace qm::paradox
