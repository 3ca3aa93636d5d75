#include "db/working_copy_write_back.h"

#include "app/error.h"
#include "db/import_prints.h"
#include "db/sqlite_backend.h"
#include "paradox/ascii.h"
#include "paradox/family_swap.h"
#include "paradox/folder_listing.h"
#include "paradox/index_plan.h"
#include "paradox/patcher.h"
#include "paradox/share_locks.h"
#include "paradox/table.h"
#include "platform/files.h"

#include <algorithm>
#include <map>
#include <optional>
#include <span>

namespace qm::db {

namespace fs = std::filesystem;
using paradox::FieldType;

std::string incompleteCopyReason(const WorkingCopyStatus& st) {
    if (!st.recorded || !st.created)
        return "its working copy was not made";
    if (st.failed > 0)
        return "its working copy is incomplete: " + std::to_string(st.failed) +
               " record(s) could not be copied";
    if (st.rowsNow != st.inserted || st.inserted + st.leftOut != st.expected) {
        std::string what = "its working copy holds " + std::to_string(st.rowsNow) + " records";
        if (st.leftOut > 0)
            what += " beside the " + std::to_string(st.leftOut) + " no find text hits";
        return what + ", the table " + std::to_string(st.expected);
    }
    return "rows of its working copy do not know the record they came from";
}

namespace {

// Record bytes by file offset, read a window at a time: the rows come in the table's record
// order, so nearly every read is served from the window.
class RecordReader {
  public:
    RecordReader(const fs::path& db, std::size_t recordSize) : recordSize_(recordSize) {
        if (file_.open(db, platform::File::Read) != 0)
            throw Error(code::PathFileAccess, "Cannot open " + db.string());
    }
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    std::span<const std::uint8_t> at(std::uint64_t offset) {
        if (offset < start_ || offset + recordSize_ > start_ + window_.size()) {
            window_.resize(std::max<std::size_t>(kWindow, recordSize_));
            std::size_t n = 0;
            if (file_.readUpTo(offset, window_.data(), window_.size(), n) != 0 || n < recordSize_)
                throw Error(code::PathFileAccess,
                            "Cannot read the record at " + std::to_string(offset));
            window_.resize(n);
            start_ = offset;
        }
        return {window_.data() + (offset - start_), recordSize_};
    }

  private:
    static constexpr std::size_t kWindow = 256 * 1024;
    platform::File file_;
    std::size_t recordSize_;
    std::vector<std::uint8_t> window_;
    std::uint64_t start_ = 0;
};

// True when the Alpha field's bytes are exactly text (printable ASCII) followed by NULs.
bool sameAsciiAlpha(std::span<const std::uint8_t> field, const std::string& text) {
    if (text.size() > field.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7F || field[i] != c)
            return false;
    }
    for (std::size_t i = text.size(); i < field.size(); ++i)
        if (field[i] != 0)
            return false;
    return true;
}

// The rows of a working copy compared with the records they came from: the values that differ
// and the Paradox fields can take become changes, the others are counted as refused.
class ChangeCollector {
  public:
    ChangeCollector(const paradox::Table& table, const fs::path& db, bool untestedAccepted)
        : table_(table), fields_(table.fields()), reader_(db, table.header().recordSize),
          patcher_(table, untestedAccepted) {
        // In the single-byte code pages a text of ASCII characters is its own bytes, so most
        // Alpha values are found unchanged without decoding them.
        const std::uint16_t cp = table.codePage();
        asciiAlpha_ = cp != 932 && cp != 936 && cp != 949 && cp != 950;
        // One place for every record a block can hold, in every block of the file: the chain
        // tells which of them are records, and no list of the table's offsets is needed.
        const paradox::Header& h = table.header();
        perBlock_ = (h.blockSize - 6) / h.recordSize;
        const std::uint64_t blocks =
            (table.fileSize() - h.headerSize + h.blockSize - 1) / h.blockSize;
        seen_.assign(static_cast<std::size_t>(blocks * perBlock_), false);
    }

