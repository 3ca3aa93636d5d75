#include "paradox/patcher.h"

#include "paradox/ascii.h"
#include "paradox/byte_order.h"
#include "paradox/codepage.h"
#include "paradox/durable_files.h"
#include "paradox/family_swap.h"
#include "paradox/header_layout.h"
#include "paradox/index_plan.h"
#include "paradox/index_writer.h"
#include "paradox/patched_copy.h"
#include "paradox/sort_evidence.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

FieldSpec specOf(const Field& f) {
    return FieldSpec{f.name, f.type, f.size};
}

std::string quoteField(const Field& f) {
    return "field \"" + f.name + "\"";
}

// A file patched in place: reads and writes at offsets, flushed before it counts as written.
class RwFile {
  public:
    explicit RwFile(const fs::path& p) : path_(p) {
        if (const int e = file_.openOwn(p, platform::File::Read | platform::File::Write))
            detail::throwFileError("Cannot open", p, e);
    }
    void writeAt(std::uint64_t off, const std::uint8_t* p, std::size_t n) {
        if (const int e = file_.writeAt(off, p, n))
            detail::throwFileError("Cannot write", path_, e);
    }
    void readAt(std::uint64_t off, std::uint8_t* p, std::size_t n) {
        if (const int e = file_.readAt(off, p, n))
            detail::throwFileError("Cannot read", path_, e);
    }
    void close() {
        if (const int e = file_.sync())
            detail::throwFileError("Cannot flush", path_, e);
        if (const int e = file_.close())
            detail::throwFileError("Cannot close", path_, e);
    }

  private:
    fs::path path_;
    platform::File file_;
};

} // namespace

Patcher::Patcher(const Table& table, bool untestedAccepted) : table_(table) {
    IndexPlan plan = planIndexes(table);
    textOrdered_ = textInByteOrder(table);
    key_ = std::move(plan.key);
    indexed_ = std::move(plan.indexed);
    frozen_ = std::move(plan.refusal);
    try {
        checks_ = readValidityChecks(table);
    } catch (const std::exception& e) {
        if (!untestedAccepted)
            validityProblem_ = e.what();
    }
}

Verdict Patcher::check(std::size_t field, std::string_view value) const {
    const auto& fields = table_.fields();
    if (field >= fields.size())
        return {Refusal::NoSuchField,
                "The table has no field number " + std::to_string(field + 1) + "."};
    const Field& f = fields[field];
    const std::uint16_t cp = table_.codePage();
    switch (f.type) {
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
    case FieldType::Bytes:
        return {Refusal::NotTextValued,
                "The " + quoteField(f) + " holds no text (type " + typeLetter(f.type) + ")."};
    default:
        break;
    }
    if (key_[field] && !frozen_[field].empty())
        return {Refusal::KeyField, "The " + quoteField(f) + " is part of the table's key, and " +
                                       frozen_[field] + "."};
    if (indexed_[field] && !frozen_[field].empty())
        return {Refusal::IndexedField, "The " + quoteField(f) +
                                           " is part of a secondary index, and " + frozen_[field] +
                                           "."};
    if (f.type == FieldType::Autoinc)
        return {Refusal::InvalidValue,
                "The " + quoteField(f) + " is numbered by Paradox and cannot be set."};
    if (f.type == FieldType::Alpha || f.type == FieldType::Memo)
        return checkText(field, value);
    std::vector<std::uint8_t> scratch;
    try {
        const FieldSpec spec = specOf(f);
        scratch.resize(writtenWidth(spec));
        encodeFixedField(spec, valueFromText(spec, value), cp, scratch);
    } catch (const WriteError& e) {
        return {Refusal::InvalidValue, e.what()};
    }
    return validity(field, std::string(scratch.begin(), scratch.end()), value);
}

