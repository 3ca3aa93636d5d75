#include "paradox/writer.h"

#include "paradox/ascii.h"
#include "paradox/byte_order.h"
#include "paradox/codepage.h"
#include "paradox/header_layout.h"
#include "paradox/out_file.h"
#include "paradox/writer_support.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <numeric>

namespace qm::paradox {

using detail::encodeText;
using detail::fieldLabel;
using detail::headerSizeByte;
using detail::kHeaderUnit;
using detail::kIndexBlockKiB;
using detail::kMemoBlock;
using detail::OutFile;

namespace {

std::string formatIndex(std::size_t i) {
    return std::to_string(i + 1);
}

// The table's name, cut to fit and NUL padded to the size it has at this level.
void appendTableName(std::vector<std::uint8_t>& h, std::string name, unsigned level) {
    const std::size_t size = layout::tableNameSize(level);
    if (name.size() >= size)
        name.resize(size - 1);
    const std::size_t at = h.size();
    h.resize(at + size, 0);
    std::memcpy(&h[at], name.data(), name.size());
}

} // namespace

FamilyPaths familyPathsFor(const std::filesystem::path& db) {
    std::string ext = db.extension().string();
    bool upper = ext.size() >= 2 && ext[1] >= 'A' && ext[1] <= 'Z';
    FamilyPaths f;
    f.db = db;
    f.mb = std::filesystem::path(db).replace_extension(upper ? ".MB" : ".mb");
    f.px = std::filesystem::path(db).replace_extension(upper ? ".PX" : ".px");
    return f;
}

struct TableWriter::Impl {
    FamilyPaths paths;
    TableSpec spec;
    std::vector<std::size_t> offsets;
    std::size_t recordSize = 0;
    std::size_t keyWidth = 0;
    std::size_t blockSize = 0;
    std::size_t perBlock = 0;
    std::uint16_t headerSize = 0;
    std::vector<std::uint8_t> header; // the .db header without the counts
    bool hasBlobs = false;
    std::uint32_t autoInc = 0;
    std::int64_t autoIncMax = 0;

    std::unique_ptr<OutFile> db, mb;
    std::unique_ptr<detail::BlobAppender> blobs;
    std::uint64_t count = 0;
    std::vector<std::uint8_t> block; // unkeyed: the block being filled
    std::size_t inBlock = 0;
    std::uint32_t blocksWritten = 0;
    std::vector<std::uint8_t> pending; // keyed: every encoded record, sorted at the end
    std::vector<std::uint8_t> record;
    bool finished = false;

