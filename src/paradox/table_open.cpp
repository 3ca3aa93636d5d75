#include "paradox/table_impl.h"

#include "paradox/ascii.h"
#include "paradox/folder_listing.h"
#include "paradox/header_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

namespace qm::paradox {

using detail::fileName;
using detail::readAt;
using detail::ReadWindow;
namespace fs = std::filesystem;

namespace {

std::string hexByte(unsigned v) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[(v >> 4) & 0xF] + digits[v & 0xF];
}

// The values of the fixed part, as stored.
void parseFixedPart(Header& h, const std::uint8_t* fixed) {
    using namespace layout;
    h.recordSize = le16(fixed + kRecordSize);
    h.headerSize = le16(fixed + kHeaderSize);
    h.fileType = fixed[kFileType];
    h.maxTableSize = fixed[kBlockSizeKiB];
    h.blockSize = static_cast<std::uint32_t>(h.maxTableSize) * 1024;
    h.numRecords = le32(fixed + kNumRecords);
    h.usedBlocks = le16(fixed + kUsedBlocks);
    h.fileBlocks = le16(fixed + kFileBlocks);
    h.firstBlock = le16(fixed + kFirstBlock);
    h.lastBlock = le16(fixed + kLastBlock);
    h.changeCounter = le16(fixed + kChangeCounter);
    h.modifiedFlags1 = fixed[kModifiedFlags1];
    h.indexFieldNumber = fixed[kIndexFieldNumber];
    h.numFields = le16(fixed + kNumFields);
    h.primaryKeyFields = le16(fixed + kPrimaryKeyFields);
    h.encryption1 = le32(fixed + kEncryption1);
    h.sortOrder = fixed[kSortOrder];
    h.modifiedFlags2 = fixed[kModifiedFlags2];
    h.changeCount1 = fixed[kChangeCount1];
    h.changeCount2 = fixed[kChangeCount2];
    h.writeProtected = fixed[kWriteProtected];
    h.fileVersionID = fixed[kFileVersionId];
    h.maxBlocks = le16(fixed + kMaxBlocks);
    h.auxPasswords = fixed[kAuxPasswords];
    h.cryptInfoStartPtr = le32(fixed + kCryptInfoStart);
    h.cryptInfoEndPtr = le32(fixed + kCryptInfoEnd);
    h.autoInc = le32(fixed + kAutoInc);
    h.firstFreeBlock = le16(fixed + kFirstFreeBlock);
    h.indexUpdateRequired = fixed[kIndexUpdateRequired];
    h.realHeaderSize = le16(fixed + kRealHeaderSize);
    h.refIntegrity = fixed[kRefIntegrity];
}

void parseDataHeader(Header& h, const std::uint8_t* fixed) {
    using namespace layout;
    h.fileVerID3 = le16(fixed + kFileVerId3);
    h.fileVerID4 = le16(fixed + kFileVerId4);
    h.encryption2 = le32(fixed + kEncryption2);
    h.fileUpdateTime = le32(fixed + kFileUpdateTime);
    h.hiFieldID = le16(fixed + kHiFieldId);
    h.hiFieldIDinfo = le16(fixed + kHiFieldIdInfo);
    h.storedCodePage = le16(fixed + kCodePage);
}

// The record width a type of a fixed size must have; 0 for the types whose size varies.
std::size_t fixedWidthOf(FieldType type) {
    switch (type) {
    case FieldType::Short:
        return 2;
    case FieldType::Date:
    case FieldType::Long:
    case FieldType::Time:
    case FieldType::Autoinc:
        return 4;
    case FieldType::Money:
    case FieldType::Number:
    case FieldType::Timestamp:
        return 8;
    case FieldType::Logical:
        return 1;
    default:
        return 0;
    }
}

// The text from p up to the first NUL before end; nullopt when there is none.
std::optional<std::string> zeroTerminated(const std::uint8_t* p, const std::uint8_t* end) {
    const auto* z = std::find(p, end, std::uint8_t{0});
    if (z == end)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(z - p));
}

} // namespace

