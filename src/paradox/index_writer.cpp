#include "paradox/index_writer.h"

#include "paradox/ascii.h"
#include "paradox/byte_order.h"
#include "paradox/family_files.h"
#include "paradox/folder_listing.h"
#include "paradox/header_layout.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <numeric>
#include <optional>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

[[noreturn]] void bad(const fs::path& p, const std::string& what) {
    throw FormatError("\"" + p.filename().string() + "\" " + what);
}

std::vector<std::uint8_t> readHeaderOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<std::uint8_t> head(layout::kFixedEnd);
    if (!in.read(reinterpret_cast<char*>(head.data()), layout::kFixedEnd))
        bad(p, "is too short for an index header");
    const std::size_t size = le16(head.data() + layout::kHeaderSize);
    if (size < layout::kFixedEnd)
        bad(p, "has a bad header size");
    head.resize(size);
    if (!in.read(reinterpret_cast<char*>(head.data() + layout::kFixedEnd),
                 static_cast<std::streamsize>(size - layout::kFixedEnd)))
        bad(p, "is shorter than its header");
    return head;
}

std::size_t keyWidthOf(const Table& t, std::size_t keyFields) {
    std::size_t w = 0;
    for (std::size_t i = 0; i < keyFields && i < t.fields().size(); ++i)
        w += t.fields()[i].width;
    return w;
}

struct Entry {
    std::vector<std::uint8_t> key;
    std::uint32_t child = 0;
    std::uint64_t count = 0;
};

struct Node {
    std::vector<Entry> entries;
    std::uint32_t next = 0, prev = 0;
};

} // namespace

bool sortOrderKnown(const Header& header) {
    return header.sortOrderID == "ascii";
}

std::size_t treeBlockCapacity(std::size_t blockSize, std::size_t entrySize) {
    const std::size_t fit = blockSize > 6 ? (blockSize - 6) / entrySize : 0;
    return fit > 1 ? fit - 1 : fit;
}

namespace {

// Grows a tree as the entries come in key order: a full block gets a new block after it at the
// same level, whose first key goes up a level; a full root gets a new root above it. Blocks are
// numbered in the order they are taken; index 0 is block 1.
class TreeBuilder {
  public:
    explicit TreeBuilder(std::size_t capacity) : cap_(capacity) {}

    void addLeaf(Entry e) {
        if (blocks_.empty())
            last_.push_back(take());
        add(0, std::move(e));
    }

    // Each entry above the leaves counts what the block it names counts.
    void sumCounts() {
        const std::vector<std::size_t> levelOf = levels();
        for (std::size_t level = 1; level < last_.size(); ++level)
            for (std::size_t b = 0; b < blocks_.size(); ++b) {
                if (levelOf[b] != level)
                    continue;
                for (auto& e : blocks_[b].entries) {
                    std::uint64_t sum = 0;
                    for (const auto& c : blocks_[e.child - 1].entries)
                        sum += c.count;
                    e.count = sum;
                }
            }
    }

    const std::vector<Node>& blocks() const { return blocks_; }
    // The rightmost block of each level, leaves first; the root last.
    const std::vector<std::uint32_t>& last() const { return last_; }

  private:
    std::uint32_t take() {
        blocks_.emplace_back();
        return static_cast<std::uint32_t>(blocks_.size());
    }

    void linkAfter(std::uint32_t a, std::uint32_t n) {
        blocks_[n - 1].prev = a;
        blocks_[n - 1].next = blocks_[a - 1].next;
        if (blocks_[a - 1].next)
            blocks_[blocks_[a - 1].next - 1].prev = n;
        blocks_[a - 1].next = n;
    }

