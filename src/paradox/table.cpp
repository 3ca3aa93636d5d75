#include "table.h"

#include "codepage.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace qm::paradox {

namespace {

namespace fs = std::filesystem;

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool allZero(std::span<const std::uint8_t> s) {
    return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

// Big-endian integer with the sign bit flipped, as Paradox stores S, I, +, D and T.
std::int64_t recordInt(std::span<const std::uint8_t> raw) {
    std::uint64_t v = 0;
    for (std::uint8_t b : raw)
        v = (v << 8) | b;
    const unsigned bits = static_cast<unsigned>(raw.size() * 8);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    v ^= sign;
    if (v & sign)
        v |= ~((sign << 1) - 1); // sign-extend; raw.size() < 8 for every caller
    return static_cast<std::int64_t>(v);
}

// Big-endian double, positive values with the top bit set, negative ones fully inverted.
double recordDouble(std::span<const std::uint8_t> raw) {
    std::uint64_t v = 0;
    for (std::uint8_t b : raw)
        v = (v << 8) | b;
    if (v & (std::uint64_t{1} << 63))
        v &= ~(std::uint64_t{1} << 63);
    else
        v = ~v;
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openFile(const fs::path& p) {
    return File(std::fopen(p.c_str(), "rb"));
}

// Reads exactly n bytes at offset, or returns false.
bool readAt(std::FILE* f, std::uint64_t offset, void* dst, std::size_t n) {
    if (n == 0)
        return true;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    return std::fread(dst, 1, n, f) == n;
}

// A file read through one large buffer: the chain walk and the record scan ask for small pieces
// that mostly follow one another, and a system call for each would cost more than the reading.
class Window {
  public:
    Window(std::FILE* f, std::uint64_t fileSize, std::size_t size)
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
    std::FILE* file_;
    std::uint64_t fileSize_;
    std::size_t size_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t start_ = 0;
};

// The parts of a blob descriptor the memo lookup needs, borrowed from the record.
struct BlobRefView {
    std::span<const std::uint8_t> leader;
    std::uint32_t offsetIndex;
    std::uint32_t length;
    std::uint8_t index() const { return static_cast<std::uint8_t>(offsetIndex & 0xFF); }
    std::uint32_t blockOffset() const { return offsetIndex & ~std::uint32_t{0xFF}; }
};

std::string fileName(const fs::path& p) {
    return p.string();
}

std::string hexByte(unsigned v) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[(v >> 4) & 0xF] + digits[v & 0xF];
}

} // namespace

// Far outside any calendar Paradox can enter; keeps the day arithmetic of the text form defined.
static bool timestampInRange(double ms) {
    return std::isfinite(ms) && std::fabs(ms) <= 1e15 * 86400000.0;
}

bool isKnownFieldType(std::uint8_t code) {
    switch (code) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x09:
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x0F:
    case 0x10:
    case 0x14:
    case 0x15:
    case 0x16:
    case 0x17:
    case 0x18:
        return true;
    default:
        return false;
    }
}

bool isBlobType(FieldType type) {
    switch (type) {
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return true;
    default:
        return false;
    }
}

char typeLetter(FieldType type) {
    switch (type) {
    case FieldType::Alpha:
        return 'A';
    case FieldType::Date:
        return 'D';
    case FieldType::Short:
        return 'S';
    case FieldType::Long:
        return 'I';
    case FieldType::Money:
        return '$';
    case FieldType::Number:
        return 'N';
    case FieldType::Logical:
        return 'L';
    case FieldType::Memo:
        return 'M';
    case FieldType::Binary:
        return 'B';
    case FieldType::FormattedMemo:
        return 'F';
    case FieldType::Ole:
        return 'O';
    case FieldType::Graphic:
        return 'G';
    case FieldType::Time:
        return 'T';
    case FieldType::Timestamp:
        return '@';
    case FieldType::Autoinc:
        return '+';
    case FieldType::Bcd:
        return '#';
    case FieldType::Bytes:
        return 'Y';
    }
    return '?';
}