void detail::TableImpl::readHeader() {
    openFile();
    std::uint8_t fixed[layout::kDataHeaderEnd] = {};
    const std::size_t fixedLen =
        static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, layout::kDataHeaderEnd));
    if (!readAt(&db, 0, fixed, fixedLen))
        fail("cannot read its header");

    Header& h = header;
    parseFixedPart(h, fixed);
    checkKind();
    h.hasDataHeader = h.fileVersionID >= 5;
    if (h.hasDataHeader) {
        if (fileSize < layout::kDataHeaderEnd)
            fail("is shorter than a Paradox table header (" + std::to_string(fileSize) + " bytes)");
        parseDataHeader(h, fixed);
    }
    h.codePage = effectiveCodePage(h.storedCodePage);
    h.fieldInfoOffset = h.hasDataHeader ? layout::kDataHeaderEnd : layout::kFixedEnd;
    checkSizes();

    h.raw.resize(h.headerSize);
    if (!readAt(&db, 0, h.raw.data(), h.raw.size()))
        fail("cannot read its header");
    readFields(h.raw);
}

void detail::TableImpl::openFile() {
    std::error_code ec;
    fileSize = fs::file_size(path, ec);
    if (ec)
        fail("cannot be read (" + ec.message() + ")");
    if (const int e = db.open(path, platform::File::Read))
        fail(std::string("cannot be opened (") + std::strerror(e) + ")");
    if (fileSize < layout::kFixedEnd)
        fail("is shorter than a Paradox table header (" + std::to_string(fileSize) + " bytes)");
}

void detail::TableImpl::checkKind() const {
    const Header& h = header;
    const bool secondary = h.fileType == 3 || h.fileType == 5 || h.fileType == 6 || h.fileType == 8;
    if (h.fileType != 0 && h.fileType != 2 && !(indexData && secondary))
        fail("is not a Paradox table (file type " + std::to_string(h.fileType) + ")");
    if (h.fileVersionID < 3 || h.fileVersionID > 12)
        fail("has an unknown table level (file version " + std::to_string(h.fileVersionID) + ")");
}

void detail::TableImpl::checkSizes() const {
    const Header& h = header;
    // From 4.x on the checksum at kEncryption1 is a constant and the real one sits in the data
    // header.
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
    // A key past the last field would have every change of the table taken for a key change,
    // and the table refused only at its write-back, with the name of a temporary file.
    if (!indexData && h.primaryKeyFields > h.numFields)
        fail("names " + std::to_string(h.primaryKeyFields) + " key fields, but has only " +
             std::to_string(h.numFields) + " fields");
    if (h.headerSize < h.fieldInfoOffset)
        fail("has a header size (" + std::to_string(h.headerSize) +
             ") smaller than its fixed part");
    if (h.headerSize > fileSize)
        fail("is shorter (" + std::to_string(fileSize) + " bytes) than its header (" +
             std::to_string(h.headerSize) + " bytes)");
    if (static_cast<std::uint32_t>(h.recordSize) + 6 > h.blockSize)
        fail("has records (" + std::to_string(h.recordSize) + " bytes) larger than its blocks (" +
             std::to_string(h.blockSize) + " bytes)");
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
    off += 2 * n + 4 + 4 * n; // the table name's and the field names' pointers: RAM addresses
    h.tableNameSize = layout::tableNameSize(h.fileVersionID);
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
        const auto bytes = zeroTerminated(raw.data() + off, raw.data() + end);
        if (!bytes)
            fail("has a header that ends inside the name of field " + std::to_string(i + 1));
        off += bytes->size() + 1;
        Field& f = fields[i];
        describeField(f, i, *bytes, specs[i].first, specs[i].second);
        f.offset = recordOffset;
        recordOffset += f.width;
    }
    if (recordOffset != h.recordSize)
        fail("has field sizes adding up to " + std::to_string(recordOffset) +
             " bytes, not its record size " + std::to_string(h.recordSize));
    readFieldNumbers(raw, off);
}