    void add(std::size_t level, Entry e) {
        const std::uint32_t b = last_[level];
        if (blocks_[b - 1].entries.size() < cap_) {
            blocks_[b - 1].entries.push_back(std::move(e));
            return;
        }
        const std::uint32_t n = take();
        linkAfter(b, n);
        Entry up{e.key, n, 0};
        blocks_[n - 1].entries.push_back(std::move(e));
        last_[level] = n;
        if (level + 1 == last_.size()) {
            const std::uint32_t root = take();
            linkAfter(b, root);
            blocks_[root - 1].entries.push_back({blocks_[b - 1].entries.front().key, b, 0});
            blocks_[root - 1].entries.push_back(std::move(up));
            last_.push_back(root);
        } else {
            add(level + 1, std::move(up));
        }
    }

    // Which level each block is on: walking down from the root, each block's entries name the
    // blocks one level below.
    std::vector<std::size_t> levels() const {
        std::vector<std::size_t> levelOf(blocks_.size(), 0);
        std::vector<std::uint32_t> frontier;
        if (!last_.empty())
            frontier.push_back(last_.back());
        for (std::size_t level = last_.size(); level-- > 0;) {
            std::vector<std::uint32_t> below;
            for (auto b : frontier) {
                levelOf[b - 1] = level;
                if (level > 0)
                    for (const auto& e : blocks_[b - 1].entries)
                        below.push_back(e.child);
            }
            frontier = std::move(below);
        }
        return levelOf;
    }

    std::size_t cap_;
    std::vector<Node> blocks_;
    std::vector<std::uint32_t> last_;
};

// The tree's blocks after header, and the counts of header that follow from them.
std::vector<std::uint8_t> treeFile(std::span<const std::uint8_t> header, const TreeBuilder& tree,
                                   std::size_t blockSize, std::size_t entrySize) {
    const std::vector<Node>& blocks = tree.blocks();
    const std::size_t keyWidth = entrySize - 6;
    std::vector<std::uint8_t> out(header.begin(), header.end());
    out.resize(header.size() + blocks.size() * blockSize, 0);
    std::uint64_t entries = 0;
    std::uint32_t tail = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        std::uint8_t* p = out.data() + header.size() + b * blockSize;
        const Node& node = blocks[b];
        putLE16(p, node.next);
        putLE16(p + 2, node.prev);
        putLE16(p + 4, static_cast<std::uint32_t>((node.entries.size() - 1) * entrySize));
        for (std::size_t k = 0; k < node.entries.size(); ++k) {
            std::uint8_t* r = p + 6 + k * entrySize;
            const Entry& e = node.entries[k];
            std::memcpy(r, e.key.data(), keyWidth);
            putRecordInt(r + keyWidth, e.child, 2);
            // Statistics only: a count past what the field holds is capped.
            putRecordInt(r + keyWidth + 2,
                         static_cast<std::uint32_t>(std::min<std::uint64_t>(e.count, 0x7FFF)), 2);
            putRecordInt(r + keyWidth + 4, 0, 2);
        }
        entries += node.entries.size();
        if (node.next == 0)
            tail = static_cast<std::uint32_t>(b + 1);
    }
    if (blocks.size() > 0xFFFF)
        throw FormatError("an index would need more than 65535 blocks");
    std::uint8_t* h = out.data();
    const auto n = static_cast<std::uint32_t>(blocks.size());
    const auto& last = tree.last();
    using namespace layout;
    putLE32(h + kNumRecords, static_cast<std::uint32_t>(entries));
    putLE16(h + kUsedBlocks, n);
    putLE16(h + kFileBlocks, n);
    putLE16(h + kFirstBlock, n ? 1 : 0);
    putLE16(h + kLastBlock, tail);
    putLE16(h + kIndexRoot, last.empty() ? 1 : last.back());
    h[kIndexLevels] = static_cast<std::uint8_t>(last.size());
    putLE16(h + kMaxBlocks, n);
    putLE16(h + kFirstFreeBlock, 0);
    return out;
}

} // namespace