// An Alpha or Memo value: text the code page holds, that fits, and passes the checks.
Verdict Patcher::checkText(std::size_t field, std::string_view value) const {
    const Field& f = table_.fields()[field];
    const std::uint16_t cp = table_.codePage();
    if (value.find('\0') != std::string_view::npos)
        return {Refusal::InvalidValue,
                "The new value for the " + quoteField(f) + " contains a NUL character."};
    std::string bytes;
    try {
        bytes = encode(cp, value);
    } catch (const CodePageError&) {
        return {Refusal::NotInCodePage, "The new value for the " + quoteField(f) +
                                            " holds a character that code page " +
                                            std::to_string(cp) + " cannot represent."};
    }
    if (f.type == FieldType::Alpha && bytes.size() > f.size)
        return {Refusal::TooLong, "The new value for the " + quoteField(f) + " is " +
                                      std::to_string(bytes.size()) + " bytes long in code page " +
                                      std::to_string(cp) + "; the field holds " +
                                      std::to_string(f.size) + "."};
    if (f.type == FieldType::Memo && bytes.size() > f.size - 10u && table_.memoPath().empty())
        return {Refusal::NoMemoFile, "The new value for the " + quoteField(f) +
                                         " needs the table's memo file, which is missing."};
    if (f.type == FieldType::Memo)
        return validity(field, bytes, value);
    bytes.resize(f.width, '\0');
    return validity(field, bytes, value);
}

Verdict Patcher::validity(std::size_t field, const std::string& encoded,
                          std::string_view value) const {
    const Field& f = table_.fields()[field];
    if (!validityProblem_.empty())
        return {Refusal::BrokenCheck, "The table's validity checks cannot be read (" +
                                          validityProblem_ + "), so no new value can be tested."};
    if (checks_.empty())
        return {};
    const std::string broken =
        brokenCheck(checks_[field], f,
                    std::span<const std::uint8_t>(
                        reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()),
                    value, textOrdered_);
    if (!broken.empty())
        return {Refusal::BrokenCheck, "The new value for the " + quoteField(f) +
                                          " breaks its validity check " + broken + "."};
    const std::string& lookup = checks_[field].lookupTable;
    if (lookup.empty() || value.empty())
        return {};
    auto [cached, fresh] = lookups_.try_emplace(lookup);
    if (fresh) {
        try {
            cached->second.values = lookupValues(table_, lookup);
        } catch (const std::exception& e) {
            cached->second.problem = e.what();
        }
    }
    if (!cached->second.problem.empty())
        return {Refusal::BrokenCheck, "The " + quoteField(f) + " takes its values from table \"" +
                                          lookup + "\", which cannot be read (" +
                                          cached->second.problem +
                                          "), so no new value can be tested."};
    if (cached->second.values.count(std::string(value)))
        return {};
    return {Refusal::BrokenCheck, "The new value for the " + quoteField(f) +
                                      " breaks its validity check table lookup \"" + lookup +
                                      "\" (the value is not in its first field)."};
}

bool Patcher::needsMemoFile(const std::vector<Change>& changes) const {
    const auto& fields = table_.fields();
    for (const auto& c : changes) {
        if (c.field >= fields.size() || fields[c.field].type != FieldType::Memo)
            continue;
        try {
            if (encode(table_.codePage(), c.value).size() > fields[c.field].size - 10u)
                return true;
        } catch (const CodePageError&) {
        }
    }
    return false;
}

namespace {

// A change checked and encoded, before the first byte is written.
struct Planned {
    std::uint64_t offset; // of the field in the .db
    std::vector<std::uint8_t> bytes;
    std::string blob; // memo text beyond the leader goes to the .mb
    std::uint16_t modNr = 0;
};

Planned planChange(const Table& table, const Change& c) {
    const Field& f = table.fields()[c.field];
    const std::uint16_t cp = table.codePage();
    Planned p;
    p.offset = c.recordOffset + f.offset;
    p.bytes.assign(f.width, 0);
    if (f.type == FieldType::Memo) {
        std::string text = encode(cp, c.value);
        const std::size_t leader = f.size - 10u;
        std::memcpy(p.bytes.data(), text.data(), std::min(leader, text.size()));
        putLE(&p.bytes[leader + 4], static_cast<std::uint32_t>(text.size()), 4);
        if (text.size() > leader)
            p.blob = std::move(text); // its modification number comes with the .mb's count
    } else {
        const FieldSpec spec = specOf(f);
        encodeFixedField(spec, valueFromText(spec, c.value), cp, p.bytes);
    }
    return p;
}

// In record and field order; of two changes to one value the later wins. A field's offset names
// its record and field together. The changes mostly come in order already; a stable sort keeps
// the later of two changes to one value after the earlier.
void keepLastOfEach(std::vector<Planned>& plan) {
    const auto byOffset = [](const Planned& a, const Planned& b) { return a.offset < b.offset; };
    if (!std::is_sorted(plan.begin(), plan.end(), byOffset))
        std::stable_sort(plan.begin(), plan.end(), byOffset);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (i + 1 < plan.size() && plan[i + 1].offset == plan[i].offset)
            continue;
        if (kept != i)
            plan[kept] = std::move(plan[i]);
        ++kept;
    }
    plan.resize(kept);
}