void detail::TableImpl::describeField(Field& f, std::size_t i, const std::string& name,
                                      std::uint8_t type, std::uint8_t size) const {
    try {
        f.name = qm::paradox::decode(header.codePage, name);
    } catch (const CodePageError& e) {
        fail("field " + std::to_string(i + 1) + " has a name that is not valid text: " + e.what());
    }
    if (!isKnownFieldType(type))
        fail("field \"" + f.name + "\" has an unknown type " + hexByte(type));
    f.type = static_cast<FieldType>(type);
    f.size = size;
    if (const std::size_t need = fixedWidthOf(f.type); need && size != need)
        fail("field \"" + f.name + "\" of type " + typeLetter(f.type) + " has size " +
             std::to_string(size) + " instead of " + std::to_string(need));
    if ((f.type == FieldType::Alpha || f.type == FieldType::Bytes) && size == 0)
        fail("field \"" + f.name + "\" has size 0");
    if (isBlobType(f.type) && size < 10)
        fail("field \"" + f.name + "\" has size " + std::to_string(size) +
             ", too small for a blob descriptor");
    if (f.type == FieldType::Bcd && size > 32)
        fail("field \"" + f.name + "\" has " + std::to_string(size) + " decimals, more than 32");
    f.width = recordWidth(f.type, size);
    f.number = static_cast<std::uint16_t>(i + 1);
}

// Field numbers and sort order name (4.x+). Only informative: reading does not need them, so a
// header that stops early just leaves them empty.
void detail::TableImpl::readFieldNumbers(const std::vector<std::uint8_t>& raw, std::size_t off) {
    Header& h = header;
    const std::size_t end = raw.size();
    const std::size_t n = h.numFields;
    if (!h.hasDataHeader || off + 2 * n > end)
        return;
    h.fieldNumbers.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        h.fieldNumbers[i] = le16(raw.data() + off + 2 * i);
        fields[i].number = h.fieldNumbers[i];
    }
    off += 2 * n;
    if (const auto name = zeroTerminated(raw.data() + off, raw.data() + end))
        h.sortOrderID = *name;
}

void detail::TableImpl::walkChain() {
    const Header& h = header;
    // The last block may be cut short (old files), so count any started block as present.
    const std::uint64_t dataBytes = fileSize - h.headerSize;
    const std::uint64_t present = (dataBytes + h.blockSize - 1) / h.blockSize;
    std::vector<bool> seen(65536, false);
    std::uint64_t total = 0;
    std::uint16_t blk = h.firstBlock;
    ReadWindow window(&db, fileSize, 256 * 1024);
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

const platform::File* detail::TableImpl::memo() const {
    if (!mbOpened) {
        mbOpened = true;
        if (!memoPath.empty()) {
            std::error_code ec;
            mbSize = fs::file_size(memoPath, ec);
            if (!ec)
                (void)mb.open(memoPath, platform::File::Read);
        }
    }
    return mb.isOpen() ? &mb : nullptr;
}

// ---------------------------------------------------------------------------------------------

fs::path findMemoFile(const fs::path& db) {
    fs::path folder = db.parent_path();
    if (folder.empty())
        folder = ".";
    const std::string want = asciiLower(db.stem().string() + ".mb");
    std::vector<fs::path> found;
    std::vector<std::string> names;
    if (const int e = folderNames(folder, names))
        throw FormatError(fileName(db) + ": cannot list its folder to find the memo file (" +
                          std::generic_category().message(e) + ")");
    for (const auto& name : names) {
        if (name.size() != want.size())
            continue;
        if (asciiLower(name) == want)
            found.push_back(db.parent_path() / name);
    }
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

} // namespace qm::paradox
