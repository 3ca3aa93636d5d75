#pragma once

// Damage done to a table family the way real files get damaged (a header field overwritten, a
// block's link or record count changed, bytes of a record or a memo block flipped, a file cut
// short, a memo pointer past the end, a family file missing or taken from another table), and the
// check that a whole replace run on the damaged family either refuses it and leaves every file as
// it was, or writes it back with exactly the changes asked for. Shared by the damaged-table test
// and the long campaign beside the fuzz targets; every damage comes from a seeded generator, so
// an input is made again from its seed.

#include "file_bytes.h"
#include "replace_fixture.h"

#include "db/field_rules.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <sstream>

namespace qm::test::damage {

using Bytes = std::string;

inline unsigned u8(const Bytes& b, std::size_t at) {
    return at < b.size() ? static_cast<unsigned char>(b[at]) : 0u;
}
inline unsigned u16(const Bytes& b, std::size_t at) {
    return u8(b, at) | u8(b, at + 1) << 8;
}
inline std::uint32_t u32(const Bytes& b, std::size_t at) {
    return u16(b, at) | static_cast<std::uint32_t>(u16(b, at + 2)) << 16;
}
inline void put16(Bytes& b, std::size_t at, unsigned v) {
    if (at + 2 > b.size())
        return;
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}
inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

inline std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The family member of db with the given upper-case extension, as it is spelled on disk; empty
// when there is none.
inline fs::path member(const fs::path& db, const std::string& ext) {
    for (const auto& e : fs::directory_iterator(db.parent_path()))
        if (e.is_regular_file() && e.path().stem() == db.stem() &&
            upper(e.path().extension().string()) == ext)
            return e.path();
    return {};
}

// Where the blob fields of a table lie in its records, read from its header as far as it can
// be trusted.
struct Layout {
    std::size_t recordSize = 0, headerSize = 0, blockSize = 0, blocks = 0;
    std::vector<std::pair<std::size_t, std::size_t>> blobFields; // offset, width
    bool usable = false;
};

inline Layout layoutOf(const Bytes& db) {
    Layout l;
    if (db.size() < 0x78)
        return l;
    l.recordSize = u16(db, 0);
    l.headerSize = u16(db, 2);
    l.blockSize = u8(db, 5) * 1024u;
    l.blocks = u16(db, 0x0C);
    const unsigned fields = u16(db, 0x21);
    const std::size_t at = u8(db, 0x39) >= 5 ? 0x78 : 0x58;
    std::size_t off = 0;
    for (unsigned i = 0; i < fields && at + 2 * i + 1 < db.size(); ++i) {
        const unsigned type = u8(db, at + 2 * i), size = u8(db, at + 2 * i + 1);
        const std::size_t width = type == 0x17 ? 17 : size;
        if (type >= 0x0C && type <= 0x10 && width >= 10)
            l.blobFields.push_back({off, width});
        off += width;
    }
    l.usable = l.recordSize > 0 && l.blockSize > 0 && l.headerSize >= 0x58;
    return l;
}

// Offsets of the records stored in the blocks of the file (by their record counts), whether or
// not the chain reaches them.
inline std::vector<std::size_t> recordOffsets(const Bytes& db, const Layout& l) {
    std::vector<std::size_t> out;
    if (!l.usable)
        return out;
    for (std::size_t p = l.headerSize; p + 6 <= db.size(); p += l.blockSize) {
        const auto add = static_cast<std::int16_t>(u16(db, p + 4));
        if (add < 0)
            continue;
        const std::size_t n = static_cast<std::size_t>(add) / l.recordSize + 1;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t r = p + 6 + i * l.recordSize;
            if (r + l.recordSize <= db.size() && r + l.recordSize <= p + l.blockSize)
                out.push_back(r);
        }
    }
    return out;
}

class Damager {
  public:
    // donors: other tables' families, for a family file from another table.
    Damager(std::uint32_t seed, std::vector<fs::path> donors)
        : rng_(seed), donors_(std::move(donors)) {}

    // Damages the family of db, one to three times; returns what was done, one line each.
    std::string damage(const fs::path& db) {
        std::string what;
        const int times = 1 + static_cast<int>(pick(10) / 6) + static_cast<int>(pick(10) / 9);
        for (int i = 0; i < times; ++i)
            what += once(db) + "\n";
        return what;
    }

  private:
    std::size_t pick(std::size_t n) { return n ? rng_() % n : 0; }