std::vector<std::uint8_t> buildTreeIndex(std::span<const std::uint8_t> header,
                                         const std::vector<TreeLeaf>& leaves) {
    if (header.size() < layout::kFixedEnd)
        throw FormatError("an index header is shorter than its fixed part");
    const std::size_t entrySize = le16(header.data() + layout::kRecordSize);
    const std::size_t blockSize = std::size_t{header[layout::kBlockSizeKiB]} * 1024;
    if (entrySize <= 6 || blockSize == 0 ||
        le16(header.data() + layout::kHeaderSize) != header.size())
        throw FormatError("an index header gives no usable entry or block size");
    const std::size_t keyWidth = entrySize - 6;
    const std::size_t cap = treeBlockCapacity(blockSize, entrySize);
    if (cap < 2)
        throw FormatError("an index block holds fewer than two entries");
    TreeBuilder tree(cap);
    for (const auto& leaf : leaves) {
        if (leaf.key.size() != keyWidth)
            throw FormatError("a key does not have the index's width");
        tree.addLeaf({leaf.key, leaf.block, leaf.count});
    }
    tree.sumCounts();
    return treeFile(header, tree, blockSize, entrySize);
}

std::vector<std::uint8_t> packBlocks(std::span<const std::uint8_t> records, std::size_t recordSize,
                                     std::size_t blockSize, std::size_t keyWidth,
                                     std::vector<TreeLeaf>& leaves) {
    leaves.clear();
    if (recordSize == 0 || recordSize + 6 > blockSize || keyWidth > recordSize)
        throw FormatError("records do not fit the file's blocks");
    const std::size_t count = records.size() / recordSize;
    const std::size_t per = (blockSize - 6) / recordSize;
    const std::size_t nBlocks = (count + per - 1) / per;
    if (nBlocks > 0xFFFF)
        throw FormatError("the file would need more than 65535 blocks");
    std::vector<std::uint8_t> out(nBlocks * blockSize, 0);
    for (std::size_t b = 0; b < nBlocks; ++b) {
        std::uint8_t* p = out.data() + b * blockSize;
        const std::size_t from = b * per;
        const std::size_t n = std::min(per, count - from);
        putLE16(p, b + 1 < nBlocks ? static_cast<std::uint32_t>(b + 2) : 0);
        putLE16(p + 2, static_cast<std::uint32_t>(b));
        putLE16(p + 4, static_cast<std::uint32_t>((n - 1) * recordSize));
        std::memcpy(p + 6, records.data() + from * recordSize, n * recordSize);
        const std::uint8_t* first = records.data() + from * recordSize;
        leaves.push_back({std::vector<std::uint8_t>(first, first + keyWidth),
                          static_cast<std::uint32_t>(b + 1), static_cast<std::uint32_t>(n)});
    }
    return out;
}

void setTableCounts(std::span<std::uint8_t> header, std::uint32_t records, std::uint32_t blocks) {
    using namespace layout;
    if (header.size() < kFixedEnd)
        throw FormatError("a table header is shorter than its fixed part");
    std::uint8_t* h = header.data();
    putLE32(h + kNumRecords, records);
    putLE16(h + kUsedBlocks, blocks);
    putLE16(h + kFileBlocks, blocks);
    putLE16(h + kFirstBlock, blocks ? 1 : 0);
    putLE16(h + kLastBlock, blocks);
    putLE16(h + kMaxBlocks, blocks);
    putLE16(h + kFirstFreeBlock, 0);
}

std::vector<std::uint8_t> rebuildPrimaryIndex(const Table& table,
                                              std::span<const std::uint8_t> oldHeader) {
    const auto& h = table.header();
    if (!h.keyed() || h.primaryKeyFields == 0)
        throw FormatError("\"" + table.path().filename().string() + "\" has no primary key");
    const std::size_t keyWidth = keyWidthOf(table, h.primaryKeyFields);
    // The table here is the new file under its temporary name: the message names neither.
    if (oldHeader.size() < layout::kFixedEnd ||
        le16(oldHeader.data() + layout::kRecordSize) != keyWidth + 6)
        throw FormatError("its primary index does not have the width of its key (" +
                          std::to_string(h.primaryKeyFields) + " key fields, " +
                          std::to_string(keyWidth) + " bytes)");
    std::vector<TreeLeaf> leaves;
    table.forEachRecord([&](const Record& r) {
        if (leaves.empty() || leaves.back().block != r.block())
            leaves.push_back(
                {std::vector<std::uint8_t>(r.bytes().begin(),
                                           r.bytes().begin() + static_cast<long>(keyWidth)),
                 r.block(), 0});
        ++leaves.back().count;
    });
    return buildTreeIndex(oldHeader, leaves);
}