std::size_t recordWidth(FieldType type, std::uint8_t size) {
    return type == FieldType::Bcd ? 17 : size;
}

std::string Header::levelName() const {
    if (fileVersionID == 3)
        return "3.0";
    if (fileVersionID == 4)
        return "3.5";
    if (fileVersionID >= 5 && fileVersionID <= 9)
        return "4.x";
    if (fileVersionID == 10 || fileVersionID == 11)
        return "5.x";
    if (fileVersionID == 12)
        return "7.x";
    return "unknown";
}

// ---------------------------------------------------------------------------------------------

struct detail::TableImpl {
    fs::path path;
    bool indexData = false; // a secondary index's data file (.Xnn, .XGn) is read like a table
    fs::path memoPath;
    Header header;
    std::vector<Field> fields;
    std::uint64_t fileSize = 0;
    File db;
    mutable File mb;
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
    void readFields(const std::vector<std::uint8_t>& h);
    void walkChain();
    std::FILE* memo() const;
    // n bytes of the memo file at offset, from the window (valid until the next call), or null
    // when the file does not hold them.
    const std::uint8_t* memoBytes(std::uint64_t offset, std::size_t n) const;
    // The bytes of a blob: a view of the leader, the window or scratch.
    // leader: the record's copy of the blob's first bytes; offsetIndex and length as in BlobRef.
    std::span<const std::uint8_t> blobBytes(std::span<const std::uint8_t> leader,
                                            std::uint32_t offsetIndex, std::uint32_t length,
                                            std::vector<std::uint8_t>& scratch) const;
    std::span<const std::uint8_t> blobBytes(const BlobRef& ref,
                                            std::vector<std::uint8_t>& scratch) const {
        return blobBytes(ref.leader, ref.offsetIndex, ref.length, scratch);
    }
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
    std::vector<std::uint8_t> readBlob(FieldType type, const BlobRef& ref) const;
};