    void validate();
    void buildHeader();
    struct VariablePart {
        std::size_t fieldNumbers = 0, sortOrderId = 0; // where they begin in the header
    };
    VariablePart appendVariablePart(std::vector<std::uint8_t>& h);
    void encode(std::span<const Value> values, std::uint8_t* out);
    void writeBlock(const std::uint8_t* records, std::size_t n, std::uint32_t number, bool last);
    void writeIndex(const std::vector<std::vector<std::uint8_t>>& firstKeys,
                    const std::vector<std::uint32_t>& counts);
    std::vector<std::vector<std::uint8_t>>
    indexBlocks(const std::vector<std::vector<std::uint8_t>>& firstKeys,
                const std::vector<std::uint32_t>& counts, std::uint32_t& levels,
                std::uint64_t& entries) const;
    std::vector<std::uint8_t> indexHeader(std::uint32_t nBlocks, std::uint32_t levels,
                                          std::uint64_t entries) const;
    std::uint32_t writeKeyed();
    void writeHeader(std::uint32_t blocks);
    void removeFiles() noexcept;
};

void TableWriter::Impl::validate() {
    const auto& fs = spec.fields;
    if (fs.empty() || fs.size() > 255)
        throw WriteError("A table needs 1 to 255 fields.");
    if (spec.level != 9 && spec.level != 10 && spec.level != 11 && spec.level != 12)
        throw WriteError("Tables can be created at level 4.x (9), 5.x (10, 11) or 7.x (12) only.");
    static const std::uint8_t sizes[] = {1, 2, 3, 4, 8, 16, 32};
    if (std::find(std::begin(sizes), std::end(sizes), spec.blockSizeKiB) == std::end(sizes) ||
        (spec.level < 12 && spec.blockSizeKiB > 4))
        throw WriteError("Block size " + std::to_string(spec.blockSizeKiB) +
                         " KiB is not allowed at this level.");
    if (spec.keyFields > fs.size())
        throw WriteError("More key fields than fields.");
    if (!isSupportedCodePage(spec.codePage))
        throw WriteError("Code page " + std::to_string(spec.codePage) + " is not supported.");
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < fs.size(); ++i) {
        const auto& f = fs[i];
        if (f.name.empty())
            throw WriteError("Field " + formatIndex(i) + " has no name.");
        const std::string lower = asciiLower(f.name);
        if (std::find(seen.begin(), seen.end(), lower) != seen.end())
            throw WriteError("Two fields are named \"" + f.name + "\".");
        seen.push_back(lower);
        bool blob = isBlobType(f.type);
        hasBlobs = hasBlobs || blob;
        if ((f.type == FieldType::Alpha || f.type == FieldType::Bytes) && f.size == 0)
            throw WriteError(fieldLabel(f) + " needs a size from 1 to 255.");
        if (f.type == FieldType::Memo && (f.size < 11 || f.size > 250))
            throw WriteError(fieldLabel(f) + ": a memo size (leader + 10) is 11 to 250.");
        if (blob && f.type != FieldType::Memo && (f.size < 10 || f.size > 250))
            throw WriteError(fieldLabel(f) + ": a blob size (leader + 10) is 10 to 250.");
        if (f.type == FieldType::Bcd && f.size > 32)
            throw WriteError(fieldLabel(f) + ": BCD takes 0 to 32 decimals.");
        if (i < spec.keyFields && blob)
            throw WriteError(fieldLabel(f) + " is a blob field and cannot be part of the key.");
        if (i < spec.keyFields && f.type == FieldType::Alpha && spec.sortOrderID != "ascii" &&
            spec.sortOrderID != "DBWINUS0")
            throw WriteError("Keyed tables with Alpha key fields are created with the \"ascii\" "
                             "sort order only; \"" +
                             spec.sortOrderID + "\" orders text differently.");
        if (i < spec.keyFields)
            keyWidth += writtenWidth(f);
        offsets.push_back(recordSize);
        recordSize += writtenWidth(f);
    }
    if (recordSize > 0xFFFF)
        throw WriteError("The record is too long.");
    blockSize = std::size_t{spec.blockSizeKiB} * 1024;
    if (recordSize + 6 > blockSize)
        throw WriteError("A record of " + std::to_string(recordSize) +
                         " bytes does not fit a block of " + std::to_string(blockSize) + " bytes.");
    perBlock = (blockSize - 6) / recordSize;
    if (spec.keyFields && keyWidth + 6 > kIndexBlockKiB * 1024)
        throw WriteError("The key is too long for the primary index.");
}

void TableWriter::Impl::buildHeader() {
    const std::size_t n = spec.fields.size();
    std::vector<std::uint8_t> h(layout::kDataHeaderEnd, 0);
    const VariablePart at = appendVariablePart(h);
    const std::size_t real = h.size();
    if (real > 0xF800)
        throw WriteError("The table header would be too large.");
    headerSize = static_cast<std::uint16_t>((real + kHeaderUnit - 1) / kHeaderUnit * kHeaderUnit);
    h.resize(headerSize, 0);

    using namespace layout;
    std::uint8_t* p = h.data();
    putLE16(p + kRecordSize, static_cast<std::uint32_t>(recordSize));
    putLE16(p + kHeaderSize, headerSize);
    p[kFileType] = spec.keyFields ? 0 : 2;
    p[kBlockSizeKiB] = spec.blockSizeKiB;
    putLE16(p + kChangeCounter, 1); // of a new table
    putLE16(p + kNumFields, static_cast<std::uint32_t>(n));
    putLE16(p + kPrimaryKeyFields, spec.keyFields);
    putLE32(p + kEncryption1, kEncryptionElsewhere);
    p[kSortOrder] = spec.sortOrder;
    p[kChangeCount1] = 1;
    p[kChangeCount2] = 1;
    p[kFileVersionId] = spec.level;
    p[kUnknown3E] = 0x1F;
    p[kUnknown3E + 1] = 0x0F;
    putLE16(p + kRealHeaderSize, static_cast<std::uint32_t>(real));
    p[kUnknown56] = 0x20;
    putLE16(p + kFileVerId3, 0x0100u + spec.level);
    putLE16(p + kFileVerId4, 0x0100u + spec.level);
    putLE32(p + kFileUpdateTime, static_cast<std::uint32_t>(std::time(nullptr)));
    putLE16(p + kHiFieldId, static_cast<std::uint32_t>(n + 1));
    putLE16(p + kHiFieldIdInfo, static_cast<std::uint32_t>(at.fieldNumbers - kFixedEnd));
    putLE16(p + kCodePage, spec.codePage);
    p[kUnknown6C] = 0x01;
    p[kUnknown6C + 1] = 0x01;
    putLE16(p + kSortOrderIdInfo, static_cast<std::uint32_t>(at.sortOrderId - kFixedEnd));
    putLE16(p + kChangeCount4, 1);
    header = std::move(h);
}