namespace {

bool holdsSmallLetter(std::span<const std::uint8_t> bytes) {
    return std::any_of(bytes.begin(), bytes.end(),
                       [](std::uint8_t b) { return b >= 'a' && b <= 'z'; });
}

// Below level 7.x an .XGn's header does not say whether it ignores case; its entries do, where
// they can: one holding a small letter keeps case, and entries free of small letters over text
// that holds some were upper-cased. Otherwise nullopt.
std::optional<bool> caseShownByEntries(const Table& table, const Table& index,
                                       const std::vector<std::size_t>& fields) {
    bool indexSmall = false, tableSmall = false;
    const auto scan = [](const Table& t, const std::vector<std::size_t>& which, bool& small) {
        t.forEachRecordWhile([&](const Record& r) {
            for (auto f : which)
                if (t.fields()[f].type == FieldType::Alpha)
                    small = small || holdsSmallLetter(r.bytes().subspan(t.fields()[f].offset,
                                                                        t.fields()[f].width));
            return !small;
        });
    };
    std::vector<std::size_t> own(fields.size());
    for (std::size_t i = 0; i < own.size(); ++i)
        own[i] = i;
    scan(index, own, indexSmall);
    if (indexSmall)
        return false;
    scan(table, fields, tableSmall);
    if (tableSmall)
        return true;
    return std::nullopt;
}

} // namespace

namespace {

// The tree of an index's data file: the same name with Y for X; empty when there is none.
fs::path treeOf(const fs::path& data) {
    const std::string ext = asciiLower(data.extension().string());
    std::string want = ext;
    want[1] = 'y';
    std::vector<std::string> names;
    (void)folderNames(data.parent_path().empty() ? fs::path(".") : data.parent_path(), names);
    fs::path tree;
    for (const auto& name : names) {
        const fs::path p = data.parent_path() / name;
        if (asciiLower(p.stem().string()) == asciiLower(data.stem().string()) &&
            asciiLower(p.extension().string()) == want)
            tree = p;
    }
    return tree;
}

// The table fields the index's first m fields are, and which of them descend, into idx; why
// not when one is not a field of the table.
std::string matchIndexFields(const Table& table, const Table& x, std::size_t m,
                             SecondaryIndex& idx) {
    const Header& xh = x.header();
    const auto& tf = table.fields();
    const auto& xf = x.fields();
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint16_t number =
            i < xh.fieldNumbers.size() ? xh.fieldNumbers[i] : std::uint16_t{0};
        std::uint16_t wanted = number & 0x7FFF;
        if (!idx.composite && i == 0)
            wanted = xh.indexFieldNumber;
        std::size_t found = tf.size();
        for (std::size_t k = 0; k < tf.size(); ++k)
            if (tf[k].number == wanted)
                found = k;
        if (found == tf.size() || asciiLower(tf[found].name) != asciiLower(xf[i].name) ||
            tf[found].type != xf[i].type || tf[found].size != xf[i].size)
            return "its field " + xf[i].name + " is not a field of the table";
        idx.fields.push_back(found);
        const bool desc = (number & 0x8000) != 0 || (xh.fileVersionID >= 12 && idx.composite &&
                                                     (xh.refIntegrity & 0x10) != 0);
        idx.descending.push_back(desc);
    }
    return {};
}