    void visit(std::optional<std::uint64_t> offset, const std::vector<Variant>& row) {
        if (!broken.empty())
            return;
        if (!offset) {
            broken = "a row of its working copy does not know the record it came from";
            return;
        }
        if (!table_.isRecordStart(*offset) || seen_[place(*offset)]) {
            broken = "rows of its working copy do not match the table's records";
            return;
        }
        seen_[place(*offset)] = true;
        try {
            compare(*offset, row);
        } catch (const std::exception& e) {
            broken = std::string("a record cannot be read: ") + e.what();
        }
    }

    std::vector<paradox::Change> changes;
    std::map<std::pair<std::size_t, std::string>, long long> refused; // (field, why): values
    std::string broken; // why the copy cannot be compared at all

  private:
    // The place of the record that starts at offset: its block's, and its own in the block.
    std::size_t place(std::uint64_t offset) const {
        const paradox::Header& h = table_.header();
        const std::uint64_t rel = offset - h.headerSize;
        return static_cast<std::size_t>(rel / h.blockSize * perBlock_ +
                                        (rel % h.blockSize - 6) / h.recordSize);
    }

    void compare(std::uint64_t offset, const std::vector<Variant>& row) {
        const auto bytes = reader_.at(offset);
        std::string made;
        for (std::size_t k = 0; k < fields_.size() && k < row.size(); ++k) {
            if (!paradox::hasTextForm(fields_[k].type))
                continue;
            // The row's text as it is, not a copy of it.
            if (!row[k].isText())
                made = row[k].isNull() ? std::string() : row[k].toString();
            const std::string& now = row[k].isText() ? row[k].text() : made;
            if (fields_[k].type == FieldType::Alpha && asciiAlpha_ &&
                sameAsciiAlpha(bytes.subspan(fields_[k].offset, fields_[k].width), now))
                continue;
            const paradox::Value old = table_.decode(k, bytes);
            if (now == (old.isNull() ? std::string() : paradox::textForm(fields_[k], old)))
                continue;
            const paradox::Verdict verdict = patcher_.check(k, now);
            if (!verdict.ok()) {
                ++refused[{k, verdict.reason}];
                continue;
            }
            changes.push_back({offset, k, now});
        }
    }

    const paradox::Table& table_;
    const std::vector<paradox::Field>& fields_;
    std::uint64_t perBlock_ = 0;
    std::vector<bool> seen_;
    RecordReader reader_;
    const paradox::Patcher patcher_;
    bool asciiAlpha_ = true;
};

// The changed values put into the table's files; out holds the values left out already. A
// preview tells what that would come to without writing anything: every refusal that reading
// tells (links, another program's locks, a change since the import, the patch's own).
WriteBack replaceTableFiles(const fs::path& db, const std::vector<paradox::Change>& changes,
                            const fs::path& backupRoot, WriteBack out, bool untestedAccepted,
                            bool preview) {
    const auto refusedWith = [&](std::string why) {
        WriteBack failed = notWritten(std::move(why));
        failed.leftOut = std::move(out.leftOut);
        return failed;
    };
    // A table whose files are links is rewritten where they lead; the links stay.
    fs::path real;
    try {
        real = paradox::realTableFile(db);
    } catch (const std::exception& e) {
        return refusedWith(e.what());
    }
    // Values made from a state the table no longer has, or files another program has open, must
    // not replace it. The swap checks both again under its locks. Both see the folder as it is.
    const paradox::FreshListing now;
    std::string held = paradox::tableInUse(db);
    if (held.empty() && real != db)
        held = paradox::tableInUse(real);
    if (held.empty())
        held = changedSinceImport(real);
    if (!held.empty())
        return refusedWith(held);
    try {
        if (preview) {
            paradox::checkPatch(real, changes, untestedAccepted);
        } else {
            const std::optional<ImportPrint> imported = importPrint(real);
            out.backupFolder = paradox::patchTable(
                real, changes, backupRoot, imported ? &imported->print : nullptr, untestedAccepted);
        }
    } catch (const paradox::TableInUseError& e) {
        return refusedWith(e.reason());
    } catch (const paradox::TableChangedError& e) {
        return refusedWith(e.reason());
    } catch (const paradox::ReplacedWithOldFilesLeft& e) {
        // The table holds the new values: "not written back" would invite a second run that
        // applies the same change twice.
        out.backupFolder = e.backupFolder();
        out.reason = e.what();
    } catch (const std::exception& e) {
        return refusedWith(std::string("its files could not be replaced: ") + e.what());
    }
    out.state = WriteBack::State::Written;
    out.valuesChanged = static_cast<long long>(changes.size());
    return out;
}

} // namespace

