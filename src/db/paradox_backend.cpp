#include "db/paradox_backend.h"

#include "db/record_filter.h"

#include "app/error.h"
#include "db/paradox_write_back.h"
#include "paradox/ascii.h"
#include "paradox/codepage.h"
#include "paradox/folder_listing.h"
#include "paradox/table.h"
#include "platform/files.h"

#include <algorithm>
#include <system_error>

namespace qm::db {

namespace fs = std::filesystem;
using paradox::FieldType;

int adoTypeOf(FieldType type) {
    switch (type) {
    case FieldType::Alpha:
        return 200;
    case FieldType::Number:
        return 5;
    case FieldType::Money:
        return 6;
    case FieldType::Short:
        return 2;
    case FieldType::Long:
    case FieldType::Autoinc:
        return 3;
    case FieldType::Date:
        return 133;
    case FieldType::Time:
        return 134;
    case FieldType::Timestamp:
        return 135;
    case FieldType::Logical:
        return 11;
    case FieldType::Memo:
        return 201;
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return 205;
    case FieldType::Bytes:
        return 128;
    case FieldType::Bcd:
        return 131;
    }
    return 0;
}

namespace {

Error readError(const fs::path& file, const std::exception& e) {
    if (dynamic_cast<const paradox::EncryptedTableError*>(&e))
        return Error(code::Unspecified, "The Paradox table " + file.string() +
                                            " is password-protected; it cannot be read or "
                                            "changed.");
    return Error(code::Unspecified,
                 "Cannot read the Paradox table " + file.string() + ": " + e.what());
}

// A static snapshot of a table. It remembers only where each block's records lie and reads the
// records again a piece at a time as the cursor moves, so a table of a million records is never
// held in memory; each record's file offset is what the write-back patches.
class ParadoxCursor : public Cursor {
  public:
    explicit ParadoxCursor(const fs::path& file) : file_(file) {
        try {
            table_ = std::make_unique<paradox::Table>(paradox::Table::open(file));
            runs_ = table_->recordRuns();
            count_ = table_->recordCount();
        } catch (const Error&) {
            throw;
        } catch (const std::exception& e) {
            throw readError(file, e);
        }
        recordSize_ = table_->header().recordSize;
        if (handle_.open(file, platform::File::Read) != 0)
            throw Error(code::Unspecified, "Cannot open the Paradox table " + file.string());
    }

    bool eof() const override { return run_ >= runs_.size(); }
    void moveNext() override {
        if (eof())
            throw Error(code::Unspecified,
                        "Either BOF or EOF is True, or the current record has been deleted.");
        if (++inRun_ == runs_[run_].count) {
            ++run_;
            inRun_ = 0;
        }
    }
    long recordCount() const override { return static_cast<long>(count_); }
    int fieldCount() const override { return static_cast<int>(table_->fields().size()); }
    std::string fieldName(int i) const override { return field(i).name; }
    int fieldType(int i) const override { return adoTypeOf(field(i).type); }
    Variant value(int i) const override {
        const paradox::Field& f = field(i);
        if (eof())
            throw Error(code::Unspecified,
                        "Either BOF or EOF is True, or the current record has been deleted.");
        if (!paradox::hasTextForm(f.type))
            return Variant::null();
        try {
            auto text = table_->text(static_cast<std::size_t>(i), record());
            if (!text)
                return Variant::null();
            return Variant(std::move(*text));
        } catch (const Error&) {
            throw;
        } catch (const std::exception& e) {
            throw Error(code::Unspecified, "Cannot read field " + f.name + " of the record at " +
                                               std::to_string(offset()) + " in " + file_.string() +
                                               ": " + e.what());
        }
    }
    bool mayHold(RecordFilter& filter) const override {
        if (eof())
            return true;
        return filter.mayHit(*table_, record());
    }
    std::optional<std::uint64_t> origin() const override {
        if (eof())
            return std::nullopt;
        return offset();
    }

  private:
    const paradox::Field& field(int i) const {
        const auto& fields = table_->fields();
        if (i < 0 || static_cast<std::size_t>(i) >= fields.size())
            throw Error(code::Unspecified, "Item cannot be found in the collection corresponding "
                                           "to the requested name or ordinal.");
        return fields[static_cast<std::size_t>(i)];
    }

    std::uint64_t offset() const {
        return runs_[run_].offset + inRun_ * std::uint64_t{recordSize_};
    }