// Whether a composite index over text ignores case, into idx; why not when that is not known.
std::string caseOfIndex(const Table& table, const Table& x, SecondaryIndex& idx) {
    const Header& xh = x.header();
    bool alpha = false;
    for (auto f : idx.fields)
        alpha = alpha || table.fields()[f].type == FieldType::Alpha;
    if (!idx.composite || !alpha)
        return {};
    const std::optional<bool> ignores = xh.fileVersionID < 12
                                            ? caseShownByEntries(table, x, idx.fields)
                                            : std::optional<bool>((xh.refIntegrity & 0x01) != 0);
    if (!ignores)
        return "whether it ignores case is not recorded in its header, nor shown by its entries";
    idx.caseInsensitive = *ignores;
    return {};
}

} // namespace

SecondaryIndex describeSecondaryIndex(const Table& table, const fs::path& data) {
    SecondaryIndex idx;
    idx.data = data;
    const std::string ext = asciiLower(data.extension().string());
    idx.composite = ext.size() == 4 && ext[2] == 'g';
    idx.tree = treeOf(data);
    const Table x = Table::openIndexData(data);
    const Header& xh = x.header();
    const auto& tf = table.fields();
    const auto& xf = x.fields();
    idx.maintained = xh.fileType == 5 || xh.fileType == 8;
    const std::size_t keyFields = table.header().keyed() ? table.header().primaryKeyFields : 0;
    const auto unsupported = [&](const std::string& why) {
        idx.unsupported = why;
        return idx;
    };
    if (keyFields == 0)
        return unsupported("the layout of an index over an unkeyed table (record number, block "
                           "and offset) is not known for certain");
    if (xf.size() < keyFields + 2 || xh.primaryKeyFields + 1u != xf.size())
        return unsupported("its fields are not the index fields, the primary key and a hint");
    const std::size_t m = xf.size() - keyFields - 1;
    if (std::string why = matchIndexFields(table, x, m, idx); !why.empty())
        return unsupported(why);
    for (std::size_t k = 0; k < keyFields; ++k) {
        const Field& a = xf[m + k];
        if (asciiLower(a.name) != asciiLower(tf[k].name) || a.type != tf[k].type ||
            a.size != tf[k].size)
            return unsupported("it does not hold the table's primary key");
    }
    if (xf.back().type != FieldType::Short)
        return unsupported("its last field is not a block hint");
    if (std::string why = caseOfIndex(table, x, idx); !why.empty())
        return unsupported(why);
    if (xh.fileVersionID < 12 &&
        std::find(idx.descending.begin(), idx.descending.end(), true) != idx.descending.end())
        return unsupported("a descending index needs level 7.x");
    return idx;
}

std::vector<SecondaryIndex> secondaryIndexesOf(const Table& table) {
    std::vector<SecondaryIndex> out;
    for (const auto& p : familyFiles(table.path())) {
        const std::string ext = asciiLower(p.extension().string());
        if (ext.size() != 4 || ext[1] != 'x')
            continue;
        const bool single = std::isxdigit(static_cast<unsigned char>(ext[2])) &&
                            std::isxdigit(static_cast<unsigned char>(ext[3]));
        const bool composite = ext[2] == 'g' && std::isxdigit(static_cast<unsigned char>(ext[3]));
        if (single || composite)
            out.push_back(describeSecondaryIndex(table, p));
    }
    return out;
}

