#pragma once

// Reading Paradox tables (.db with their .mb), levels 3.0 to 7.
//
// The reader never trusts the file: every count, offset and size is checked against the file
// before use, the block chain is walked with cycle detection, and records are read one block at
// a time so that a table far larger than memory can be scanned.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qm::paradox {

// Anything wrong with a table's files. The message names the file and what is wrong.
class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The table (and its memo file) are encrypted; the message says it is "password-protected".
class EncryptedTableError : public FormatError {
  public:
    using FormatError::FormatError;
};

enum class FieldType : std::uint8_t {
    Alpha = 0x01,
    Date = 0x02,
    Short = 0x03,
    Long = 0x04,
    Money = 0x05,
    Number = 0x06,
    Logical = 0x09,
    Memo = 0x0C,
    Binary = 0x0D,
    FormattedMemo = 0x0E,
    Ole = 0x0F,
    Graphic = 0x10,
    Time = 0x14,
    Timestamp = 0x15,
    Autoinc = 0x16,
    Bcd = 0x17,
    Bytes = 0x18,
};

// True for the type codes above.
bool isKnownFieldType(std::uint8_t code);
// Memo, Binary, FormattedMemo, Ole and Graphic: leader + 10-byte descriptor, data in the .mb.
bool isBlobType(FieldType type);
// False for Binary, FormattedMemo, Ole, Graphic and Bytes: their values have no text form, so
// they never reach the working copy and their bytes stay in the table as they are.
bool hasTextForm(FieldType type);
// The letter Paradox uses for the type ('A', 'D', 'S', 'I', '$', 'N', 'L', 'M', 'B', 'F', 'O',
// 'G', 'T', '@', '+', '#', 'Y').
char typeLetter(FieldType type);
// Bytes the type takes in a record for the header size byte (BCD takes 17 whatever its size).
std::size_t recordWidth(FieldType type, std::uint8_t size);

struct Field {
    std::string name; // UTF-8, decoded with the table's code page
    FieldType type = FieldType::Alpha;
    std::uint8_t size = 0;    // the header's size byte (BCD: number of decimals)
    std::size_t offset = 0;   // byte offset within the record
    std::size_t width = 0;    // bytes within the record
    std::uint16_t number = 0; // field number from the header (4.x+), else index + 1
};

// Every fixed header value; offsets in the comments are file offsets.
struct Header {
    std::uint16_t recordSize = 0;         // 0x00
    std::uint16_t headerSize = 0;         // 0x02
    std::uint8_t fileType = 0;            // 0x04: 0 keyed, 2 unkeyed
    std::uint8_t maxTableSize = 0;        // 0x05: block size in KiB
    std::uint32_t blockSize = 0;          // maxTableSize * 1024
    std::uint32_t numRecords = 0;         // 0x06
    std::uint16_t usedBlocks = 0;         // 0x0A (nextBlock)
    std::uint16_t fileBlocks = 0;         // 0x0C
    std::uint16_t firstBlock = 0;         // 0x0E
    std::uint16_t lastBlock = 0;          // 0x10
    std::uint16_t changeCounter = 0;      // 0x12
    std::uint8_t modifiedFlags1 = 0;      // 0x14
    std::uint8_t indexFieldNumber = 0;    // 0x15
    std::uint16_t numFields = 0;          // 0x21
    std::uint16_t primaryKeyFields = 0;   // 0x23
    std::uint32_t encryption1 = 0;        // 0x25
    std::uint8_t sortOrder = 0;           // 0x29
    std::uint8_t modifiedFlags2 = 0;      // 0x2A
    std::uint8_t changeCount1 = 0;        // 0x2D
    std::uint8_t changeCount2 = 0;        // 0x2E
    std::uint8_t writeProtected = 0;      // 0x38
    std::uint8_t fileVersionID = 0;       // 0x39: 3..12
    std::uint16_t maxBlocks = 0;          // 0x3A
    std::uint8_t auxPasswords = 0;        // 0x3D
    std::uint32_t cryptInfoStartPtr = 0;  // 0x40
    std::uint32_t cryptInfoEndPtr = 0;    // 0x44
    std::uint32_t autoInc = 0;            // 0x49
    std::uint16_t firstFreeBlock = 0;     // 0x4D
    std::uint8_t indexUpdateRequired = 0; // 0x4F
    std::uint16_t realHeaderSize = 0;     // 0x51
    std::uint8_t refIntegrity = 0;        // 0x55

