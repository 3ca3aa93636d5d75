#pragma once

// Where each value sits in the header of a Paradox table or index file (.DB, .PX, .Xnn, .Ynn,
// .XGn, .YGn), named once for the reader and the writers. Values of two or four bytes are
// little-endian (le16, le32 in byte_order.h). Offsets checked against the format documents of the
// corpus and its tables; names follow those documents where they have one.

#include <cstddef>
#include <cstdint>

namespace qm::paradox::layout {

// The fixed part, in every file of every level.
inline constexpr std::size_t kRecordSize = 0x00;       // 2: bytes per record (per index entry)
inline constexpr std::size_t kHeaderSize = 0x02;       // 2: where block 1 begins
inline constexpr std::size_t kFileType = 0x04;         // 1: 0 keyed, 2 unkeyed, 1 .PX, 3.. indexes
inline constexpr std::size_t kBlockSizeKiB = 0x05;     // 1: "maxTableSize"
inline constexpr std::size_t kNumRecords = 0x06;       // 4
inline constexpr std::size_t kUsedBlocks = 0x0A;       // 2: "nextBlock"
inline constexpr std::size_t kFileBlocks = 0x0C;       // 2
inline constexpr std::size_t kFirstBlock = 0x0E;       // 2: first block of the chain
inline constexpr std::size_t kLastBlock = 0x10;        // 2: last block of the chain
inline constexpr std::size_t kChangeCounter = 0x12;    // 2
inline constexpr std::size_t kModifiedFlags1 = 0x14;   // 1
inline constexpr std::size_t kIndexFieldNumber = 0x15; // 1: .Xnn: the field indexed
inline constexpr std::size_t kIndexRoot = 0x1E;        // 2: .PX, .Ynn: block of the root
inline constexpr std::size_t kIndexLevels = 0x20;      // 1: .PX, .Ynn
inline constexpr std::size_t kNumFields = 0x21;        // 2
inline constexpr std::size_t kPrimaryKeyFields = 0x23; // 2
inline constexpr std::size_t kEncryption1 = 0x25;      // 4: 3.x: the password's checksum
inline constexpr std::size_t kSortOrder = 0x29;        // 1
inline constexpr std::size_t kModifiedFlags2 = 0x2A;   // 1
inline constexpr std::size_t kIndexChangeCount = 0x2C; // 1: .PX: the table's kChangeCount1
inline constexpr std::size_t kChangeCount1 = 0x2D;     // 1
inline constexpr std::size_t kChangeCount2 = 0x2E;     // 1: the .VAL's first byte repeats it
inline constexpr std::size_t kWriteProtected = 0x38;   // 1
inline constexpr std::size_t kFileVersionId = 0x39;    // 1: the table's level, 3 to 12
inline constexpr std::size_t kMaxBlocks = 0x3A;        // 2
inline constexpr std::size_t kAuxPasswords = 0x3D;     // 1
inline constexpr std::size_t kUnknown3E = 0x3E;        // 2: 1F 0F in the BDE's 4.x+ tables
inline constexpr std::size_t kCryptInfoStart = 0x40;   // 4
inline constexpr std::size_t kCryptInfoEnd = 0x44;     // 4
inline constexpr std::size_t kAutoInc = 0x49;          // 4: the last value handed out
inline constexpr std::size_t kFirstFreeBlock = 0x4D;   // 2
inline constexpr std::size_t kIndexUpdateRequired = 0x4F; // 1
inline constexpr std::size_t kRealHeaderSize = 0x51;      // 2: header bytes in use
inline constexpr std::size_t kRefIntegrity = 0x55;        // 1
inline constexpr std::size_t kUnknown56 = 0x56;           // 2: 20 00 in the BDE's 4.x+ tables
inline constexpr std::size_t kFixedEnd = 0x58;            // where the fixed part ends

// The data header: .DB, .Xnn and .XGn files of level 5 (4.x) and later.
inline constexpr std::size_t kFileVerId3 = 0x58;      // 2: 0x0100 + the level
inline constexpr std::size_t kFileVerId4 = 0x5A;      // 2: the same
inline constexpr std::size_t kEncryption2 = 0x5C;     // 4: 4.x+: the password's checksum
inline constexpr std::size_t kFileUpdateTime = 0x60;  // 4
inline constexpr std::size_t kHiFieldId = 0x64;       // 2: fields + 1 when created
inline constexpr std::size_t kHiFieldIdInfo = 0x66;   // 2: + kFixedEnd: the field numbers
inline constexpr std::size_t kCodePage = 0x6A;        // 2
inline constexpr std::size_t kUnknown6C = 0x6C;       // 2: 01 01 in the BDE's tables
inline constexpr std::size_t kSortOrderIdInfo = 0x6E; // 2: + kFixedEnd: the sort order's name
inline constexpr std::size_t kChangeCount4 = 0x70;    // 2
inline constexpr std::size_t kDataHeaderEnd = 0x78;   // where the field descriptions begin

// kEncryption1 of a 4.x+ table: "the checksum is at kEncryption2".
inline constexpr std::uint32_t kEncryptionElsewhere = 0xFF00FF00;

// The table's name after the field descriptions, NUL padded, by level.
constexpr std::size_t tableNameSize(unsigned fileVersionId) {
    return fileVersionId >= 12 ? 261 : 79;
}

} // namespace qm::paradox::layout