namespace {

bool sameColumns(SqliteBackend& working, const std::string& tableName,
                 const std::vector<paradox::Field>& fields) {
    const auto& columns = working.columns(tableName);
    bool same = columns.size() == fields.size();
    for (std::size_t k = 0; same && k < fields.size(); ++k)
        same = paradox::equalsIgnoringAsciiCase(columns[k].name, fields[k].name);
    return same;
}

// The values of the working copy that differ from the table's records and that its fields take,
// into changes; those refused, by column and reason, into out. Empty, or why the copy cannot be
// compared with the table.
std::string collectChanges(SqliteBackend& working, const std::string& tableName,
                           const paradox::Table& table, const fs::path& db, bool untestedAccepted,
                           std::vector<paradox::Change>& changes, WriteBack& out) {
    ChangeCollector collector(table, db, untestedAccepted);
    const auto visit = [&](std::optional<std::uint64_t> offset, const std::vector<Variant>& row) {
        collector.visit(offset, row);
    };
    // Only rows a statement changed can differ from their records; a copy made before changes
    // were tracked is compared row by row.
    if (!working.forEachChangedRow(tableName, visit))
        working.forEachRow(tableName, visit);
    if (!collector.broken.empty())
        return collector.broken;
    // A keyed table holds each key once: new keys that would meet another record's are refused.
    try {
        for (const auto& c : paradox::dropRepeatedKeys(table, collector.changes))
            ++collector.refused[{c.field, "the key would repeat"}];
    } catch (const std::exception& e) {
        return std::string("a record cannot be read: ") + e.what();
    }
    for (const auto& [key, n] : collector.refused)
        out.leftOut.push_back({table.fields()[key.first].name, key.second, n});
    changes = std::move(collector.changes);
    return {};
}

} // namespace

WriteBack writeBackWorkingCopy(SqliteBackend& working, const std::string& tableName,
                               const fs::path& db, const fs::path& backupRoot, long long count,
                               bool untestedAccepted, bool preview) {
    const WorkingCopyStatus st = working.status(tableName);
    if (!st.complete())
        return notWritten(incompleteCopyReason(st));
    if (count >= 0 && count != st.rowsNow)
        return notWritten("the export asked for " + std::to_string(count) + " of the " +
                          std::to_string(st.rowsNow) + " rows of its working copy");

    std::optional<paradox::Table> table;
    try {
        table.emplace(paradox::Table::open(db));
    } catch (const paradox::EncryptedTableError&) {
        return notWritten("it is password-protected");
    } catch (const std::exception& e) {
        return notWritten(std::string("it cannot be read: ") + e.what());
    }
    // The open checked the chain against this count.
    if (static_cast<long long>(table->recordCount()) != st.expected)
        return notWritten("it holds " + std::to_string(table->recordCount()) +
                          " records now and held " + std::to_string(st.expected) +
                          " when it was copied");
    if (!sameColumns(working, tableName, table->fields()))
        return notWritten("its working copy's columns are not the table's fields");

    std::vector<paradox::Change> changes;
    WriteBack out;
    if (std::string broken =
            collectChanges(working, tableName, *table, db, untestedAccepted, changes, out);
        !broken.empty())
        return notWritten(std::move(broken));
    if (changes.empty()) {
        out.state = WriteBack::State::Unchanged;
        return out;
    }
    table.reset(); // patchTable opens the table itself; the swap must find no handle of ours
    return replaceTableFiles(db, changes, backupRoot, std::move(out), untestedAccepted, preview);
}

} // namespace qm::db