// The field descriptions, the table's and the fields' names, the field numbers and the sort
// order's name, after the fixed part already in h.
TableWriter::Impl::VariablePart
TableWriter::Impl::appendVariablePart(std::vector<std::uint8_t>& h) {
    const auto& fs = spec.fields;
    const std::size_t n = fs.size();
    for (const auto& f : fs) {
        h.push_back(static_cast<std::uint8_t>(f.type));
        h.push_back(headerSizeByte(f));
    }
    h.resize(h.size() + 4 + 4 * n, 0); // RAM pointers, meaningless on disk
    std::string name = spec.tableName.empty() ? paths.db.filename().string() : spec.tableName;
    std::string encodedName;
    try {
        encodedName = qm::paradox::encode(spec.codePage, name);
    } catch (const CodePageError&) {
        encodedName = name;
    }
    appendTableName(h, encodedName, spec.level);
    for (const auto& f : fs) {
        std::string enc = encodeText(spec.codePage, f.name, f);
        h.insert(h.end(), enc.begin(), enc.end());
        h.push_back(0);
    }
    VariablePart at;
    at.fieldNumbers = h.size();
    for (std::size_t i = 0; i < n; ++i) {
        h.push_back(static_cast<std::uint8_t>(i + 1));
        h.push_back(static_cast<std::uint8_t>((i + 1) >> 8));
    }
    at.sortOrderId = h.size();
    h.insert(h.end(), spec.sortOrderID.begin(), spec.sortOrderID.end());
    h.push_back(0);
    return at;
}

void TableWriter::Impl::encode(std::span<const Value> values, std::uint8_t* out) {
    const auto& fs = spec.fields;
    if (values.size() != fs.size())
        throw WriteError("A record needs " + std::to_string(fs.size()) + " values; " +
                         std::to_string(values.size()) + " were given.");
    // Blob data is encoded first and placed last, so that a value refused later in the record
    // leaves no orphan blob behind.
    std::vector<std::pair<std::size_t, std::string>> blobData;
    std::int64_t nextAuto = autoIncMax;
    for (std::size_t i = 0; i < fs.size(); ++i) {
        const auto& f = fs[i];
        const Value& v = values[i];
        std::span<std::uint8_t> field(out + offsets[i], writtenWidth(f));
        if (!isBlobType(f.type)) {
            if (f.type == FieldType::Autoinc && v.isNull()) {
                Value next;
                next.data = ++nextAuto;
                encodeFixedField(f, next, spec.codePage, field);
                continue;
            }
            encodeFixedField(f, v, spec.codePage, field);
            if (f.type == FieldType::Autoinc)
                nextAuto = std::max(nextAuto, std::get<std::int64_t>(v.data));
            continue;
        }
        std::fill(field.begin(), field.end(), std::uint8_t{0});
        if (v.isNull())
            continue;
        std::string bytes;
        if (auto s = std::get_if<std::string>(&v.data)) {
            if (f.type != FieldType::Memo && f.type != FieldType::FormattedMemo)
                throw WriteError("The value for " + fieldLabel(f) + " must be bytes.");
            bytes = encodeText(spec.codePage, *s, f);
        } else if (auto b = std::get_if<std::vector<std::uint8_t>>(&v.data)) {
            bytes.assign(b->begin(), b->end());
        } else {
            throw WriteError("The value for " + fieldLabel(f) + " must be text or bytes.");
        }
        if (bytes.empty())
            continue;
        blobData.emplace_back(i, std::move(bytes));
    }
    for (auto& [i, bytes] : blobData) {
        const auto& f = fs[i];
        std::uint8_t* field = out + offsets[i];
        const std::size_t leader = f.size - 10u;
        std::memcpy(field, bytes.data(), std::min(leader, bytes.size()));
        std::uint32_t offsetIndex = 0;
        std::uint16_t modNr = 0;
        if (bytes.size() > leader) {
            modNr = 1;
            offsetIndex = blobs->add(bytes, modNr);
        }
        putLE32(field + leader, offsetIndex);
        putLE32(field + leader + 4, static_cast<std::uint32_t>(bytes.size()));
        putLE16(field + leader + 8, modNr);
    }
    autoIncMax = nextAuto;
}