void detail::TableImpl::readHeader() {
    std::error_code ec;
    fileSize = fs::file_size(path, ec);
    if (ec)
        fail("cannot be read (" + ec.message() + ")");
    db = openFile(path);
    if (!db)
        fail(std::string("cannot be opened (") + std::strerror(errno) + ")");
    if (fileSize < 0x58)
        fail("is shorter than a Paradox table header (" + std::to_string(fileSize) + " bytes)");

    std::uint8_t fixed[0x78] = {};
    const std::size_t fixedLen = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, 0x78));
    if (!readAt(db.get(), 0, fixed, fixedLen))
        fail("cannot read its header");

    Header& h = header;
    h.recordSize = le16(fixed + 0x00);
    h.headerSize = le16(fixed + 0x02);
    h.fileType = fixed[0x04];
    h.maxTableSize = fixed[0x05];
    h.blockSize = static_cast<std::uint32_t>(h.maxTableSize) * 1024;
    h.numRecords = le32(fixed + 0x06);
    h.usedBlocks = le16(fixed + 0x0A);
    h.fileBlocks = le16(fixed + 0x0C);
    h.firstBlock = le16(fixed + 0x0E);
    h.lastBlock = le16(fixed + 0x10);
    h.changeCounter = le16(fixed + 0x12);
    h.modifiedFlags1 = fixed[0x14];
    h.indexFieldNumber = fixed[0x15];
    h.numFields = le16(fixed + 0x21);
    h.primaryKeyFields = le16(fixed + 0x23);
    h.encryption1 = le32(fixed + 0x25);
    h.sortOrder = fixed[0x29];
    h.modifiedFlags2 = fixed[0x2A];
    h.changeCount1 = fixed[0x2D];
    h.changeCount2 = fixed[0x2E];
    h.writeProtected = fixed[0x38];
    h.fileVersionID = fixed[0x39];
    h.maxBlocks = le16(fixed + 0x3A);
    h.auxPasswords = fixed[0x3D];
    h.cryptInfoStartPtr = le32(fixed + 0x40);
    h.cryptInfoEndPtr = le32(fixed + 0x44);
    h.autoInc = le32(fixed + 0x49);
    h.firstFreeBlock = le16(fixed + 0x4D);
    h.indexUpdateRequired = fixed[0x4F];
    h.realHeaderSize = le16(fixed + 0x51);
    h.refIntegrity = fixed[0x55];

    const bool secondary = h.fileType == 3 || h.fileType == 5 || h.fileType == 6 || h.fileType == 8;
    if (h.fileType != 0 && h.fileType != 2 && !(indexData && secondary))
        fail("is not a Paradox table (file type " + std::to_string(h.fileType) + ")");
    if (h.fileVersionID < 3 || h.fileVersionID > 12)
        fail("has an unknown table level (file version " + std::to_string(h.fileVersionID) + ")");
    h.hasDataHeader = h.fileVersionID >= 5;
    if (h.hasDataHeader) {
        if (fileSize < 0x78)
            fail("is shorter than a Paradox table header (" + std::to_string(fileSize) + " bytes)");
        h.fileVerID3 = le16(fixed + 0x58);
        h.fileVerID4 = le16(fixed + 0x5A);
        h.encryption2 = le32(fixed + 0x5C);
        h.fileUpdateTime = le32(fixed + 0x60);
        h.hiFieldID = le16(fixed + 0x64);
        h.hiFieldIDinfo = le16(fixed + 0x66);
        h.storedCodePage = le16(fixed + 0x6A);
    }
    h.codePage = effectiveCodePage(h.storedCodePage);
    h.fieldInfoOffset = h.hasDataHeader ? 0x78 : 0x58;

    // From 4.x on the checksum at 0x25 is a constant and the real one sits in the data header.
    const std::uint32_t password = h.hasDataHeader ? h.encryption2 : h.encryption1;
    if (password != 0)
        throw EncryptedTableError(fileName(path) +
                                  ": the table is password-protected and cannot be read");

    if (h.maxTableSize == 0 || h.maxTableSize > 32)
        fail("has an invalid block size (" + std::to_string(h.maxTableSize) + " KiB)");
    if (h.recordSize == 0)
        fail("has a record size of 0");
    if (h.numFields == 0)
        fail("has no fields");
    if (h.headerSize < h.fieldInfoOffset)
        fail("has a header size (" + std::to_string(h.headerSize) +
             ") smaller than its fixed part");
    if (h.headerSize > fileSize)
        fail("is shorter (" + std::to_string(fileSize) + " bytes) than its header (" +
             std::to_string(h.headerSize) + " bytes)");
    if (static_cast<std::uint32_t>(h.recordSize) + 6 > h.blockSize)
        fail("has records (" + std::to_string(h.recordSize) + " bytes) larger than its blocks (" +
             std::to_string(h.blockSize) + " bytes)");

    h.raw.resize(h.headerSize);
    if (!readAt(db.get(), 0, h.raw.data(), h.raw.size()))
        fail("cannot read its header");
    readFields(h.raw);
}

