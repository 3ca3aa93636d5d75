#include "paradox/index_plan.h"

#include "paradox/ascii.h"
#include "paradox/durable_files.h"
#include "paradox/family_files.h"
#include "paradox/folder_listing.h"
#include "paradox/sort_evidence.h"
#include "paradox/writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <numeric>
#include <set>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

// The tables of the folder whose validity file names this table (a detail table's referential
// integrity, or a lookup into it), by their names.
std::vector<std::string> tablesReferringTo(const fs::path& db) {
    std::vector<std::string> out;
    const std::string stem = asciiLower(db.stem().string());
    const std::string wanted = stem + ".db";
    std::vector<std::string> names;
    (void)folderNames(db.parent_path().empty() ? fs::path(".") : db.parent_path(), names);
    for (const auto& name : names) {
        const fs::path p = db.parent_path() / name;
        if (asciiLower(p.extension().string()) != ".val" || asciiLower(p.stem().string()) == stem)
            continue;
        std::ifstream in(p, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string text = asciiLower(bytes);
        for (std::size_t at = text.find(wanted); at != std::string::npos;
             at = text.find(wanted, at + 1)) {
            const char before = at == 0 ? '\0' : text[at - 1];
            const std::size_t after = at + wanted.size();
            if ((before == '\0' || before == '\\' || before == '/') &&
                (after == text.size() || text[after] == '\0')) {
                out.push_back(p.stem().string());
                break;
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::size_t keyWidth(const Table& t) {
    std::size_t w = 0;
    for (std::size_t i = 0; i < t.header().primaryKeyFields && i < t.fields().size(); ++i)
        w += t.fields()[i].width;
    return w;
}

} // namespace

std::vector<std::size_t> IndexPlan::indexesFor(const std::vector<std::size_t>& fields) const {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        bool needed = false;
        for (auto f : fields)
            needed = needed || (f < key.size() && key[f]) ||
                     std::find(indexes[i].fields.begin(), indexes[i].fields.end(), f) !=
                         indexes[i].fields.end();
        if (needed)
            out.push_back(i);
    }
    return out;
}

namespace {

// Why a change of field i (a key field or an indexed one) cannot rewrite the files it touches;
// empty when it can. textKnown: text is in byte order; referring: the tables whose referential
// integrity or lookups refer to the key.
std::string whyFrozen(const Table& table, const IndexPlan& plan, std::size_t i, bool textKnown,
                      const std::vector<std::string>& referring) {
    const auto& fields = table.fields();
    const auto& h = table.header();
    const std::size_t keyFields = h.keyed() ? h.primaryKeyFields : 0;
    std::string why;
    bool text = false;
    if (plan.key[i])
        for (std::size_t k = 0; k < keyFields; ++k)
            text = text || fields[k].type == FieldType::Alpha;
    for (auto x : plan.indexesFor({i})) {
        const SecondaryIndex& idx = plan.indexes[x];
        if (!idx.unsupported.empty() && why.empty())
            why = "its secondary index " + idx.data.filename().string() +
                  " cannot be rebuilt: " + idx.unsupported;
        for (auto f : idx.fields)
            text = text || fields[f].type == FieldType::Alpha;
    }
    if (!why.empty())
        return why;
    if (text && !textKnown)
        return h.sortOrderID.empty()
                   ? std::string("the table's header (level ") + h.levelName() +
                         ") names no sort order, and its records do not show it to be "
                         "byte order, so its index files cannot be rebuilt"
                   : "the table's sort order \"" + h.sortOrderID +
                         "\" orders text by rules of its own, so its index files cannot be "
                         "rebuilt";
    if (plan.key[i] && !referring.empty()) {
        std::string names;
        for (const auto& r : referring)
            names += (names.empty() ? "" : ", ") + r;
        return "the referential integrity or a lookup of table " + names +
               " refers to the table's key";
    }
    return {};
}

} // namespace

IndexPlan planIndexes(const Table& table) {
    IndexPlan plan;
    const auto& fields = table.fields();
    const std::size_t n = fields.size();
    plan.key.assign(n, false);
    plan.indexed.assign(n, false);
    plan.refusal.assign(n, "");
    const auto& h = table.header();
    const std::size_t keyFields = h.keyed() ? h.primaryKeyFields : 0;
    for (std::size_t i = 0; i < keyFields && i < n; ++i)
        plan.key[i] = true;
    std::string unreadable;
    try {
        plan.indexes = secondaryIndexesOf(table);
    } catch (const std::exception& e) {
        unreadable = e.what();
    }
    for (const auto& p : familyFiles(table.path()))
        if (asciiLower(p.extension().string()) == ".px")
            plan.hasPrimaryIndex = keyFields > 0;
    for (const auto& idx : plan.indexes)
        for (auto f : idx.fields)
            plan.indexed[f] = true;

    // The files a change of field i rewrites, and why they cannot be rewritten.
    const bool known = textInByteOrder(table);
    const std::vector<std::string> referring =
        keyFields ? tablesReferringTo(table.path()) : std::vector<std::string>{};
    for (std::size_t i = 0; i < n; ++i) {
        if (!plan.key[i] && !plan.indexed[i])
            continue;
        plan.refusal[i] =
            unreadable.empty()
                ? whyFrozen(table, plan, i, known, referring)
                : "a secondary index of the table could not be read (" + unreadable + ")";
    }
    return plan;
}

std::vector<Change> dropRepeatedKeys(const Table& table, std::vector<Change>& changes) {
    const auto& h = table.header();
    const std::size_t keyFields = h.keyed() ? h.primaryKeyFields : 0;
    const bool touchesKey = std::any_of(changes.begin(), changes.end(),
                                        [&](const Change& c) { return c.field < keyFields; });
    if (!touchesKey)
        return {};
    const auto& fields = table.fields();
    const std::size_t kw = keyWidth(table);
    // Every record's key as it is, then with the changes.
    std::map<std::uint64_t, std::vector<std::uint8_t>> oldKeys;
    table.forEachRecord([&](const Record& r) {
        oldKeys.emplace(r.fileOffset(),
                        std::vector<std::uint8_t>(r.bytes().begin(),
                                                  r.bytes().begin() + static_cast<long>(kw)));
    });
    std::map<std::uint64_t, std::vector<std::uint8_t>> newKeys;
    for (const auto& c : changes) {
        if (c.field >= keyFields)
            continue;
        auto it = oldKeys.find(c.recordOffset);
        if (it == oldKeys.end())
            continue;
        auto& key = newKeys.emplace(c.recordOffset, it->second).first->second;
        const Field& f = fields[c.field];
        const FieldSpec spec{f.name, f.type, f.size};
        try {
            encodeFixedField(spec, valueFromText(spec, c.value), table.codePage(),
                             std::span<std::uint8_t>(key.data() + f.offset, f.width));
        } catch (const WriteError&) {
            // Refused elsewhere with its own reason.
        }
    }
    std::set<std::uint64_t> reverted;
    for (bool again = true; again;) {
        again = false;
        std::map<std::vector<std::uint8_t>, std::vector<std::uint64_t>> holders;
        for (const auto& [offset, key] : oldKeys) {
            auto nk = newKeys.find(offset);
            const bool changed = nk != newKeys.end() && !reverted.count(offset);
            holders[changed ? nk->second : key].push_back(offset);
        }
        for (const auto& [key, offsets] : holders) {
            if (offsets.size() < 2)
                continue;
            for (auto o : offsets)
                if (newKeys.count(o) && !reverted.count(o)) {
                    reverted.insert(o);
                    again = true;
                }
        }
    }
    std::vector<Change> dropped, kept;
    for (auto& c : changes)
        (c.field < keyFields && reverted.count(c.recordOffset) ? dropped : kept)
            .push_back(std::move(c));
    changes = std::move(kept);
    return dropped;
}

void sortKeyedTable(const fs::path& db) {
    std::vector<std::uint8_t> header;
    std::vector<std::uint8_t> records;
    std::size_t rs = 0, kw = 0, bs = 0;
    {
        const Table t = Table::open(db, fs::path());
        if (!t.header().keyed())
            throw FormatError("\"" + db.filename().string() + "\" is not a keyed table");
        header = t.header().raw;
        rs = t.header().recordSize;
        bs = t.header().blockSize;
        kw = keyWidth(t);
        records.reserve(std::size_t{t.recordCount()} * rs);
        t.forEachRecord([&](const Record& r) {
            records.insert(records.end(), r.bytes().begin(), r.bytes().end());
        });
    }
    const std::size_t count = rs ? records.size() / rs : 0;
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    const auto at = [&](std::uint32_t i) { return records.data() + std::size_t{i} * rs; };
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::memcmp(at(a), at(b), kw) < 0;
    });
    for (std::size_t i = 1; i < count; ++i)
        if (std::memcmp(at(order[i - 1]), at(order[i]), kw) == 0)
            throw FormatError("two records of \"" + db.filename().string() +
                              "\" would have the same key");
    std::vector<std::uint8_t> sorted(records.size());
    for (std::size_t i = 0; i < count; ++i)
        std::memcpy(sorted.data() + i * rs, at(order[i]), rs);
    std::vector<TreeLeaf> leaves;
    const std::vector<std::uint8_t> blocks = packBlocks(sorted, rs, bs, kw, leaves);
    setTableCounts(header, static_cast<std::uint32_t>(count),
                   static_cast<std::uint32_t>(leaves.size()));

    detail::writeFlushed(db, {header, blocks}, false);
}

} // namespace qm::paradox