void TableWriter::Impl::writeBlock(const std::uint8_t* records, std::size_t n, std::uint32_t number,
                                   bool last) {
    std::uint8_t head[6];
    putLE16(head, last ? 0 : number + 1);
    putLE16(head + 2, number - 1);
    putLE16(head + 4, static_cast<std::uint32_t>((n - 1) * recordSize));
    db->append(head, 6);
    db->append(records, n * recordSize);
    db->appendZeros(blockSize - 6 - n * recordSize);
}

void TableWriter::Impl::removeFiles() noexcept {
    db.reset();
    mb.reset();
    std::error_code ec;
    for (const auto& p : {paths.db, paths.mb, paths.px})
        if (!p.empty())
            std::filesystem::remove(p, ec);
}

TableWriter::TableWriter(const FamilyPaths& paths, const TableSpec& spec)
    : impl_(std::make_unique<Impl>()) {
    auto& m = *impl_;
    m.paths = paths;
    m.spec = spec;
    m.validate();
    if (m.hasBlobs && paths.mb.empty())
        throw WriteError("A table with blob fields needs a memo file name.");
    if (spec.keyFields && paths.px.empty())
        throw WriteError("A keyed table needs a primary index file name.");
    m.buildHeader();
    m.record.resize(m.recordSize);
    try {
        m.db = std::make_unique<OutFile>(paths.db);
        m.db->appendZeros(m.headerSize); // the real header goes in at the end
        if (m.hasBlobs) {
            m.mb = std::make_unique<OutFile>(paths.mb);
            m.mb->append(detail::memoHeaderBlock());
            OutFile* out = m.mb.get();
            m.blobs = std::make_unique<detail::BlobAppender>(
                kMemoBlock, [out](std::span<const std::uint8_t> b) { out->append(b); });
        }
    } catch (...) {
        m.removeFiles();
        throw;
    }
    if (!spec.keyFields)
        m.block.resize(m.perBlock * m.recordSize);
}

TableWriter::~TableWriter() {
    if (impl_ && !impl_->finished)
        impl_->removeFiles();
}

std::uint64_t TableWriter::recordCount() const {
    return impl_->count;
}

void TableWriter::add(std::span<const Value> record) {
    auto& m = *impl_;
    if (m.finished)
        throw WriteError("The table is already finished.");
    if (m.count >= 0xFFFFFFFFull)
        throw WriteError("Too many records.");
    m.encode(record, m.record.data());
    if (m.spec.keyFields) {
        m.pending.insert(m.pending.end(), m.record.begin(), m.record.end());
    } else {
        std::memcpy(m.block.data() + m.inBlock * m.recordSize, m.record.data(), m.recordSize);
        if (++m.inBlock == m.perBlock) {
            if (m.blocksWritten >= 0xFFFF)
                throw WriteError("The table needs more than 65535 blocks; use a larger block "
                                 "size.");
            // Whether this is the last block is known only when the next record comes or the
            // table is finished; the next-block link is fixed up then.
            m.writeBlock(m.block.data(), m.inBlock, ++m.blocksWritten, false);
            m.inBlock = 0;
        }
    }
    ++m.count;
}