// Appends the plan's blobs to mbPath, a copy of the table's .mb, and points their leaders at
// them.
void appendBlobs(const fs::path& mbPath, std::vector<Planned>& plan) {
    std::uint64_t size = fs::file_size(mbPath);
    RwFile mb(mbPath);
    // New blocks start on a 4 KiB boundary; a short last block is padded, not changed.
    std::uint64_t start = (size + 4095) / 4096 * 4096;
    if (start > size) {
        std::vector<std::uint8_t> zeros(start - size, 0);
        mb.writeAt(size, zeros.data(), zeros.size());
    }
    std::uint64_t at = start;
    detail::BlobAppender blobs(start, [&](std::span<const std::uint8_t> b) {
        mb.writeAt(at, b.data(), b.size());
        at += b.size();
    });
    // Every blob update counts in the .mb header (offset 3), and the new blob carries the count
    // it made, in its leader and its block, as Paradox numbers them.
    std::uint8_t countBytes[2] = {0, 0};
    mb.readAt(3, countBytes, 2);
    std::uint16_t count = le16(countBytes);
    for (auto& p : plan) {
        if (p.blob.empty())
            continue;
        count = static_cast<std::uint16_t>(count == 0xFFFF ? 1 : count + 1);
        p.modNr = count;
        const std::size_t leader = p.bytes.size() - 10;
        putLE(&p.bytes[leader + 8], p.modNr, 2);
        putLE(&p.bytes[leader], blobs.add(p.blob, p.modNr), 4);
    }
    blobs.flush();
    putLE(countBytes, count, 2);
    mb.writeAt(3, countBytes, 2);
    mb.close();
}

} // namespace

void Patcher::write(const std::vector<Change>& changes, const fs::path& newDb,
                    const fs::path& newMb) const {
    std::vector<Planned> plan;
    plan.reserve(changes.size());
    for (const auto& c : changes) {
        Verdict v = check(c.field, c.value);
        if (!v.ok())
            throw PatchError(v.refusal, v.reason);
        // From the block chain: no record needs reading to be found.
        if (!table_.isRecordStart(c.recordOffset))
            throw PatchError(Refusal::InvalidValue, "No record starts at offset " +
                                                        std::to_string(c.recordOffset) + " of \"" +
                                                        table_.path().string() + "\"");
        plan.push_back(planChange(table_, c));
    }
    keepLastOfEach(plan);

    const bool memo =
        std::any_of(plan.begin(), plan.end(), [](const Planned& p) { return !p.blob.empty(); });
    bool created = false;
    try {
        if (memo) {
            if (newMb.empty())
                throw PatchError(Refusal::NoMemoFile, "No name was given for the new memo file.");
            detail::copyFileDurably(table_.memoPath(), newMb);
            created = true;
            appendBlobs(newMb, plan);
        }
        // The plan is in record order, and a record's fields follow one another.
        std::vector<BytePatch> patches;
        patches.reserve(plan.size());
        for (auto& p : plan)
            patches.push_back({p.offset, std::move(p.bytes)});
        created = true;
        writePatchedCopy(table_.path(), newDb, patches);
    } catch (...) {
        if (created) {
            std::error_code ec;
            fs::remove(newDb, ec);
            if (memo)
                fs::remove(newMb, ec);
        }
        throw;
    }
}