    // Data header, present when fileVersionID >= 5 (hasDataHeader).
    bool hasDataHeader = false;
    std::uint16_t fileVerID3 = 0;     // 0x58
    std::uint16_t fileVerID4 = 0;     // 0x5A
    std::uint32_t encryption2 = 0;    // 0x5C
    std::uint32_t fileUpdateTime = 0; // 0x60
    std::uint16_t hiFieldID = 0;      // 0x64
    std::uint16_t hiFieldIDinfo = 0;  // 0x66
    std::uint16_t storedCodePage = 0; // 0x6A as stored (0 for 3.x, which has none)
    std::uint16_t codePage = 437;     // the code page text is read with: stored, 0 read as 437

    // Variable part.
    std::size_t fieldInfoOffset = 0;         // 0x78 with a data header, else 0x58
    std::string tableName;                   // raw bytes up to the first NUL (code page text)
    std::size_t tableNameSize = 0;           // 79, or 261 for 7.x
    std::vector<std::uint16_t> fieldNumbers; // 4.x+ only
    std::string sortOrderID;                 // 4.x+ only ("ascii", "intl", "ANSIINTL", ...)

    // The whole header (headerSize bytes, or the file when shorter), for writers that must keep
    // every byte they do not understand.
    std::vector<std::uint8_t> raw;

    bool keyed() const { return fileType == 0; }
    // Level as Paradox names it: "3.0", "3.5", "4.x", "5.x", "7.x".
    std::string levelName() const;
};

// Where a blob field's value lives: the leader copy in the record and the .mb descriptor.
struct BlobRef {
    std::vector<std::uint8_t> leader; // the leader bytes of the record (fSize - 10)
    std::uint32_t offsetIndex = 0;    // low byte: index (0xFF = type-2 block); high 24 bits: offset
    std::uint32_t length = 0;         // total length, 0 = NULL
    std::uint16_t modNr = 0;

    std::uint8_t index() const { return static_cast<std::uint8_t>(offsetIndex & 0xFF); }
    std::uint32_t blockOffset() const { return offsetIndex & ~std::uint32_t{0xFF}; }
    bool inLeader() const { return length != 0 && length <= leader.size(); }
};

// A decoded field value.
//   null                   NULL (per type: Alpha first byte 0, numbers all zero, BCD flags clear,
//                          Logical 0, Bytes all zero, blob length 0)
//   int64                  Short, Long, Autoinc; Date (day number, 0001-01-01 = 1);
//                          Time (ms since midnight); Logical (0/1)
//   double                 Number, Money; Timestamp (ms, day number * 86 400 000 + ms of day)
//   std::string            Alpha and Memo as UTF-8; BCD as its exact decimal text
//   std::vector<uint8_t>   Bytes, Binary, FormattedMemo, Ole, Graphic (Graphic keeps its
//                          8-byte prefix, as stored)
// Blob fields (Memo too) also carry their descriptor, null or not.
struct Value {
    using Data =
        std::variant<std::monostate, std::int64_t, double, std::string, std::vector<std::uint8_t>>;
    Data data;
    std::optional<BlobRef> blob;

    bool isNull() const { return std::holds_alternative<std::monostate>(data); }
    std::int64_t asInt() const { return std::get<std::int64_t>(data); }
    double asDouble() const { return std::get<double>(data); }
    const std::string& asText() const { return std::get<std::string>(data); }
    const std::vector<std::uint8_t>& asBytes() const {
        return std::get<std::vector<std::uint8_t>>(data);
    }
};

class Table;
namespace detail {
struct TableImpl;
}

// One record. From forEachRecord its bytes are borrowed and valid only during the call; a record
// from readRecordAt or copy() owns them.
class Record {
  public:
    std::uint32_t block() const { return block_; }
    std::uint32_t indexInBlock() const { return index_; }
    std::uint64_t fileOffset() const { return offset_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }
    // Decodes field i; throws FormatError for a bad value (unmappable text, bad blob pointer).
    Value value(std::size_t fieldIndex) const;
    // A record that owns its bytes (values still need the table, or the Table it was moved into).
    Record copy() const;

  private:
    friend class Table;
    const detail::TableImpl* table_ = nullptr; // stays put when the Table is moved
    std::uint32_t block_ = 0;
    std::uint32_t index_ = 0;
    std::uint64_t offset_ = 0;
    std::span<const std::uint8_t> bytes_;
    std::shared_ptr<const std::vector<std::uint8_t>> owned_;
};

