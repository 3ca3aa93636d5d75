#include "paradox/table_impl.h"

#include <algorithm>

namespace qm::paradox {

using detail::fileName;
using detail::readAt;
using detail::ReadWindow;
namespace fs = std::filesystem;

namespace {

// The parts of a blob descriptor the memo lookup needs, borrowed from the record.
struct BlobRefView {
    std::span<const std::uint8_t> leader;
    std::uint32_t offsetIndex;
    std::uint32_t length;
    std::uint8_t index() const { return static_cast<std::uint8_t>(offsetIndex & 0xFF); }
    std::uint32_t blockOffset() const { return offsetIndex & ~std::uint32_t{0xFF}; }
};

} // namespace

void Table::forEachRecord(const std::function<void(const Record&)>& fn) const {
    forEachRecordWhile([&](const Record& r) {
        fn(r);
        return true;
    });
}

void Table::forEachRecordWhile(const std::function<bool(const Record&)>& fn) const {
    const Impl& m = *impl_;
    const std::size_t rs = m.header.recordSize;
    // Blocks in chain order usually follow one another in the file: read them in large runs.
    ReadWindow window(&m.db, m.fileSize, 1024 * 1024);
    for (const auto& cb : m.chain) {
        const std::uint64_t p = m.blockOffset(cb.block);
        if (cb.records == 0)
            continue;
        const std::uint8_t* data = window.get(p + 6, cb.records * rs);
        if (!data)
            m.fail("cannot read block " + std::to_string(cb.block) +
                   " (the file changed or is damaged)");
        for (std::uint32_t i = 0; i < cb.records; ++i) {
            Record r;
            r.table_ = impl_.get();
            r.block_ = cb.block;
            r.index_ = i;
            r.offset_ = p + 6 + static_cast<std::uint64_t>(i) * rs;
            r.bytes_ = std::span<const std::uint8_t>(data + i * rs, rs);
            if (!fn(r))
                return;
        }
    }
}

std::vector<std::uint64_t> Table::recordOffsets() const {
    const Impl& m = *impl_;
    std::vector<std::uint64_t> out;
    out.reserve(m.header.numRecords);
    for (const auto& cb : m.chain) {
        const std::uint64_t p = m.blockOffset(cb.block) + 6;
        for (std::uint32_t i = 0; i < cb.records; ++i)
            out.push_back(p + static_cast<std::uint64_t>(i) * m.header.recordSize);
    }
    return out;
}

bool Table::isRecordStart(std::uint64_t offset) const {
    const Impl& m = *impl_;
    const Header& h = m.header;
    if (offset < h.headerSize || offset >= m.fileSize)
        return false;
    const std::uint64_t rel = offset - h.headerSize;
    const std::uint64_t block = rel / h.blockSize + 1;
    const std::uint64_t inBlock = rel % h.blockSize;
    if (inBlock < 6 || (inBlock - 6) % h.recordSize != 0)
        return false;
    if (block >= m.chainPosition.size() || m.chainPosition[block] == 0)
        return false;
    return (inBlock - 6) / h.recordSize < m.chain[m.chainPosition[block] - 1].records;
}

std::vector<Table::RecordRun> Table::recordRuns() const {
    const Impl& m = *impl_;
    std::vector<RecordRun> out;
    out.reserve(m.chain.size());
    for (const auto& cb : m.chain)
        if (cb.records > 0)
            out.push_back({m.blockOffset(cb.block) + 6, cb.records});
    return out;
}

Record Table::readRecordAt(std::uint64_t offset) const {
    const Impl& m = *impl_;
    const Header& h = m.header;
    const std::string where = "offset " + std::to_string(offset);
    if (offset < h.headerSize || offset >= m.fileSize)
        m.fail("has no record at " + where);
    const std::uint64_t rel = offset - h.headerSize;
    const auto block = static_cast<std::uint32_t>(rel / h.blockSize + 1);
    const std::uint64_t inBlock = rel % h.blockSize;
    if (inBlock < 6 || (inBlock - 6) % h.recordSize != 0)
        m.fail("has no record starting at " + where);
    const auto index = static_cast<std::uint32_t>((inBlock - 6) / h.recordSize);
    auto it = m.chain.end();
    if (block < m.chainPosition.size() && m.chainPosition[block] != 0)
        it = m.chain.begin() + (m.chainPosition[block] - 1);
    if (it == m.chain.end() || index >= it->records)
        m.fail("has no record at " + where);
    auto owned = std::make_shared<std::vector<std::uint8_t>>(h.recordSize);
    if (!readAt(&m.db, offset, owned->data(), owned->size()))
        m.fail("cannot read the record at " + where);
    Record r;
    r.table_ = impl_.get();
    r.block_ = block;
    r.index_ = index;
    r.offset_ = offset;
    r.bytes_ = *owned;
    r.owned_ = std::move(owned);
    return r;
}

Value Record::value(std::size_t fieldIndex) const {
    return table_->decode(fieldIndex, bytes_);
}

Record Record::copy() const {
    Record r = *this;
    auto owned = std::make_shared<std::vector<std::uint8_t>>(bytes_.begin(), bytes_.end());
    r.bytes_ = *owned;
    r.owned_ = std::move(owned);
    return r;
}

std::vector<std::uint8_t> Table::readBlob(FieldType type, const BlobRef& ref) const {
    return impl_->readBlob(type, ref);
}

Value Table::decode(std::size_t fieldIndex, std::span<const std::uint8_t> record) const {
    return impl_->decode(fieldIndex, record);
}

std::span<const std::uint8_t> Table::storedText(std::size_t fieldIndex,
                                                std::span<const std::uint8_t> record,
                                                std::vector<std::uint8_t>& scratch) const {
    return impl_->storedText(fieldIndex, record, scratch);
}

std::optional<std::string> Table::text(std::size_t fieldIndex,
                                       std::span<const std::uint8_t> record) const {
    return impl_->text(fieldIndex, record);
}

const std::uint8_t* detail::TableImpl::memoBytes(std::uint64_t offset, std::size_t n) const {
    if (offset >= mbWindowStart && offset + n <= mbWindowStart + mbWindow.size())
        return mbWindow.data() + (offset - mbWindowStart);
    const platform::File* f = memo();
    if (!f || offset + n > mbSize)
        return nullptr;
    // Start at the memo block holding the bytes, so the blobs that follow come with it.
    std::uint64_t start = offset & ~std::uint64_t{4095};
    std::uint64_t length = std::max<std::uint64_t>(kMemoWindow, offset + n - start);
    length = std::min(length, mbSize - start);
    mbWindow.resize(static_cast<std::size_t>(length));
    if (!readAt(f, start, mbWindow.data(), mbWindow.size())) {
        mbWindow.clear();
        mbWindowStart = 0;
        return nullptr;
    }
    mbWindowStart = start;
    return mbWindow.data() + (offset - start);
}

FormatError detail::TableImpl::memoError(const std::string& what) const {
    const std::string_view mbName = memoPath.empty() ? path.native() : memoPath.native();
    return FormatError(std::string(mbName) + ": " + what);
}

// The memo block repeats the length; a pointer whose block disagrees points at the wrong blob
// (stale or damaged), and its bytes must not pass for the value.
std::uint64_t detail::TableImpl::blobStart(std::uint32_t idx, std::uint64_t off,
                                           std::uint32_t length) const {
    if (off + 12 > mbSize)
        throw memoError("blob pointer " + std::to_string(off) + " past the end of the memo file");
    const std::uint8_t* head = memoBytes(off, 12);
    if (!head)
        throw memoError("cannot read the block at " + std::to_string(off));
    const std::uint8_t blockType = head[0];
    if (idx == 0xFF) {
        if (blockType != 2)
            throw memoError("blob pointer to a block of type " + std::to_string(blockType) +
                            " at " + std::to_string(off) + " (expected a single-blob block)");
        const std::uint32_t stored = le32(head + 3);
        if (stored != length)
            throw memoError("the blob at " + std::to_string(off) + " holds " +
                            std::to_string(stored) + " bytes, not the " + std::to_string(length) +
                            " its record says");
        return off + 9;
    }
    if (blockType != 3 || idx >= 64)
        throw memoError("blob pointer to a bad sub-allocated entry (index " + std::to_string(idx) +
                        ", block type " + std::to_string(blockType) + " at " + std::to_string(off) +
                        ")");
    const std::uint8_t* entry = memoBytes(off + 12 + 5 * idx, 5);
    if (!entry)
        throw memoError("cannot read the blob entry at " + std::to_string(off));
    const std::uint32_t stored =
        entry[4] == 0 || entry[1] == 0 ? 0 : (entry[1] - 1u) * 16u + entry[4];
    if (stored != length)
        throw memoError("sub-allocated entry " + std::to_string(idx) + " of the block at " +
                        std::to_string(off) + " holds " + std::to_string(stored) +
                        " bytes, not the " + std::to_string(length) + " its record says");
    const std::uint32_t at = static_cast<std::uint32_t>(entry[0]) * 16;
    if (at < 12 + 5 * 64 || at + length > 4096)
        throw memoError("sub-allocated entry " + std::to_string(idx) + " of the block at " +
                        std::to_string(off) + " lies outside its block");
    return off + at;
}

std::span<const std::uint8_t>
detail::TableImpl::blobBytes(std::span<const std::uint8_t> leader, std::uint32_t offsetIndex,
                             std::uint32_t length, std::vector<std::uint8_t>& scratch) const {
    BlobRefView ref{leader, offsetIndex, length};
    if (ref.length == 0)
        return {};
    if (ref.length <= ref.leader.size())
        return std::span<const std::uint8_t>(ref.leader.data(), ref.length);
    const platform::File* f = memo();
    if (!f)
        throw FormatError(fileName(path) +
                          ": a blob value is stored in the memo file, which is missing");
    const std::uint64_t start = blobStart(ref.index(), ref.blockOffset(), ref.length);
    if (start + ref.length > mbSize)
        throw memoError("blob of " + std::to_string(ref.length) + " bytes at " +
                        std::to_string(start) + " runs past the end of the memo file");
    if (ref.length > kMemoWindow) {
        // Too large for the window: read on its own, leaving the window to the small ones.
        scratch.resize(ref.length);
        if (!readAt(f, start, scratch.data(), scratch.size()))
            throw memoError("cannot read the blob at " + std::to_string(start));
        return scratch;
    }
    const std::uint8_t* data = memoBytes(start, ref.length);
    if (!data)
        throw memoError("cannot read the blob at " + std::to_string(start));
    return std::span<const std::uint8_t>(data, ref.length);
}

std::vector<std::uint8_t> detail::TableImpl::readBlob(FieldType type, const BlobRef& ref) const {
    (void)type;
    std::vector<std::uint8_t> scratch;
    const auto bytes = blobBytes(ref, scratch);
    if (bytes.data() == scratch.data() && !scratch.empty())
        return scratch;
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

} // namespace qm::paradox