// The .PX's blocks: the leaf level first, then each level above; the root is the last block.
// levels and entries: what its header counts.
std::vector<std::vector<std::uint8_t>>
TableWriter::Impl::indexBlocks(const std::vector<std::vector<std::uint8_t>>& firstKeys,
                               const std::vector<std::uint32_t>& counts, std::uint32_t& levels,
                               std::uint64_t& entries) const {
    const std::size_t pxBlock = kIndexBlockKiB * 1024;
    const std::size_t entrySize = keyWidth + 6;
    const std::size_t perPx = (pxBlock - 6) / entrySize;
    struct Entry {
        std::vector<std::uint8_t> key;
        std::uint32_t block;
        std::uint64_t count;
    };
    std::vector<Entry> level;
    for (std::size_t i = 0; i < firstKeys.size(); ++i)
        level.push_back({firstKeys[i], static_cast<std::uint32_t>(i + 1), counts[i]});

    std::vector<std::vector<std::uint8_t>> blocks;
    levels = 0;
    entries = 0;
    while (!level.empty()) {
        ++levels;
        std::vector<Entry> above;
        for (std::size_t at = 0; at < level.size(); at += perPx) {
            std::size_t n = std::min(perPx, level.size() - at);
            std::vector<std::uint8_t> b(pxBlock, 0);
            putLE16(&b[4], static_cast<std::uint32_t>((n - 1) * entrySize));
            std::uint64_t sum = 0;
            for (std::size_t k = 0; k < n; ++k) {
                const Entry& e = level[at + k];
                std::uint8_t* r = &b[6 + k * entrySize];
                std::memcpy(r, e.key.data(), keyWidth);
                putRecordInt(r + keyWidth, e.block, 2);
                // Only statistics; a sum beyond what 16 bits hold is capped.
                putRecordInt(r + keyWidth + 2,
                             static_cast<std::int64_t>(std::min<std::uint64_t>(e.count, 32767)), 2);
                putRecordInt(r + keyWidth + 4, 0, 2);
                sum += e.count;
            }
            entries += n;
            blocks.push_back(std::move(b));
            above.push_back({level[at].key, static_cast<std::uint32_t>(blocks.size()), sum});
        }
        if (above.size() == 1)
            break;
        if (blocks.size() + above.size() > 0x7FFF)
            throw WriteError("The primary index would need too many blocks.");
        level = std::move(above);
    }
    // All index blocks form one chain in file order.
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        putLE16(&blocks[i][0], i + 1 < blocks.size() ? static_cast<std::uint32_t>(i + 2) : 0);
        putLE16(&blocks[i][2], static_cast<std::uint32_t>(i));
    }
    return blocks;
}

std::vector<std::uint8_t> TableWriter::Impl::indexHeader(std::uint32_t nBlocks,
                                                         std::uint32_t levels,
                                                         std::uint64_t entries) const {
    using namespace layout;
    std::vector<std::uint8_t> h(kFixedEnd, 0);
    for (std::size_t i = 0; i < spec.keyFields; ++i) {
        h.push_back(static_cast<std::uint8_t>(spec.fields[i].type));
        h.push_back(headerSizeByte(spec.fields[i]));
    }
    h.resize(h.size() + 4, 0);
    // The BDE names the index after the table, always with ".PX" in capitals.
    const std::filesystem::path base =
        spec.tableName.empty() ? paths.db.filename() : std::filesystem::path(spec.tableName);
    appendTableName(h, base.stem().string() + ".PX", spec.level);
    const std::size_t real = h.size();
    h.resize(kHeaderUnit, 0);
    std::uint8_t* p = h.data();
    putLE16(p + kRecordSize, static_cast<std::uint32_t>(keyWidth + 6));
    putLE16(p + kHeaderSize, kHeaderUnit);
    p[kFileType] = 1;
    p[kBlockSizeKiB] = kIndexBlockKiB;
    putLE32(p + kNumRecords, static_cast<std::uint32_t>(entries));
    putLE16(p + kUsedBlocks, nBlocks);
    putLE16(p + kFileBlocks, nBlocks);
    putLE16(p + kFirstBlock, nBlocks ? 1 : 0);
    putLE16(p + kLastBlock, nBlocks);
    putLE16(p + kChangeCounter, 2);
    putLE16(p + kIndexRoot, nBlocks ? nBlocks : 1);
    p[kIndexLevels] = static_cast<std::uint8_t>(levels);
    putLE16(p + kNumFields, spec.keyFields);
    p[kSortOrder] = spec.sortOrder;
    p[kIndexChangeCount] = header[kChangeCount1];
    p[kFileVersionId] = spec.level;
    putLE16(p + kMaxBlocks, nBlocks);
    p[kAutoInc] = 1;
    putLE16(p + kRealHeaderSize, static_cast<std::uint32_t>(real));
    return h;
}