class Table {
  public:
    // Opens db and the memo file beside it (same name, extension .mb in any case). Two memo
    // candidates differing only in case is an error. A missing memo file is not an error until a
    // blob stored in it is read.
    static Table open(const std::filesystem::path& db);
    // Opens db with an explicit memo file (empty path: none).
    static Table open(const std::filesystem::path& db, const std::filesystem::path& memo);

    // Opens the data file of a secondary index (.Xnn, .XGn: file types 3, 5, 6, 8), a keyed
    // table of the index's fields, the primary key and a block hint.
    static Table openIndexData(const std::filesystem::path& index);

    Table(Table&&) noexcept;
    Table& operator=(Table&&) noexcept;
    ~Table();

    const std::filesystem::path& path() const;
    const std::filesystem::path& memoPath() const; // empty when there is none
    const Header& header() const;
    const std::vector<Field>& fields() const;
    std::uint16_t codePage() const;    // 0 read as 437
    std::uint32_t recordCount() const; // the header's count
    std::uint64_t fileSize() const;
    // File offset of data block n (1-based).
    std::uint64_t blockOffset(std::uint32_t block) const;

    // Calls fn for every record in block-chain order, reading one block at a time. Throws
    // FormatError for a broken chain (cycle, block past the end, count over the block size) or
    // when the chain holds a different number of records than the header says (after the calls).
    void forEachRecord(const std::function<void(const Record&)>& fn) const;
    // Same, stopping early when fn returns false.
    void forEachRecordWhile(const std::function<bool(const Record&)>& fn) const;
    // The file offset of every record in block-chain order, as forEachRecord would give them,
    // without reading the records (the chain was checked at open).
    std::vector<std::uint64_t> recordOffsets() const;
    // The same as one run a block, where a block's first record starts and how many follow it:
    // a table's worth of offsets in a few bytes a block instead of eight a record.
    struct RecordRun {
        std::uint64_t offset = 0;
        std::uint32_t count = 0;
    };
    std::vector<RecordRun> recordRuns() const;
    // Whether a record of the chain starts at this file offset (as one of recordOffsets()).
    bool isRecordStart(std::uint64_t offset) const;
    // The record at an absolute file offset, which must be a record start inside a data block.
    Record readRecordAt(std::uint64_t offset) const;
    // Decodes field i of raw record bytes (recordSize long).
    Value decode(std::size_t fieldIndex, std::span<const std::uint8_t> record) const;
    // textForm(field, decode(fieldIndex, record)), nullopt for NULL, without building the Value
    // for Alpha and Memo fields; the same FormatErrors as decode.
    std::optional<std::string> text(std::size_t fieldIndex,
                                    std::span<const std::uint8_t> record) const;
    // The bytes an Alpha or Memo value is decoded from, undecoded (empty for NULL): a view of
    // the record, of the memo file's read window (valid until the next read of a memo) or of
    // scratch. Throws FormatError as text() does for a bad blob pointer, and for other fields.
    std::span<const std::uint8_t> storedText(std::size_t fieldIndex,
                                             std::span<const std::uint8_t> record,
                                             std::vector<std::uint8_t>& scratch) const;
    // The whole value of a blob from the memo file (or the leader), exactly length bytes.
    std::vector<std::uint8_t> readBlob(FieldType type, const BlobRef& ref) const;

  private:
    using Impl = detail::TableImpl;
    explicit Table(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Finds the memo file beside db: same stem, extension ".mb" in any case. Empty when none;
// FormatError when more than one differ only in case.
std::filesystem::path findMemoFile(const std::filesystem::path& db);

// Text forms, independent of the locale, that agree with the reference decoder.
// "" for NULL and for the blob types without text (Binary, FormattedMemo, Ole, Graphic); Bytes as
// lower-case hex; Memo its text; BCD its exact digits.
std::string textForm(const Field& field, const Value& value);
std::string integerText(std::int64_t v);
std::string doubleText(double v);       // shortest round-trip, "5", "0.1", "1e+20"
std::string dateText(std::int64_t day); // YYYY-MM-DD, years <= 0 as "0000", "-0001"
std::string timeText(std::int64_t ms);  // HH:MM:SS[.mmm]
std::string timestampText(double ms);   // YYYY-MM-DD HH:MM:SS[.mmm]

} // namespace qm::paradox