void detail::TableImpl::readFields(const std::vector<std::uint8_t>& raw) {
    Header& h = header;
    const std::size_t end = raw.size();
    std::size_t off = h.fieldInfoOffset;
    const std::size_t n = h.numFields;
    if (off + 2 * n > end)
        fail("declares " + std::to_string(n) + " fields, more than its header holds");
    std::vector<std::pair<std::uint8_t, std::uint8_t>> specs(n);
    for (std::size_t i = 0; i < n; ++i)
        specs[i] = {raw[off + 2 * i], raw[off + 2 * i + 1]};
    off += 2 * n + 4 + 4 * n;
    h.tableNameSize = h.fileVersionID >= 12 ? 261 : 79;
    if (off + h.tableNameSize > end)
        fail("has a header too short for its table name");
    {
        const auto* p = raw.data() + off;
        const auto* z = std::find(p, p + h.tableNameSize, std::uint8_t{0});
        h.tableName.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(z - p));
    }
    off += h.tableNameSize;

    fields.resize(n);
    std::size_t recordOffset = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto* p = raw.data() + off;
        const auto* z = std::find(p, raw.data() + end, std::uint8_t{0});
        if (z == raw.data() + end)
            fail("has a header that ends inside the name of field " + std::to_string(i + 1));
        std::string bytes(reinterpret_cast<const char*>(p), static_cast<std::size_t>(z - p));
        off += bytes.size() + 1;
        Field& f = fields[i];
        try {
            f.name = qm::paradox::decode(h.codePage, bytes);
        } catch (const CodePageError& e) {
            fail("field " + std::to_string(i + 1) +
                 " has a name that is not valid text: " + e.what());
        }
        const auto [type, size] = specs[i];
        if (!isKnownFieldType(type))
            fail("field \"" + f.name + "\" has an unknown type " + hexByte(type));
        f.type = static_cast<FieldType>(type);
        f.size = size;
        std::size_t need = 0;
        switch (f.type) {
        case FieldType::Short:
            need = 2;
            break;
        case FieldType::Date:
        case FieldType::Long:
        case FieldType::Time:
        case FieldType::Autoinc:
            need = 4;
            break;
        case FieldType::Money:
        case FieldType::Number:
        case FieldType::Timestamp:
            need = 8;
            break;
        case FieldType::Logical:
            need = 1;
            break;
        default:
            break;
        }
        if (need && size != need)
            fail("field \"" + f.name + "\" of type " + typeLetter(f.type) + " has size " +
                 std::to_string(size) + " instead of " + std::to_string(need));
        if ((f.type == FieldType::Alpha || f.type == FieldType::Bytes) && size == 0)
            fail("field \"" + f.name + "\" has size 0");
        if (isBlobType(f.type) && size < 10)
            fail("field \"" + f.name + "\" has size " + std::to_string(size) +
                 ", too small for a blob descriptor");
        if (f.type == FieldType::Bcd && size > 32)
            fail("field \"" + f.name + "\" has " + std::to_string(size) +
                 " decimals, more than 32");
        f.offset = recordOffset;
        f.width = recordWidth(f.type, size);
        f.number = static_cast<std::uint16_t>(i + 1);
        recordOffset += f.width;
    }
    if (recordOffset != h.recordSize)
        fail("has field sizes adding up to " + std::to_string(recordOffset) +
             " bytes, not its record size " + std::to_string(h.recordSize));

    // Field numbers and sort order name (4.x+). Only informative: reading does not need them,
    // so a header that stops early just leaves them empty.
    if (h.hasDataHeader && off + 2 * n <= end) {
        h.fieldNumbers.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            h.fieldNumbers[i] = le16(raw.data() + off + 2 * i);
            fields[i].number = h.fieldNumbers[i];
        }
        off += 2 * n;
        const auto* p = raw.data() + off;
        const auto* z = std::find(p, raw.data() + end, std::uint8_t{0});
        if (z != raw.data() + end)
            h.sortOrderID.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(z - p));
    }
}

void detail::TableImpl::walkChain() {
    const Header& h = header;
    // The last block may be cut short (old files), so count any started block as present.
    const std::uint64_t dataBytes = fileSize - h.headerSize;
    const std::uint64_t present = (dataBytes + h.blockSize - 1) / h.blockSize;
    std::vector<bool> seen(65536, false);
    std::uint64_t total = 0;
    std::uint16_t blk = h.firstBlock;
    Window window(db.get(), fileSize, 256 * 1024);
    while (blk != 0) {
        if (seen[blk])
            fail("has a block chain that loops (block " + std::to_string(blk) + " comes twice)");
        seen[blk] = true;
        if (blk > present)
            fail("has block " + std::to_string(blk) + " in its chain, past the end of the file");
        const std::uint64_t p = blockOffset(blk);
        const std::uint8_t* bh = p + 6 > fileSize ? nullptr : window.get(p, 6);
        if (!bh)
            fail("has block " + std::to_string(blk) + " past the end of the file");
        const std::uint16_t next = le16(bh);
        const auto add = static_cast<std::int16_t>(le16(bh + 4));
        const std::uint32_t count =
            add >= 0 ? static_cast<std::uint32_t>(add) / h.recordSize + 1 : 0;
        const std::uint64_t bytes = 6 + static_cast<std::uint64_t>(count) * h.recordSize;
        if (bytes > h.blockSize)
            fail("has block " + std::to_string(blk) + " claiming " + std::to_string(count) +
                 " records, more than fit in a block");
        if (p + bytes > fileSize)
            fail("has block " + std::to_string(blk) +
                 " whose records run past the end of the file");
        chain.push_back({blk, count});
        total += count;
        blk = next;
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (chainPosition.size() <= chain[i].block)
            chainPosition.resize(chain[i].block + 1u, 0);
        chainPosition[chain[i].block] = static_cast<std::uint32_t>(i + 1);
    }
    if (total != h.numRecords)
        fail("says it has " + std::to_string(h.numRecords) + " records but its blocks hold " +
             std::to_string(total));
}