    // A value near the old one, or one of the values that break code: 0, all ones, the top bit.
    unsigned nearby(unsigned old, unsigned bits) {
        const unsigned mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
        switch (pick(7)) {
        case 0:
            return 0;
        case 1:
            return mask;
        case 2:
            return (old + 1) & mask;
        case 3:
            return (old - 1) & mask;
        case 4:
            return 1u << (bits - 1);
        case 5:
            return (old * 2 + 1) & mask;
        default:
            return static_cast<unsigned>(rng_()) & mask;
        }
    }

    void flipBytes(Bytes& b, std::size_t from, std::size_t to, std::string& what) {
        if (to > b.size())
            to = b.size();
        if (from >= to)
            return;
        const std::size_t n = 1 + pick(4);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = from + pick(to - from);
            const auto bit = static_cast<char>(pick(3) == 0 ? 0xFF : 1 << pick(8));
            b[at] = static_cast<char>(b[at] ^ bit);
            what += " " + std::to_string(at);
        }
    }

    std::string once(const fs::path& db) {
        Bytes d = fileText(db);
        const Layout l = layoutOf(d);
        const fs::path mb = member(db, ".MB");
        std::ostringstream what;
        switch (pick(14)) {
        case 0:
        case 1: { // a header field
            static const std::pair<std::size_t, unsigned> fields[] = {
                {0x00, 16}, {0x02, 16}, {0x04, 8},  {0x05, 8},  {0x06, 32}, {0x0A, 16},
                {0x0C, 16}, {0x0E, 16}, {0x10, 16}, {0x21, 16}, {0x23, 16}, {0x29, 8},
                {0x39, 8},  {0x6A, 16}, {0x78, 8},  {0x79, 8},  {0x7A, 8},  {0x7B, 8}};
            const auto [at, bits] = fields[pick(std::size(fields))];
            const unsigned old = bits == 8 ? u8(d, at) : bits == 16 ? u16(d, at) : u32(d, at);
            const unsigned v = nearby(old, bits);
            if (at + bits / 8 <= d.size()) {
                if (bits == 8)
                    d[at] = static_cast<char>(v);
                else if (bits == 16)
                    put16(d, at, v);
                else
                    put32(d, at, v);
            }
            what << "db header 0x" << std::hex << at << std::dec << ": " << old << " -> " << v;
            break;
        }
        case 2:
        case 3: { // a block's link or record count
            if (!l.usable || d.size() <= l.headerSize + 6)
                return flipAny(db);
            const std::size_t blocks = (d.size() - l.headerSize) / l.blockSize;
            const std::size_t b = pick(std::max<std::size_t>(blocks, 1));
            const std::size_t at = l.headerSize + b * l.blockSize + 2 * pick(3);
            const unsigned old = u16(d, at), v = nearby(old, 16);
            put16(d, at, v);
            what << "db block " << b + 1 << " word " << (at - l.headerSize) % l.blockSize << ": "
                 << old << " -> " << v;
            break;
        }
        case 4:
        case 5: { // bytes of a record
            const auto recs = recordOffsets(d, l);
            if (recs.empty())
                return flipAny(db);
            const std::size_t r = recs[pick(recs.size())];
            what << "db record at " << r << " flipped at";
            std::string at;
            flipBytes(d, r, r + l.recordSize, at);
            what << at;
            break;
        }
        case 6: { // a memo pointer or length
            const auto recs = recordOffsets(d, l);
            if (recs.empty() || l.blobFields.empty())
                return flipAny(db);
            const std::size_t r = recs[pick(recs.size())];
            const auto [off, width] = l.blobFields[pick(l.blobFields.size())];
            const std::size_t at = r + off + width - 10 + (pick(2) ? 0 : 4);
            const std::uint32_t old = u32(d, at);
            const std::uintmax_t mbSize = mb.empty() ? 0 : fs::file_size(mb);
            std::uint32_t v;
            switch (pick(4)) {
            case 0: // past the end of the .mb, same entry
                v = static_cast<std::uint32_t>((mbSize + 4096 * pick(3)) & ~0xFFull) | (old & 0xFF);
                break;
            case 1:
                v = 0xFFFFFFFFu;
                break;
            case 2:
                v = old ^ (1u << pick(32));
                break;
            default:
                v = static_cast<std::uint32_t>(rng_());
            }
            put32(d, at, v);
            what << "db blob field at " << at << ": " << old << " -> " << v;
            break;
        }
        case 7: { // the file cut short
            const std::size_t keep =
                pick(2) && l.usable && d.size() > l.headerSize
                    ? l.headerSize + pick((d.size() - l.headerSize) / l.blockSize + 1) * l.blockSize
                    : pick(d.size() + 1);
            what << "db cut from " << d.size() << " to " << std::min(keep, d.size());
            d.resize(std::min(keep, d.size()));
            break;
        }
        case 8:
        case 9: { // bytes of the memo file
            if (mb.empty())
                return flipAny(db);
            Bytes m = fileText(mb);
            const std::size_t blocks = m.size() / 4096;
            std::string at;
            if (blocks > 1 && pick(3)) {
                // The head of a block: its type, size and sub-allocation table.
                const std::size_t b = 1 + pick(blocks - 1);
                flipBytes(m, b * 4096, b * 4096 + 12 + 5 * 64, at);
            } else {
                flipBytes(m, 0, m.size(), at);
            }
            writeFileText(mb, m);
            return "mb flipped at" + at;
        }
        case 10: { // the memo file cut short
            if (mb.empty())
                return flipAny(db);
            Bytes m = fileText(mb);
            const std::size_t keep = pick(2) ? pick(m.size() / 4096 + 1) * 4096 : pick(m.size());
            m.resize(std::min(keep, m.size()));
            writeFileText(mb, m);
            return "mb cut to " + std::to_string(m.size());
        }
        case 11: { // a family file missing
            std::vector<fs::path> others;
            for (const auto& e : fs::directory_iterator(db.parent_path()))
                if (e.path() != db && e.path().stem() == db.stem())
                    others.push_back(e.path());
            if (others.empty())
                return flipAny(db);
            const fs::path gone = others[pick(others.size())];
            fs::remove(gone);
            return "removed " + gone.filename().string();
        }
        case 12: { // a family file from another table
            std::vector<fs::path> files;
            for (const auto& donor : donors_)
                for (const auto& e : fs::directory_iterator(donor.parent_path()))
                    if (e.is_regular_file() && e.path().stem() == donor.stem() &&
                        upper(e.path().extension().string()) != ".DB")
                        files.push_back(e.path());
            if (files.empty())
                return flipAny(db);
            const fs::path from = files[pick(files.size())];
            const fs::path to =
                db.parent_path() /
                (db.stem().string() +
                 (std::isupper(static_cast<unsigned char>(db.extension().string().back()))
                      ? upper(from.extension().string())
                      : from.extension().string()));
            const fs::path existing = member(db, upper(from.extension().string()));
            if (!existing.empty())
                fs::remove(existing);
            fs::copy_file(from, to);
            fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
            return "replaced " + to.filename().string() + " by " + from.string();
        }
        default: { // bytes of an index file
            std::vector<fs::path> indexes;
            for (const auto& e : fs::directory_iterator(db.parent_path())) {
                const std::string ext = upper(e.path().extension().string());
                if (e.path().stem() == db.stem() && ext != ".DB" && ext != ".MB" && ext != ".VAL")
                    indexes.push_back(e.path());
            }
            if (indexes.empty())
                return flipAny(db);
            const fs::path x = indexes[pick(indexes.size())];
            Bytes b = fileText(x);
            std::string at;
            flipBytes(b, 0, pick(2) ? std::min<std::size_t>(b.size(), 0x80) : b.size(), at);
            writeFileText(x, b);
            return x.filename().string() + " flipped at" + at;
        }
        }
        writeFileText(db, d);
        return what.str();
    }

    std::string flipAny(const fs::path& db) {
        Bytes d = fileText(db);
        std::string at;
        flipBytes(d, 0, d.size(), at);
        writeFileText(db, d);
        return "db flipped at" + at;
    }

    std::mt19937 rng_;
    std::vector<fs::path> donors_;
};

