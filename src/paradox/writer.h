#pragma once

// Creating Paradox tables (.db, with .mb for blob fields and .px for keyed tables), levels 4.x to
// 7.x. Records are streamed: an unkeyed table is written block by block as records arrive, and a
// keyed one keeps only the encoded record bytes until it can sort them, so a table of millions of
// records costs little memory. Header bytes follow what the BDE writes for a freshly created
// table, so that other Paradox programs take our tables for their own.

#include "paradox/table.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qm::paradox {

// A value or a table definition that cannot be written. Nothing is left behind when it is thrown
// by the writer: the partial files are removed.
class WriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file operation failed; errnum is the errno of the failing call, so that callers can tell
// "not found" from "permission denied".
class FileError : public WriteError {
  public:
    FileError(const std::string& what, int errnum) : WriteError(what), errnum_(errnum) {}
    int errnum() const { return errnum_; }

  private:
    int errnum_;
};

struct FieldSpec {
    std::string name; // UTF-8; stored in the table's code page
    FieldType type = FieldType::Alpha;
    // Alpha 1..255; blob types: leader + 10 (Memo 11..250, others 10..250); BCD: decimals 0..32;
    // Bytes 1..255. Ignored (fixed) for the other types.
    std::uint8_t size = 0;
};

struct TableSpec {
    std::vector<FieldSpec> fields;
    std::uint16_t keyFields = 0;       // leading fields forming the primary key; 0 = unkeyed
    std::uint8_t level = 11;           // fileVersionID: 9 (4.x), 11 (5.x), 12 (7.x)
    std::uint16_t codePage = 1252;     // written at 0x6A
    std::uint8_t sortOrder = 0x00;     // collation byte at 0x29
    std::string sortOrderID = "ascii"; // collation name after the field numbers
    std::uint8_t blockSizeKiB = 2;     // 1, 2, 3, 4, 8, 16 or 32
    // The name stored in the header; empty: the final .db file name given to the writer.
    std::string tableName;
};

// The files of one table family. mb and px may be empty when the table has no blob field or no
// key; they must be given when it has.
struct FamilyPaths {
    std::filesystem::path db;
    std::filesystem::path mb;
    std::filesystem::path px;
};

// db and the .mb/.px beside it, with the extension's case following db's (".DB" -> ".MB").
FamilyPaths familyPathsFor(const std::filesystem::path& db);

// Fixed record width of a field as written (BCD 17, blobs their size, fixed types theirs).
std::size_t writtenWidth(const FieldSpec& field);

// Reads a value in the text form the whole program uses (integers in decimal, Number/Money as
// decimal text, Date YYYY-MM-DD, Time HH:MM:SS[.mmm], Timestamp "YYYY-MM-DD HH:MM:SS[.mmm]",
// Logical True/False, BCD decimal text, Bytes hex) into the Value the writer takes. "" is NULL.
// Throws WriteError naming what is wrong. Alpha and Memo take the text as it is.
Value valueFromText(const FieldSpec& field, std::string_view text);

// Encodes a non-blob field value into its record bytes (out.size() == writtenWidth(field)).
// Text is encoded with codePage; throws WriteError when it does not fit or does not encode.
void encodeFixedField(const FieldSpec& field, const Value& value, std::uint16_t codePage,
                      std::span<std::uint8_t> out);

class TableWriter {
  public:
    // Validates the definition and creates the files (truncating what is there).
    TableWriter(const FamilyPaths& paths, const TableSpec& spec);
    ~TableWriter(); // an unfinished table's files are removed
    TableWriter(const TableWriter&) = delete;
    TableWriter& operator=(const TableWriter&) = delete;

    // One record, one Value per field, typed as the reader returns them (Alpha/Memo/BCD text,
    // integers for Short/Long/Autoinc/Date/Time/Logical, doubles for Number/Money/Timestamp,
    // bytes for Bytes and the binary blob types). A NULL Autoinc gets the next number.
    // Throws WriteError for a value the field cannot hold; the record is then not added.
    void add(std::span<const Value> record);
    // Writes the index and the final headers, flushes and fsyncs every file.
    void finish();

    std::uint64_t recordCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Convenience: the whole table in one call.
void createTable(const FamilyPaths& paths, const TableSpec& spec,
                 const std::vector<std::vector<Value>>& records);

// Helpers shared with the patcher.
namespace detail {
// The 4 KiB block 0 of a new .mb file.
std::vector<std::uint8_t> memoHeaderBlock();

// Places blobs in new blocks at the end of an .mb: blobs up to 2048 bytes share type-3 blocks
// (64 entries, 16-byte chunks), larger ones get a type-2 block of their own. Finished blocks go
// to the sink in file order; the sink writes them at consecutive offsets from startOffset.
class BlobAppender {
  public:
    using Sink = std::function<void(std::span<const std::uint8_t>)>;
    // startOffset: the current .mb size (a multiple of 4096).
    BlobAppender(std::uint64_t startOffset, Sink sink);
    // Returns the descriptor's offsetIndex. Throws WriteError when the .mb would pass 4 GiB.
    std::uint32_t add(std::string_view data, std::uint16_t modNr);
    // Hands over the partly filled type-3 block, if any.
    void flush();
    // The .mb size once flushed.
    std::uint64_t endOffset() const;

  private:
    void emitOpen();
    std::uint64_t next_;
    Sink sink_;
    std::vector<std::uint8_t> open_; // the type-3 block being filled (empty: none)
    int nextEntry_ = 63;
    std::size_t nextChunk_ = 0;
};
} // namespace detail

} // namespace qm::paradox