void TableWriter::Impl::writeIndex(const std::vector<std::vector<std::uint8_t>>& firstKeys,
                                   const std::vector<std::uint32_t>& counts) {
    std::uint32_t levels = 0;
    std::uint64_t entries = 0;
    const auto blocks = indexBlocks(firstKeys, counts, levels, entries);
    OutFile px(paths.px);
    px.append(indexHeader(static_cast<std::uint32_t>(blocks.size()), levels, entries));
    for (const auto& b : blocks)
        px.append(b);
    px.finish();
}

// Sorts the records by key, refusing a key that repeats, and writes them in full blocks chained
// 1, 2, 3 ..., then the primary index. Returns the number of blocks.
std::uint32_t TableWriter::Impl::writeKeyed() {
    const std::size_t rs = recordSize, kw = keyWidth;
    const std::uint8_t* base = pending.data();
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::memcmp(base + a * rs, base + b * rs, kw) < 0;
    });
    for (std::size_t i = 1; i < order.size(); ++i)
        if (std::memcmp(base + order[i - 1] * rs, base + order[i] * rs, kw) == 0)
            throw WriteError("Two records have the same key; a keyed table holds each "
                             "key once.");
    const std::size_t nBlocks = (count + perBlock - 1) / perBlock;
    if (nBlocks > 0x7FFF)
        throw WriteError("The keyed table needs more than 32767 blocks; use a larger "
                         "block size.");
    std::vector<std::vector<std::uint8_t>> firstKeys;
    std::vector<std::uint32_t> counts;
    std::vector<std::uint8_t> buf(perBlock * rs);
    for (std::size_t b = 0; b < nBlocks; ++b) {
        std::size_t from = b * perBlock;
        std::size_t n = std::min<std::size_t>(perBlock, count - from);
        for (std::size_t k = 0; k < n; ++k)
            std::memcpy(buf.data() + k * rs, base + std::size_t{order[from + k]} * rs, rs);
        firstKeys.emplace_back(buf.begin(), buf.begin() + static_cast<long>(kw));
        counts.push_back(static_cast<std::uint32_t>(n));
        writeBlock(buf.data(), n, static_cast<std::uint32_t>(b + 1), b + 1 == nBlocks);
    }
    std::vector<std::uint8_t>().swap(pending);
    writeIndex(firstKeys, counts);
    return static_cast<std::uint32_t>(nBlocks);
}

// The counts the header could not know before the last record, and the header written over the
// zeros that kept its place.
void TableWriter::Impl::writeHeader(std::uint32_t blocks) {
    using namespace layout;
    std::uint8_t* p = header.data();
    putLE32(p + kNumRecords, static_cast<std::uint32_t>(count));
    putLE16(p + kUsedBlocks, blocks);
    putLE16(p + kFileBlocks, blocks);
    putLE16(p + kFirstBlock, blocks ? 1 : 0);
    putLE16(p + kLastBlock, blocks);
    putLE16(p + kMaxBlocks, blocks);
    putLE32(p + kAutoInc, static_cast<std::uint32_t>(std::max<std::int64_t>(autoIncMax, 0)));
    db->writeAt(0, header);
    if (!spec.keyFields && blocks) {
        // The last full block was written with a link to a block that never came.
        std::uint8_t zero[2] = {0, 0};
        db->writeAt(headerSize + std::uint64_t{blocks - 1} * blockSize, zero);
    }
}

void TableWriter::finish() {
    auto& m = *impl_;
    if (m.finished)
        return;
    try {
        std::uint32_t blocks = 0;
        if (m.spec.keyFields) {
            blocks = m.writeKeyed();
        } else {
            if (m.inBlock) {
                if (m.blocksWritten >= 0xFFFF)
                    throw WriteError("The table needs more than 65535 blocks; use a larger "
                                     "block size.");
                m.writeBlock(m.block.data(), m.inBlock, ++m.blocksWritten, true);
            }
            blocks = m.blocksWritten;
        }
        m.writeHeader(blocks);
        m.db->finish();
        if (m.mb) {
            m.blobs->flush();
            m.mb->finish();
        }
        m.finished = true;
    } catch (...) {
        m.removeFiles();
        m.finished = true;
        throw;
    }
}

void createTable(const FamilyPaths& paths, const TableSpec& spec,
                 const std::vector<std::vector<Value>>& records) {
    TableWriter w(paths, spec);
    for (const auto& r : records)
        w.add(r);
    w.finish();
}

} // namespace qm::paradox