// A find/replace pair for a table: a piece of one of its text values, and a replacement the same
// length, shorter, longer or empty; now and then a text that is nowhere.
inline std::pair<std::string, std::string>
findFor(const std::vector<nlohmann::json>& rows, const nlohmann::json& header, std::mt19937& rng) {
    std::vector<std::string> texts;
    for (const auto& row : rows)
        for (std::size_t k = 0; k < row.size() && k < header["fields"].size(); ++k) {
            const std::string type = header["fields"][k][1];
            if (row[k].is_string() && (type == "A" || type == "M") &&
                !row[k].get<std::string>().empty())
                texts.push_back(row[k]);
        }
    if (texts.empty() || rng() % 10 == 0)
        return {"qm never there", "x"};
    const std::string& t = texts[rng() % texts.size()];
    // Whole characters only: the find text is UTF-8.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < t.size(); ++i)
        if ((static_cast<unsigned char>(t[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    const std::size_t a = rng() % starts.size();
    const std::size_t b = std::min(starts.size(), a + 1 + rng() % 3);
    const std::string find =
        t.substr(starts[a], (b < starts.size() ? starts[b] : t.size()) - starts[a]);
    switch (rng() % 4) {
    case 0:
        return {find, upper(find) == find ? "#" : upper(find)};
    case 1:
        return {find, ""};
    case 2:
        return {find, find + " and a longer piece of text"};
    default:
        return {find, "~"};
    }
}

// Whether field k (from 0) has a secondary index of its own, or the table has a composite one.
inline bool indexed(const fs::path& db, std::size_t k) {
    char own[8];
    std::snprintf(own, sizeof own, ".X%02zX", k + 1);
    for (const auto& e : fs::directory_iterator(db.parent_path())) {
        const std::string ext = upper(e.path().extension().string());
        if (e.path().stem() == db.stem() && (ext == own || ext.rfind(".XG", 0) == 0))
            return true;
    }
    return false;
}

// What one run on a damaged family came to.
struct Outcome {
    std::string summary;                // end, write-back and reason, for comparing two runs
    std::map<std::string, Bytes> files; // the folder after the run
    std::vector<std::string> problems;  // broken promises; empty when all held
    // Written back although the reference decoder could read neither the damaged table nor
    // the result, for the same fault: the damage the run carried over, byte for byte.
    std::string carried;
};

// The decoder writes a Number that is no number or is infinite as Python does (NaN, Infinity),
// which is not JSON: such a value is taken as the string of its name.
inline std::string jsonOfPython(const std::string& line) {
    std::string out;
    bool inString = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < line.size())
                out += line[++i];
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        bool named = false;
        for (const char* name : {"NaN", "-Infinity", "Infinity"})
            if (line.compare(i, std::strlen(name), name) == 0) {
                out += std::string("\"") + name + "\"";
                i += std::strlen(name) - 1;
                named = true;
                break;
            }
        if (!named)
            out += c;
    }
    return out;
}

inline DecodedTable parsed(const DecoderRun& run) {
    DecodedTable table;
    table.status = run.status;
    bool first = true;
    for (const auto& raw : run.lines) {
        if (raw.empty())
            continue;
        const std::string line = jsonOfPython(raw);
        try {
            if (first)
                table.header = nlohmann::json::parse(line);
            else
                table.rows.push_back(nlohmann::json::parse(line));
        } catch (const std::exception&) {
            table.status = -1;
        }
        first = false;
    }
    return table;
}

// The reference decoder's reading of db with every Binary, Formatted memo, OLE and Graphic value
// blanked (NULL) in a copy of its .db and .mb made in scratch: fields the run never reads, whose
// damage it carries over byte for byte. Status -1 when our reader cannot place the records.
inline DecodedTable decodeBlanked(const fs::path& db, const fs::path& scratch) {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    Bytes bytes = fileText(db);
    try {
        const auto t = paradox::Table::open(db);
        std::vector<const paradox::Field*> opaque;
        for (const auto& f : t.fields())
            if (f.type == paradox::FieldType::Binary ||
                f.type == paradox::FieldType::FormattedMemo || f.type == paradox::FieldType::Ole ||
                f.type == paradox::FieldType::Graphic)
                opaque.push_back(&f);
        t.forEachRecord([&](const paradox::Record& r) {
            for (const auto* f : opaque)
                if (r.fileOffset() + f->offset + f->width <= bytes.size())
                    std::fill_n(bytes.begin() + static_cast<long>(r.fileOffset() + f->offset),
                                f->width, '\0');
        });
    } catch (const std::exception&) {
        return {};
    }
    writeFileText(scratch / db.filename(), bytes);
    if (const fs::path mb = member(db, ".MB"); !mb.empty())
        fs::copy_file(mb, scratch / mb.filename());
    return parsed(runReferenceDecoder(scratch / db.filename()));
}

// Runs a replace of find by replace on the damaged table db (alone in its folder) and checks
// the outcome against the reference decoder's view of the files before and after.
class DamagedRun : public ReplaceFixture {
  protected:
    // Tables made for the damage, each alone in a folder under sources: a keyed one with a memo
    // over several blocks, and an unkeyed one of level 7 with memos of every size in 1 KiB
    // blocks.
    std::vector<fs::path> syntheticSources() {
        using paradox::FieldSpec;
        using paradox::FieldType;
        std::vector<fs::path> out;
        const fs::path keep = paradoxDir;
        const auto place = [&](const std::string& dir) {
            paradoxDir = temp_.path() / "sources" / dir;
            fs::create_directories(paradoxDir);
        };
        std::vector<std::vector<std::string>> keyed, plain;
        for (int i = 0; i < 90; ++i) {
            keyed.push_back(
                {"key " + std::to_string(1000 + i), i % 3 ? "grey cat" : "black dog",
                 i % 4 ? std::string(i % 7 * 30, 'm') + " a memo " + std::to_string(i) : "",
                 std::to_string(i) + ".5"});
            plain.push_back({i % 5 ? "needle " + std::to_string(i) : "",
                             std::string(static_cast<std::size_t>(i * 13 % 400), 'n') + " note",
                             i % 2 ? "True" : "False"});
        }
        place("keyed");
        out.push_back(makeTable("KEYED.DB",
                                {{"Code", FieldType::Alpha, 12},
                                 {"Name", FieldType::Alpha, 20},
                                 {"Notes", FieldType::Memo, 15},
                                 {"Amount", FieldType::Number, 0}},
                                keyed, 1));
        place("plain");
        paradox::TableSpec layout;
        layout.fields = {{"Text", FieldType::Alpha, 30},
                         {"Memo", FieldType::Memo, 11},
                         {"Flag", FieldType::Logical, 0}};
        layout.blockSizeKiB = 1;
        layout.level = 12;
        std::vector<std::vector<paradox::Value>> records;
        for (const auto& row : plain) {
            std::vector<paradox::Value> rec;
            for (std::size_t i = 0; i < row.size(); ++i)
                rec.push_back(paradox::valueFromText(layout.fields[i], row[i]));
            records.push_back(std::move(rec));
        }
        out.push_back(paradoxDir / "plain.db");
        paradox::createTable(paradox::familyPathsFor(out.back()), layout, records);
        paradoxDir = keep;
        return out;
    }

    // everyRecord: the full working copy rather than the reduced one. Without decode the
    // reference decoder is not asked: for a twin run whose outcome and files are compared with
    // a checked one.
    Outcome runAndCheck(const fs::path& db, const std::string& find, const std::string& replace,
                        bool everyRecord, bool decode = true) {
        Outcome o;
        const fs::path folder = db.parent_path();
        const auto before = folderFiles(folder);
        DecoderRun wasRun;
        DecodedTable was, wasBlanked;
        if (decode) {
            wasRun = runReferenceDecoder(db);
            was = parsed(wasRun);
            // When the decoder fails on the damaged table, it may still read the text around
            // the damage: the same table with its opaque blobs blanked.
            if (was.status != 0)
                wasBlanked = decodeBlanked(db, temp_.path() / "blanked-was");
        }

        // Where each record's bytes lie as our reader sees them, for the bytes allowed to change.
        std::vector<std::uint64_t> offsets;
        std::vector<paradox::Field> fields;
        try {
            const auto t = paradox::Table::open(db);
            fields = t.fields();
            t.forEachRecord([&](const paradox::Record& r) { offsets.push_back(r.fileOffset()); });
        } catch (const std::exception&) {
        }

        std::vector<RunHit> hits;
        options.copyEveryRecord = everyRecord;
        options.onHit = [&](const RunHit& h) { hits.push_back(h); };
        fs::remove(appDir / "dbTemp.mdb");
        std::ofstream(appDir / "dbTemp.mdb").close();
        const RunResult r = run(pair(
            {{TableNameFromFile(db.filename().string()), folder.string(), db.filename().string()}},
            find, replace));
        options.onHit = nullptr;
        o.files = folderFiles(folder);
        const auto problem = [&](const std::string& p) { o.problems.push_back(p); };

        if (r.end != RunResult::End::Completed && r.end != RunResult::End::Failed) {
            problem("the run ended as " + std::to_string(static_cast<int>(r.end)));
            return o;
        }
        if (r.end == RunResult::End::Failed) {
            o.summary = "failed: " + r.failure;
            if (r.failure.empty())
                problem("the run failed without saying why");
            if (o.files != before)
                problem("a failed run changed the files");
            return o;
        }
        if (r.tables.size() != 1) {
            problem("the run reports " + std::to_string(r.tables.size()) + " tables");
            return o;
        }
        const TableOutcome& t = r.tables[0];
        o.summary = std::to_string(static_cast<int>(t.writeBack)) + " " + t.reason + " hits " +
                    std::to_string(t.hits) + " changed " + std::to_string(t.valuesChanged);
        for (const auto& left : t.leftUnchanged)
            o.summary +=
                " | left " + left.column + ": " + left.reason + " x" + std::to_string(left.count);

        if (t.writeBack != TableOutcome::WriteBack::Written) {
            if (o.files != before)
                problem("the table was not written back, yet its files changed");
            if (t.writeBack == TableOutcome::WriteBack::NotWritten && t.reason.empty())
                problem("not written back, with no reason");
            return o;
        }

        if (!decode)
            return o;
        // Written: the reference decoder must read the result as it read the table, and show
        // the hits and nothing else changed.
        const DecoderRun nowRun = runReferenceDecoder(db);
        DecodedTable now = parsed(nowRun);
        const auto fault = [](const std::string& err) {
            const auto at = err.find(": ");
            return at == std::string::npos ? err : err.substr(at + 2);
        };
        bool decoded = was.status == 0 && now.status == 0;
        if (was.status == 0 && now.status != 0)
            problem("written back, but the reference decoder cannot read the result: " +
                    nowRun.stderrText);
        else if (was.status != 0 && now.status == 0)
            problem("written back, and the reference decoder reads the result but not the "
                    "damaged table: " +
                    wasRun.stderrText);
        else if (!decoded && fault(wasRun.stderrText) != fault(nowRun.stderrText))
            problem("written back, and the reference decoder fails otherwise: " +
                    wasRun.stderrText + " / " + nowRun.stderrText);
        else if (!decoded) {
            // The same fault before and after: damage the run carried over. Without the opaque
            // blobs the decoder must read both, and the values are compared as usual.
            o.carried = fault(wasRun.stderrText);
            DecodedTable nowBlanked = decodeBlanked(db, temp_.path() / "blanked-now");
            if (wasBlanked.status != 0 || nowBlanked.status != 0) {
                problem("written back, and the reference decoder cannot read the table even "
                        "with its opaque blobs blanked: " +
                        wasRun.stderrText);
            } else {
                was = wasBlanked;
                now = std::move(nowBlanked);
                decoded = true;
            }
        }
        if (decoded && now.header != was.header)
            problem("the header changed: " + was.header.dump() + " -> " + now.header.dump());
        // Columns where the write-back left values as they were (a key that would repeat, a
        // broken validity check): there a hit value may be old or new.
        std::set<std::string> leftColumns;
        long long left = 0;
        for (const auto& l : t.leftUnchanged) {
            leftColumns.insert(l.column);
            left += l.count;
        }
        auto expected = was.rows;
        std::vector<std::map<std::size_t, nlohmann::json>> either(expected.size());
        bool keyChanged = false, indexChanged = false;
        long long changed = 0;
        std::set<std::pair<long long, std::size_t>> touched;
        std::size_t keyFields = 0;
        try {
            keyFields = paradox::Table::open(db).header().primaryKeyFields;
        } catch (const std::exception&) {
        }
        for (const auto& h : hits) {
            if (!h.refused.empty() || h.oldValue == h.newValue)
                continue;
            std::size_t k = 0;
            while (k < fields.size() && fields[k].name != h.column)
                ++k;
            if (k == fields.size() || h.record < 1 ||
                static_cast<std::size_t>(h.record) > offsets.size() ||
                (decoded && static_cast<std::size_t>(h.record) > expected.size())) {
                problem("a hit in column " + h.column + " of record " + std::to_string(h.record) +
                        " the table does not have");
                continue;
            }
            const bool text = fields[k].type == paradox::FieldType::Alpha ||
                              fields[k].type == paradox::FieldType::Memo;
            if (decoded && text) {
                auto& cell = expected[h.record - 1][k];
                if (cell != h.oldValue)
                    problem("hit " + h.column + " of record " + std::to_string(h.record) +
                            ": the run read '" + h.oldValue + "', the reference decoder " +
                            cell.dump());
                if (leftColumns.count(h.column))
                    either[h.record - 1][k] = cell;
                cell = h.newValue.empty() ? nlohmann::json() : nlohmann::json(h.newValue);
            }
            keyChanged = keyChanged || k < keyFields;
            indexChanged = indexChanged || indexed(db, k);
            touched.insert({h.record, k});
            ++changed;
        }
        if (decoded) {
            auto got = now.rows;
            // Money, Time and Logical have other text forms in the decoder; the byte check
            // below covers them.
            for (const auto& [rec, k] : touched)
                if (fields[k].type != paradox::FieldType::Alpha &&
                    fields[k].type != paradox::FieldType::Memo)
                    for (auto* rows : {&expected, &got})
                        for (auto& row : *rows)
                            if (k < row.size())
                                row[k] = nullptr;
            const auto fits = [&](const nlohmann::json& row, std::size_t i) {
                if (row.size() != expected[i].size())
                    return false;
                for (std::size_t k = 0; k < row.size(); ++k)
                    if (row[k] != expected[i][k] &&
                        !(either[i].count(k) && either[i].at(k) == row[k]))
                        return false;
                return true;
            };
            // Records move when a key changes: each record found must stand for one expected.
            std::vector<bool> used(expected.size());
            std::string diff;
            if (got.size() != expected.size())
                diff += "\n  " + std::to_string(got.size()) + " records, not " +
                        std::to_string(expected.size());
            for (std::size_t j = 0; j < got.size() && diff.size() < 2000; ++j) {
                std::size_t i = keyChanged ? 0 : j;
                if (keyChanged)
                    while (i < expected.size() && (used[i] || !fits(got[j], i)))
                        ++i;
                if (i < expected.size() && !used[i] && fits(got[j], i))
                    used[i] = true;
                else
                    diff += "\n  got  " + got[j].dump() +
                            (j < expected.size() ? "\n  want " + expected[j].dump() : "");
            }
            if (!diff.empty())
                problem("the records are not as asked:" + diff);
        }
        if (t.valuesChanged > changed || t.valuesChanged < changed - left)
            problem("the run says " + std::to_string(t.valuesChanged) +
                    " values changed, its hits " + std::to_string(changed) + " of which " +
                    std::to_string(left) + " may be left");

        // Bytes: without a key change the .db changes only inside the changed fields, and every
        // other family file but the memo file (which only grows) stays as it was.
        const std::string dbName = db.filename().string();
        for (const auto& [name, bytes] : before) {
            const std::string ext = upper(fs::path(name).extension().string());
            if (!o.files.count(name)) {
                problem(name + " is gone");
                continue;
            }
            const Bytes& after = o.files.at(name);
            if (name == dbName && !keyChanged) {
                if (after.size() != bytes.size()) {
                    problem("the .db changed size");
                    continue;
                }
                std::vector<std::pair<std::uint64_t, std::uint64_t>> allowed;
                for (const auto& [rec, k] : touched)
                    if (static_cast<std::size_t>(rec) <= offsets.size() && k < fields.size())
                        allowed.push_back({offsets[rec - 1] + fields[k].offset,
                                           offsets[rec - 1] + fields[k].offset + fields[k].width});
                for (std::size_t p = 0; p < bytes.size(); ++p)
                    if (after[p] != bytes[p] &&
                        std::none_of(allowed.begin(), allowed.end(),
                                     [&](const auto& a) { return p >= a.first && p < a.second; })) {
                        problem("byte " + std::to_string(p) +
                                " of the .db changed outside the "
                                "changed fields");
                        break;
                    }
            } else if (ext == ".MB") {
                if (after.size() < bytes.size() || bytes.size() < 5) {
                    problem("the memo file shrank");
                    continue;
                }
                Bytes head = after.substr(0, bytes.size());
                head[3] = bytes[3];
                head[4] = bytes[4];
                if (head != bytes)
                    problem("the memo file changed before its old end");
            } else if (ext != ".DB" && ext != ".VAL" && (keyChanged || indexChanged)) {
                // Rebuilt indexes are checked by the index tests.
            } else if (ext != ".DB" && after != bytes) {
                problem(name + " changed");
            }
        }
        return o;
    }
};

} // namespace qm::test::damage
