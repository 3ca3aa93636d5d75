#pragma once

// The reader's state shared by the units that open a table, walk its records and decode values.
// Private to src/paradox.

#include "paradox/byte_order.h"
#include "paradox/codepage.h"
#include "paradox/table.h"
#include "platform/files.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qm::paradox::detail {

namespace fs = std::filesystem;

// Reads exactly n bytes at offset, or returns false.
inline bool readAt(const platform::File* f, std::uint64_t offset, void* dst, std::size_t n) {
    return n == 0 || f->readAt(offset, dst, n) == 0;
}

// A file read through one large buffer: the chain walk and the record scan ask for small pieces
// that mostly follow one another, and a system call for each would cost more than the reading.
class ReadWindow {
  public:
    ReadWindow(const platform::File* f, std::uint64_t fileSize, std::size_t size)
        : file_(f), fileSize_(fileSize), size_(size) {}
    // n bytes at offset, valid until the next call; null when the file does not hold them.
    const std::uint8_t* get(std::uint64_t offset, std::size_t n) {
        if (offset >= start_ && offset + n <= start_ + buffer_.size())
            return buffer_.data() + (offset - start_);
        if (offset + n > fileSize_)
            return nullptr;
        const std::uint64_t length =
            std::min<std::uint64_t>(std::max<std::uint64_t>(size_, n), fileSize_ - offset);
        buffer_.resize(static_cast<std::size_t>(length));
        if (!readAt(file_, offset, buffer_.data(), buffer_.size())) {
            buffer_.clear();
            return nullptr;
        }
        start_ = offset;
        return buffer_.data();
    }

  private:
    const platform::File* file_;
    std::uint64_t fileSize_;
    std::size_t size_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t start_ = 0;
};

inline std::string fileName(const fs::path& p) {
    return p.string();
}

// Far outside any calendar Paradox can enter; keeps the day arithmetic of the text form defined.
inline bool timestampInRange(double ms) {
    return std::isfinite(ms) && std::fabs(ms) <= 1e15 * 86400000.0;
}

struct TableImpl {
    fs::path path;
    bool indexData = false; // a secondary index's data file (.Xnn, .XGn) is read like a table
    fs::path memoPath;
    Header header;
    std::vector<Field> fields;
    std::uint64_t fileSize = 0;
    platform::File db;
    mutable platform::File mb;
    mutable bool mbOpened = false;
    mutable std::uint64_t mbSize = 0;
    // A run of the memo file read in one go. Blobs of neighbouring records sit close together,
    // so a scan reads the memo file in large pieces instead of three small reads per value.
    mutable std::vector<std::uint8_t> mbWindow;
    mutable std::uint64_t mbWindowStart = 0;
    static constexpr std::size_t kMemoWindow = 256 * 1024;

    // The chain, validated at open: block number and record count of each block, in order.
    struct ChainBlock {
        std::uint16_t block;
        std::uint32_t records;
    };
    std::vector<ChainBlock> chain;
    // Position + 1 in chain of each block number (0: not in the chain), so that finding the
    // block of a record does not walk the chain once per record.
    std::vector<std::uint32_t> chainPosition;

    [[noreturn]] void fail(const std::string& what) const {
        throw FormatError(fileName(path) + ": " + what);
    }

    std::uint64_t blockOffset(std::uint32_t n) const {
        return header.headerSize + static_cast<std::uint64_t>(n - 1) * header.blockSize;
    }

    void readHeader();
    void openFile();
    void checkKind() const;  // a file type and level this reader knows
    void checkSizes() const; // sizes that agree with one another, no password
    void readFields(const std::vector<std::uint8_t>& h);
    // Field i of the header: its name as stored, type and size byte, checked.
    void describeField(Field& f, std::size_t i, const std::string& name, std::uint8_t type,
                       std::uint8_t size) const;
    void readFieldNumbers(const std::vector<std::uint8_t>& h, std::size_t offset);
    void walkChain();
    const platform::File* memo() const;
    // n bytes of the memo file at offset, from the window (valid until the next call), or null
    // when the file does not hold them.
    const std::uint8_t* memoBytes(std::uint64_t offset, std::size_t n) const;
    // The bytes of a blob: a view of the leader, the window or scratch.
    // leader: the record's copy of the blob's first bytes; offsetIndex and length as in BlobRef.
    std::span<const std::uint8_t> blobBytes(std::span<const std::uint8_t> leader,
                                            std::uint32_t offsetIndex, std::uint32_t length,
                                            std::vector<std::uint8_t>& scratch) const;
    // Where a blob's bytes begin in the memo file, checked against its block.
    std::uint64_t blobStart(std::uint32_t index, std::uint64_t blockOffset,
                            std::uint32_t length) const;
    FormatError memoError(const std::string& what) const;
    std::span<const std::uint8_t> blobBytes(const BlobRef& ref,
                                            std::vector<std::uint8_t>& scratch) const {
        return blobBytes(ref.leader, ref.offsetIndex, ref.length, scratch);
    }
    // The stored bytes of an Alpha or Memo value (empty for NULL): the leader, the memo window
    // or scratch.
    std::span<const std::uint8_t> storedText(std::size_t fieldIndex,
                                             std::span<const std::uint8_t> record,
                                             std::vector<std::uint8_t>& scratch) const;
    // textForm(decode(...)) without building the Value; nullopt for NULL.
    std::optional<std::string> text(std::size_t fieldIndex,
                                    std::span<const std::uint8_t> record) const;
    // Text bytes of field f in the table's code page, as UTF-8.
    std::string fieldText(const Field& f, std::string_view bytes) const {
        try {
            return qm::paradox::decode(header.codePage, bytes);
        } catch (const CodePageError& e) {
            fail("field \"" + f.name + "\" holds text that is not valid in code page " +
                 std::to_string(header.codePage) + ": " + e.what());
        }
    }
    Value decode(std::size_t fieldIndex, std::span<const std::uint8_t> record) const;
    void decodeBlob(const Field& f, std::span<const std::uint8_t> raw, Value& v) const;
    std::vector<std::uint8_t> readBlob(FieldType type, const BlobRef& ref) const;
};

} // namespace qm::paradox::detail