    // The current record's bytes. The file is read a large piece at a time, whatever blocks the
    // piece spans: the chain mostly follows the file, so one read serves hundreds of blocks
    // where reading block by block would cost a seek and a read each.
    std::span<const std::uint8_t> record() const {
        const std::uint64_t at = offset();
        if (at < windowStart_ || at + recordSize_ > windowStart_ + window_.size()) {
            window_.resize(std::max(kWindowBytes, recordSize_));
            std::size_t got = 0;
            if (handle_.readUpTo(at, window_.data(), window_.size(), got) != 0 ||
                got < recordSize_) {
                window_.clear();
                throw Error(code::Unspecified, "Cannot read the record at " + std::to_string(at) +
                                                   " in " + file_.string() +
                                                   ": the file changed or is shorter.");
            }
            window_.resize(got);
            windowStart_ = at;
        }
        return {window_.data() + (at - windowStart_), recordSize_};
    }

    static constexpr std::size_t kWindowBytes = 1024 * 1024;
    fs::path file_;
    std::unique_ptr<paradox::Table> table_;
    std::vector<paradox::Table::RecordRun> runs_; // the chain's blocks that hold records
    std::uint64_t count_ = 0;
    std::size_t recordSize_ = 0;
    std::size_t run_ = 0;     // the current record's block among runs_
    std::uint32_t inRun_ = 0; // and its place in it
    platform::File handle_;
    mutable std::vector<std::uint8_t> window_;
    mutable std::uint64_t windowStart_ = 0;
};

} // namespace

fs::path findTableFile(const fs::path& folder, const std::string& table) {
    std::vector<fs::path> found;
    std::vector<std::string> names;
    if (const int e = paradox::folderNames(folder, names))
        throw Error(code::Unspecified, "Cannot list the Paradox folder " + folder.string() + ": " +
                                           std::generic_category().message(e));
    for (const auto& name : names) {
        if (name.size() < 3 ||
            !paradox::equalsIgnoringAsciiCase(name.substr(name.size() - 3), ".db"))
            continue;
        if (!paradox::equalsIgnoringAsciiCase(name.substr(0, name.size() - 3), table))
            continue;
        if (paradox::isRegularFile(folder / name))
            found.push_back(folder / name);
    }
    if (found.empty())
        throw Error(code::NoSuchTable,
                    "The Paradox table '" + table + "' was not found in " + folder.string() + ".");
    if (found.size() > 1) {
        std::sort(found.begin(), found.end());
        std::string names;
        for (const auto& p : found)
            names += (names.empty() ? "" : ", ") + p.filename().string();
        throw Error(code::Unspecified,
                    "The table name '" + table + "' matches more than one file in " +
                        folder.string() + " (" + names +
                        "). Paradox does not tell names apart by case; rename or remove one.");
    }
    return found.front();
}

ParadoxBackend::ParadoxBackend(std::string folder, ParadoxWriteBack* writeBack)
    : folder_(std::move(folder)), writeBack_(writeBack) {
    std::error_code ec;
    if (folder_.empty() || !fs::is_directory(folder_, ec))
        throw Error(code::Unspecified,
                    "'" + folder_ +
                        "' is not a valid path. Make sure that the path name is spelled "
                        "correctly and that the folder exists.");
}

std::unique_ptr<Cursor> ParadoxBackend::openTable(const std::string& table) {
    return std::make_unique<ParadoxCursor>(findTableFile(folder_, table));
}

void ParadoxBackend::dropTable(const std::string& table) {
    ParadoxDropRequest request{folder_, table, findTableFile(folder_, table)};
    if (!writeBack_)
        throw Error(code::Unspecified, "Dropping the Paradox table " + request.dbFile.string() +
                                           " is not available in this build; it was left as it "
                                           "was.");
    writeBack_->dropTable(request);
}

std::unique_ptr<Cursor> ParadoxBackend::schema() {
    std::vector<std::vector<Variant>> rows;
    std::error_code ec;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > 3 &&
            paradox::equalsIgnoringAsciiCase(name.substr(name.size() - 3), ".db"))
            rows.push_back({Variant::null(), Variant::null(),
                            Variant(name.substr(0, name.size() - 3)), Variant("TABLE")});
    }
    std::sort(rows.begin(), rows.end(),
              [](const auto& a, const auto& b) { return a[2].text() < b[2].text(); });
    return std::make_unique<MemoryCursor>(std::vector<MemoryCursor::Column>{{"TABLE_CATALOG", 202},
                                                                            {"TABLE_SCHEMA", 202},
                                                                            {"TABLE_NAME", 202},
                                                                            {"TABLE_TYPE", 202}},
                                          std::move(rows));
}

void ParadoxBackend::beginTrans() {
    throw Error(code::Unspecified, "The Paradox folder does not take transactions.");
}

} // namespace qm::db