std::FILE* detail::TableImpl::memo() const {
    if (!mbOpened) {
        mbOpened = true;
        if (!memoPath.empty()) {
            std::error_code ec;
            mbSize = fs::file_size(memoPath, ec);
            if (!ec)
                mb = openFile(memoPath);
        }
    }
    return mb.get();
}

// ---------------------------------------------------------------------------------------------

fs::path findMemoFile(const fs::path& db) {
    fs::path folder = db.parent_path();
    if (folder.empty())
        folder = ".";
    std::string want = db.stem().string() + ".mb";
    std::transform(want.begin(), want.end(), want.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), endIt; !ec && it != endIt; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() != want.size())
            continue;
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower == want)
            found.push_back(db.parent_path() / name);
    }
    if (ec)
        throw FormatError(fileName(db) + ": cannot list its folder to find the memo file (" +
                          ec.message() + ")");
    if (found.size() > 1) {
        std::sort(found.begin(), found.end());
        throw FormatError(fileName(db) + ": has more than one memo file (" +
                          found[0].filename().string() + " and " + found[1].filename().string() +
                          ")");
    }
    return found.empty() ? fs::path() : found.front();
}

Table::Table(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;
Table::~Table() = default;

Table Table::open(const fs::path& db) {
    // Check the table first so that a missing or bad table is reported as such.
    auto impl = std::make_unique<Impl>();
    impl->path = db;
    impl->readHeader();
    impl->walkChain();
    impl->memoPath = findMemoFile(db);
    return Table(std::move(impl));
}

Table Table::open(const fs::path& db, const fs::path& memo) {
    auto impl = std::make_unique<Impl>();
    impl->path = db;
    impl->memoPath = memo;
    impl->readHeader();
    impl->walkChain();
    return Table(std::move(impl));
}

Table Table::openIndexData(const fs::path& index) {
    auto impl = std::make_unique<Impl>();
    impl->path = index;
    impl->indexData = true;
    impl->readHeader();
    impl->walkChain();
    return Table(std::move(impl));
}

const fs::path& Table::path() const {
    return impl_->path;
}
const fs::path& Table::memoPath() const {
    return impl_->memoPath;
}
const Header& Table::header() const {
    return impl_->header;
}
const std::vector<Field>& Table::fields() const {
    return impl_->fields;
}
std::uint16_t Table::codePage() const {
    return impl_->header.codePage;
}
std::uint32_t Table::recordCount() const {
    return impl_->header.numRecords;
}
std::uint64_t Table::fileSize() const {
    return impl_->fileSize;
}
std::uint64_t Table::blockOffset(std::uint32_t block) const {
    if (block == 0)
        impl_->fail("has no block 0");
    return impl_->blockOffset(block);
}

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
    Window window(m.db.get(), m.fileSize, 1024 * 1024);
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
    if (!readAt(m.db.get(), offset, owned->data(), owned->size()))
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

std::optional<std::string> Table::text(std::size_t fieldIndex,
                                       std::span<const std::uint8_t> record) const {
    return impl_->text(fieldIndex, record);
}

const std::uint8_t* detail::TableImpl::memoBytes(std::uint64_t offset, std::size_t n) const {
    if (offset >= mbWindowStart && offset + n <= mbWindowStart + mbWindow.size())
        return mbWindow.data() + (offset - mbWindowStart);
    std::FILE* f = memo();
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

std::span<const std::uint8_t>
detail::TableImpl::blobBytes(std::span<const std::uint8_t> leader, std::uint32_t offsetIndex,
                             std::uint32_t length, std::vector<std::uint8_t>& scratch) const {
    const TableImpl& m = *this;
    BlobRefView ref{leader, offsetIndex, length};
    if (ref.length == 0)
        return {};
    if (ref.length <= ref.leader.size())
        return std::span<const std::uint8_t>(ref.leader.data(), ref.length);
    std::FILE* f = m.memo();
    const std::string_view mbName = m.memoPath.empty() ? m.path.native() : m.memoPath.native();
    auto bad = [&](const std::string& what) -> FormatError {
        return FormatError(std::string(mbName) + ": " + what);
    };
    if (!f)
        throw FormatError(fileName(m.path) +
                          ": a blob value is stored in the memo file, which is missing");
    const std::uint32_t idx = ref.index();
    const std::uint64_t off = ref.blockOffset();
    if (off + 12 > m.mbSize)
        throw bad("blob pointer " + std::to_string(off) + " past the end of the memo file");
    const std::uint8_t* head = memoBytes(off, 12);
    if (!head)
        throw bad("cannot read the block at " + std::to_string(off));
    const std::uint8_t blockType = head[0];
    std::uint64_t start = 0;
    // The memo block repeats the length; a pointer whose block disagrees points at the wrong
    // blob (stale or damaged), and its bytes must not pass for the value.
    if (idx == 0xFF) {
        if (blockType != 2)
            throw bad("blob pointer to a block of type " + std::to_string(blockType) + " at " +
                      std::to_string(off) + " (expected a single-blob block)");
        const std::uint32_t stored = le32(head + 3);
        if (stored != ref.length)
            throw bad("the blob at " + std::to_string(off) + " holds " + std::to_string(stored) +
                      " bytes, not the " + std::to_string(ref.length) + " its record says");
        start = off + 9;
    } else {
        if (blockType != 3 || idx >= 64)
            throw bad("blob pointer to a bad sub-allocated entry (index " + std::to_string(idx) +
                      ", block type " + std::to_string(blockType) + " at " + std::to_string(off) +
                      ")");
        const std::uint8_t* entry = memoBytes(off + 12 + 5 * idx, 5);
        if (!entry)
            throw bad("cannot read the blob entry at " + std::to_string(off));
        const std::uint32_t stored =
            entry[4] == 0 || entry[1] == 0 ? 0 : (entry[1] - 1u) * 16u + entry[4];
        if (stored != ref.length)
            throw bad("sub-allocated entry " + std::to_string(idx) + " of the block at " +
                      std::to_string(off) + " holds " + std::to_string(stored) +
                      " bytes, not the " + std::to_string(ref.length) + " its record says");
        const std::uint32_t at = static_cast<std::uint32_t>(entry[0]) * 16;
        if (at < 12 + 5 * 64 || at + ref.length > 4096)
            throw bad("sub-allocated entry " + std::to_string(idx) + " of the block at " +
                      std::to_string(off) + " lies outside its block");
        start = off + at;
    }
    if (start + ref.length > m.mbSize)
        throw bad("blob of " + std::to_string(ref.length) + " bytes at " + std::to_string(start) +
                  " runs past the end of the memo file");
    if (ref.length > kMemoWindow) {
        // Too large for the window: read on its own, leaving the window to the small ones.
        scratch.resize(ref.length);
        if (!readAt(f, start, scratch.data(), scratch.size()))
            throw bad("cannot read the blob at " + std::to_string(start));
        return scratch;
    }
    const std::uint8_t* data = memoBytes(start, ref.length);
    if (!data)
        throw bad("cannot read the blob at " + std::to_string(start));
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

std::optional<std::string> detail::TableImpl::text(std::size_t fieldIndex,
                                                   std::span<const std::uint8_t> record) const {
    // Alpha and Memo, most of a table's text, straight from the record's bytes.
    if (fieldIndex < fields.size()) {
        const Field& f = fields[fieldIndex];
        if (record.size() >= f.offset + f.width) {
            const auto raw = record.subspan(f.offset, f.width);
            if (f.type == FieldType::Alpha) {
                if (raw[0] == 0)
                    return std::nullopt;
                const auto z = std::find(raw.begin(), raw.end(), std::uint8_t{0});
                return fieldText(f, std::string_view(reinterpret_cast<const char*>(raw.data()),
                                                     static_cast<std::size_t>(z - raw.begin())));
            }
            if (f.type == FieldType::Memo) {
                const std::size_t leader = f.width - 10;
                const std::uint32_t length = le32(raw.data() + leader + 4);
                if (length == 0)
                    return std::nullopt;
                std::vector<std::uint8_t> scratch;
                const auto data =
                    blobBytes(raw.first(leader), le32(raw.data() + leader), length, scratch);
                return fieldText(
                    f, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
            }
        }
    }
    Value v = decode(fieldIndex, record);
    if (v.isNull())
        return std::nullopt;
    if (auto* s = std::get_if<std::string>(&v.data))
        return std::move(*s);
    return textForm(fields[fieldIndex], v);
}

Value detail::TableImpl::decode(std::size_t fieldIndex,
                                std::span<const std::uint8_t> record) const {
    const TableImpl& m = *this;
    if (fieldIndex >= m.fields.size())
        m.fail("has no field " + std::to_string(fieldIndex + 1));
    const Field& f = m.fields[fieldIndex];
    if (record.size() < f.offset + f.width)
        m.fail("record too short for field \"" + f.name + "\"");
    const auto raw = record.subspan(f.offset, f.width);
    Value v;
    auto text = [&](std::string_view bytes) { return m.fieldText(f, bytes); };
    switch (f.type) {
    case FieldType::Alpha: {
        if (raw[0] == 0)
            break;
        auto z = std::find(raw.begin(), raw.end(), std::uint8_t{0});
        v.data = text(std::string_view(reinterpret_cast<const char*>(raw.data()),
                                       static_cast<std::size_t>(z - raw.begin())));
        break;
    }
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Autoinc:
    case FieldType::Date:
    case FieldType::Time:
        if (!allZero(raw))
            v.data = recordInt(raw);
        break;
    case FieldType::Money:
    case FieldType::Number:
        if (!allZero(raw))
            v.data = recordDouble(raw);
        break;
    case FieldType::Timestamp:
        if (!allZero(raw)) {
            const double ms = recordDouble(raw);
            if (!timestampInRange(ms))
                m.fail("field \"" + f.name + "\" holds a timestamp out of range (" +
                       doubleText(ms) + ")");
            v.data = ms;
        }
        break;
    case FieldType::Logical:
        if (raw[0] != 0)
            v.data = std::int64_t{raw[0] == 0x81 ? 1 : 0};
        break;
    case FieldType::Bcd: {
        if (!(raw[0] & 0x40))
            break;
        const bool negative = !(raw[0] & 0x80);
        std::string digits;
        digits.reserve(32);
        for (std::size_t i = 1; i < 17; ++i) {
            for (unsigned nib :
                 {static_cast<unsigned>(raw[i] >> 4), static_cast<unsigned>(raw[i] & 0xF)}) {
                if (negative)
                    nib ^= 0xF;
                digits.push_back(nib < 10 ? static_cast<char>('0' + nib) : '?');
            }
        }
        const std::size_t wholeLen = 32 - f.size;
        std::string whole = digits.substr(0, wholeLen);
        const auto firstNonZero = whole.find_first_not_of('0');
        whole = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
        std::string out = negative ? "-" : "";
        out += whole;
        if (f.size)
            out += "." + digits.substr(wholeLen);
        v.data = std::move(out);
        break;
    }
    case FieldType::Bytes:
        if (!allZero(raw))
            v.data = std::vector<std::uint8_t>(raw.begin(), raw.end());
        break;
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic: {
        const std::size_t leader = f.width - 10;
        BlobRef ref;
        ref.leader.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(leader));
        ref.offsetIndex = le32(raw.data() + leader);
        ref.length = le32(raw.data() + leader + 4);
        ref.modNr = le16(raw.data() + leader + 8);
        if (ref.length != 0) {
            std::vector<std::uint8_t> scratch;
            const auto data = blobBytes(ref, scratch);
            if (f.type == FieldType::Memo)
                v.data =
                    text(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
            else
                v.data = std::vector<std::uint8_t>(data.begin(), data.end());
        }
        v.blob = std::move(ref);
        break;
    }
    }
    return v;
}

// ---------------------------------------------------------------------------------------------
// Text forms

namespace {

// Python-style floor division and modulo, so negative values print as the reference does.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}
std::int64_t floorMod(std::int64_t a, std::int64_t b) {
    return a - floorDiv(a, b) * b;
}

// Appends v as printf's "%0<width>lld" would print it: at least width characters, zero-padded
// after the sign. Every date of a large table passes through here, so no printf.
void appendPadded(std::string& out, std::int64_t v, int width) {
    char digits[24];
    int n = 0;
    std::uint64_t u = v < 0 ? ~static_cast<std::uint64_t>(v) + 1 : static_cast<std::uint64_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) {
        out += '-';
        --width;
    }
    for (int i = n; i < width; ++i)
        out += '0';
    while (n)
        out += digits[--n];
}

} // namespace

std::string integerText(std::int64_t v) {
    return std::to_string(v);
}

std::string doubleText(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string dateText(std::int64_t n) {
    // Days since 0000-03-01 in the proleptic Gregorian calendar (day 1 is 0001-01-01).
    const std::int64_t z = n - 719163 + 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t mo = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (mo <= 2 ? 1 : 0);
    std::string out;
    out.reserve(16);
    appendPadded(out, y, y < 0 ? 5 : 4);
    out += '-';
    appendPadded(out, mo, 2);
    out += '-';
    appendPadded(out, d, 2);
    return out;
}

std::string timeText(std::int64_t ms) {
    const std::int64_t s = floorDiv(ms, 1000);
    const std::int64_t milli = floorMod(ms, 1000);
    std::string out;
    out.reserve(16);
    appendPadded(out, floorDiv(s, 3600), 2);
    out += ':';
    appendPadded(out, floorMod(floorDiv(s, 60), 60), 2);
    out += ':';
    appendPadded(out, floorMod(s, 60), 2);
    if (milli) {
        out += '.';
        appendPadded(out, milli, 3);
    }
    return out;
}

std::string timestampText(double ms) {
    constexpr double dayMs = 86400000.0;
    if (!timestampInRange(ms))
        throw FormatError("timestamp value " + doubleText(ms) + " is out of range");
    // Floor division as Python's divmod does it for floats.
    double mod = std::fmod(ms, dayMs);
    double div = (ms - mod) / dayMs;
    if (mod != 0 && mod < 0) {
        mod += dayMs;
        div -= 1.0;
    }
    double days = std::floor(div);
    if (div - days > 0.5)
        days += 1.0;
    const auto rest = static_cast<std::int64_t>(std::nearbyint(mod));
    return dateText(static_cast<std::int64_t>(days)) + " " + timeText(rest);
}

std::string textForm(const Field& field, const Value& value) {
    if (value.isNull())
        return {};
    switch (field.type) {
    case FieldType::Alpha:
    case FieldType::Memo:
    case FieldType::Bcd:
        return value.asText();
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Autoinc:
        return integerText(value.asInt());
    case FieldType::Money:
    case FieldType::Number:
        return doubleText(value.asDouble());
    case FieldType::Date:
        return dateText(value.asInt());
    case FieldType::Time:
        return timeText(value.asInt());
    case FieldType::Timestamp:
        return timestampText(value.asDouble());
    case FieldType::Logical:
        return value.asInt() ? "True" : "False";
    case FieldType::Bytes: {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (std::uint8_t b : value.asBytes()) {
            out.push_back(digits[b >> 4]);
            out.push_back(digits[b & 0xF]);
        }
        return out;
    }
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return {};
    }
    return {};
}

} // namespace qm::paradox