namespace {

// Where each part of an entry comes from in the table's record: the index's fields, then the
// primary key.
struct EntryPart {
    std::size_t from, width;
    bool descending;
    bool upper;
};

std::vector<EntryPart> entryParts(const Table& table, const SecondaryIndex& index) {
    const auto& tf = table.fields();
    std::vector<EntryPart> parts;
    for (std::size_t i = 0; i < index.fields.size(); ++i) {
        const Field& f = tf[index.fields[i]];
        parts.push_back({f.offset, f.width, index.descending[i],
                         index.caseInsensitive && f.type == FieldType::Alpha});
    }
    for (std::size_t k = 0; k < table.header().primaryKeyFields; ++k)
        parts.push_back({tf[k].offset, tf[k].width, false, false});
    return parts;
}

// One entry per record, in the table's order: its parts, then the block hint.
std::vector<std::uint8_t> indexEntries(const Table& table, const SecondaryIndex& index,
                                       const std::vector<EntryPart>& parts,
                                       std::size_t recordSize) {
    std::vector<std::uint8_t> records;
    records.reserve(std::size_t{table.recordCount()} * recordSize);
    table.forEachRecord([&](const Record& r) {
        const auto bytes = r.bytes();
        for (const auto& part : parts) {
            const std::size_t at = records.size();
            records.insert(records.end(), bytes.begin() + static_cast<long>(part.from),
                           bytes.begin() + static_cast<long>(part.from + part.width));
            if (!part.upper)
                continue;
            for (std::size_t k = at; k < records.size(); ++k) {
                if (records[k] >= 0x80)
                    bad(index.data, "ignores case, and the table holds a letter beyond ASCII "
                                    "in one of its fields, whose capital the BDE's code page "
                                    "rules give");
                records[k] = static_cast<std::uint8_t>(asciiUpper(static_cast<char>(records[k])));
            }
        }
        records.resize(records.size() + 2);
        putRecordInt(&records[records.size() - 2], r.block(), 2);
    });
    return records;
}

// The entries in the index's order, equal ones as they came.
std::vector<std::uint8_t> sortedEntries(const std::vector<std::uint8_t>& records,
                                        const std::vector<EntryPart>& parts,
                                        std::size_t recordSize) {
    const std::size_t count = records.size() / recordSize;
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const std::uint8_t* pa = records.data() + std::size_t{a} * recordSize;
        const std::uint8_t* pb = records.data() + std::size_t{b} * recordSize;
        for (const auto& part : parts) {
            const int c = std::memcmp(pa, pb, part.width);
            if (c != 0)
                return part.descending ? c > 0 : c < 0;
            pa += part.width;
            pb += part.width;
        }
        return false;
    });
    std::vector<std::uint8_t> sorted(records.size());
    for (std::size_t i = 0; i < count; ++i)
        std::memcpy(sorted.data() + i * recordSize,
                    records.data() + std::size_t{order[i]} * recordSize, recordSize);
    return sorted;
}

} // namespace

SecondaryFiles rebuildSecondaryIndex(const Table& table, const SecondaryIndex& index) {
    if (!index.unsupported.empty())
        bad(index.data, "cannot be rebuilt: " + index.unsupported);
    const std::vector<EntryPart> parts = entryParts(table, index);
    std::size_t width = 0;
    for (const auto& part : parts)
        width += part.width;
    const std::size_t recordSize = width + 2;
    const std::vector<std::uint8_t> sorted =
        sortedEntries(indexEntries(table, index, parts, recordSize), parts, recordSize);
    const std::size_t count = sorted.size() / recordSize;

    SecondaryFiles out;
    std::vector<std::uint8_t> header = readHeaderOf(index.data);
    if (le16(header.data() + layout::kRecordSize) != recordSize)
        bad(index.data, "does not have the width of the index's fields and the key");
    const std::size_t blockSize = std::size_t{header[layout::kBlockSizeKiB]} * 1024;
    std::vector<TreeLeaf> leaves;
    std::vector<std::uint8_t> blocks = packBlocks(sorted, recordSize, blockSize, width, leaves);
    setTableCounts(header, static_cast<std::uint32_t>(count),
                   static_cast<std::uint32_t>(leaves.size()));
    out.data = std::move(header);
    out.data.insert(out.data.end(), blocks.begin(), blocks.end());
    if (!index.tree.empty()) {
        const std::vector<std::uint8_t> treeHeader = readHeaderOf(index.tree);
        if (le16(treeHeader.data() + layout::kRecordSize) != width + 6)
            bad(index.tree, "does not have the width of the index's fields and the key");
        out.tree = buildTreeIndex(treeHeader, leaves);
    }
    return out;
}

} // namespace qm::paradox