namespace {

void writeWhole(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    detail::writeFlushed(p, {bytes}, true);
}

std::vector<std::uint8_t> headerOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    using layout::kFixedEnd;
    std::vector<std::uint8_t> head(kFixedEnd);
    if (!in.read(reinterpret_cast<char*>(head.data()), kFixedEnd))
        throw FormatError("\"" + p.filename().string() + "\" is too short for an index header");
    head.resize(le16(head.data() + layout::kHeaderSize));
    if (head.size() < kFixedEnd || !in.read(reinterpret_cast<char*>(head.data() + kFixedEnd),
                                            static_cast<std::streamsize>(head.size() - kFixedEnd)))
        throw FormatError("\"" + p.filename().string() + "\" is shorter than its header");
    return head;
}

} // namespace

namespace {

// What a patch rewrites besides the .db.
struct PatchScope {
    IndexPlan plan;
    std::vector<std::size_t> rebuild; // secondary indexes
    bool keyChanged = false;
};

// Every refusal a patch can meet before its first byte is written.
PatchScope checkChanges(const Table& table, const Patcher& patcher,
                        const std::vector<Change>& changes) {
    for (const auto& c : changes) {
        Verdict v = patcher.check(c.field, c.value);
        if (!v.ok())
            throw PatchError(v.refusal, v.reason);
    }
    PatchScope scope{planIndexes(table), {}, false};
    std::vector<std::size_t> changed;
    for (const auto& c : changes) {
        changed.push_back(c.field);
        scope.keyChanged = scope.keyChanged || scope.plan.key[c.field];
    }
    scope.rebuild = scope.plan.indexesFor(changed);
    if (scope.keyChanged) {
        std::vector<Change> probe = changes;
        if (!dropRepeatedKeys(table, probe).empty())
            throw PatchError(Refusal::KeyField, "The changes would give two records of \"" +
                                                    table.path().filename().string() +
                                                    "\" the same key.");
    }
    if (patcher.needsMemoFile(changes)) {
        std::error_code ec;
        if (table.memoPath().empty() || !fs::is_regular_file(table.memoPath(), ec))
            throw PatchError(Refusal::NoMemoFile, "A memo outgrows its leader, and the table's "
                                                  "memo file is missing.");
    }
    return scope;
}

} // namespace

void checkPatch(const fs::path& db, const std::vector<Change>& changes, bool untestedAccepted) {
    if (changes.empty())
        return;
    const Table table = Table::open(db);
    (void)checkChanges(table, Patcher(table, untestedAccepted), changes);
}

fs::path patchTable(const fs::path& db, const std::vector<Change>& changes,
                    const fs::path& backupRoot, const FamilyPrint* expected,
                    bool untestedAccepted) {
    if (changes.empty())
        return {};
    Table table = Table::open(db);
    Patcher patcher(table, untestedAccepted);
    const PatchScope scope = checkChanges(table, patcher, changes);
    const IndexPlan& plan = scope.plan;
    const std::vector<std::size_t>& rebuild = scope.rebuild;
    const bool keyChanged = scope.keyChanged;

    FamilySwap swap(db, backupRoot);
    if (expected)
        swap.expectFamily(*expected);
    const fs::path newDb = swap.newFile(".db");
    fs::path newMb;
    if (patcher.needsMemoFile(changes))
        newMb = swap.newFile(".mb");
    patcher.write(changes, newDb, newMb);
    if (keyChanged || !rebuild.empty()) {
        if (keyChanged)
            sortKeyedTable(newDb);
        const Table fresh = Table::open(newDb, fs::path());
        if (keyChanged && plan.hasPrimaryIndex)
            for (const auto& p : familyFiles(db))
                if (asciiLower(p.extension().string()) == ".px")
                    writeWhole(swap.newFile(p.extension().string()),
                               rebuildPrimaryIndex(fresh, headerOf(p)));
        for (auto x : rebuild) {
            const SecondaryIndex& idx = plan.indexes[x];
            const SecondaryFiles files = rebuildSecondaryIndex(fresh, idx);
            writeWhole(swap.newFile(idx.data.extension().string()), files.data);
            if (!idx.tree.empty())
                writeWhole(swap.newFile(idx.tree.extension().string()), files.tree);
        }
    }
    return swap.commit();
}

} // namespace qm::paradox
