#include "file_bytes.h"
#include "replace_fixture.h"

#include "db/field_rules.h"
#include "paradox/codepage.h"
#include "paradox/family_swap.h"
#include "paradox/table.h"

#include <cstring>
#include <set>

using qm::test::fileText;

namespace qm::test {
namespace {

using Json = nlohmann::json;

class CorpusRoundTrip : public ReplaceFixture {
  protected:
    void SetUp() override {
        if (!haveCorpus())
            GTEST_SKIP() << "corpus folder absent";
        ReplaceFixture::SetUp();
    }

    // The table's family alone in a fresh folder, names as they are.
    fs::path place(const fs::path& corpusDb, const std::string& folderName) {
        const fs::path folder = temp_.path() / folderName;
        fs::create_directories(folder);
        const std::string stem = corpusDb.stem().string();
        for (const auto& e : fs::directory_iterator(corpusDb.parent_path()))
            if (e.is_regular_file() && e.path().stem().string() == stem) {
                fs::copy_file(e.path(), folder / e.path().filename());
                // The corpus is read-only, and a run leaves read-only tables alone.
                fs::permissions(folder / e.path().filename(), fs::perms::owner_write,
                                fs::perm_options::add);
            }
        return folder / corpusDb.filename();
    }
};

std::string sql_upper(std::string s) {
    for (char& ch : s)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
}
bool sql_ext(const fs::path& p) {
    return sql_upper(p.extension().string()) == ".DB";
}

std::vector<fs::path> corpusTables() {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(corpusDir()))
        if (e.is_regular_file() && sql_ext(e.path()))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(CorpusRoundTrip, ARunThatFindsNothingLeavesEveryFileByteIdentical) {
    std::size_t n = 0;
    for (const fs::path& original : corpusTables()) {
        SCOPED_TRACE(original.string());
        const fs::path db = place(original, "t" + std::to_string(n++));
        const auto before = files(db.parent_path());
        const auto r = run(pair({{TableNameFromFile(db.filename().string()),
                                  db.parent_path().string(), db.filename().string()}},
                                "qm never there 7", "x"));
        ASSERT_EQ(r.end, RunResult::End::Completed);
        EXPECT_EQ(r.tables[0].hits, 0);
        EXPECT_NE(r.tables[0].writeBack, TableOutcome::WriteBack::Written);
        EXPECT_EQ(files(db.parent_path()), before);
    }
    EXPECT_GT(n, 50u);
}

struct Case {
    const char* table;
    const char* find;
    const char* replace;
};

// Alpha and Memo text, keyed and unkeyed; each find text lies only in fields that are neither
// key nor indexed (checked below). Some replacements outgrow a memo's leader.
const Case kCases[] = {
    {"leonhad__paradoxdriver/db/CUSTOMER.DB", "the", "THE other"},
    {"leonhad__paradoxdriver/db/HERCULES.DB", "TD>", "td>"},
    {"teverett__paradoxReader/examples/HERCULES.DB", "<B>", "<STRONG>"},
    {"celebithil__Rparadox/mushrooms.db", "death", "deadly death"},
    {"celebithil__Rparadox/biolife.db", "reef", "REEF"},
    {"leonhad__paradoxdriver/db/CONTACTS.DB", "a", "A"},
    {"celebithil__Rparadox/of_cp866.db", "\xd0\xb0", "\xd0\x90"}, // Cyrillic a to A
    {"leonhad__paradoxdriver/mtdemo/CUSTOMER.DB", "e", "E"},      // a Paradox 3.x .VAL's pictures
};

TEST_F(CorpusRoundTrip, AFindInPlainFieldsChangesExactlyThoseValues) {
    std::size_t n = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.table);
        const fs::path original = corpusDir() / c.table;
        ASSERT_TRUE(fs::exists(original));
        const fs::path db = place(original, "c" + std::to_string(n++));
        const fs::path folder = db.parent_path();
        const auto beforeFiles = files(folder);
        Json header;
        const auto before = pxdump(db, &header);
        ASSERT_FALSE(before.empty());

        // Which fields may change, and where every record lies.
        const auto rules = db::fieldRulesFor(db);
        std::vector<std::uint64_t> offsets;
        std::vector<paradox::Field> fields;
        {
            const auto t = paradox::Table::open(db);
            fields = t.fields();
            t.forEachRecord([&](const paradox::Record& r) { offsets.push_back(r.fileOffset()); });
        }
        ASSERT_EQ(offsets.size(), before.size());

        // Expected values and the byte ranges allowed to change.
        auto expected = before;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> allowed;
        long long changes = 0;
        for (std::size_t i = 0; i < before.size(); ++i)
            for (std::size_t k = 0; k < fields.size(); ++k) {
                const Json& v = before[i][k];
                if (!v.is_string())
                    continue;
                const std::string text = v.get<std::string>();
                if (text.find(c.find) == std::string::npos)
                    continue;
                const bool plain = (fields[k].type == paradox::FieldType::Alpha ||
                                    fields[k].type == paradox::FieldType::Memo) &&
                                   rules[k].kind != db::FieldRule::Kind::Frozen;
                ASSERT_TRUE(plain) << "the find text is in field " << fields[k].name;
                std::string now;
                for (std::size_t from = 0, at;; from = at + std::strlen(c.find)) {
                    at = text.find(c.find, from);
                    now.append(text, from, at == std::string::npos ? at : at - from);
                    if (at == std::string::npos)
                        break;
                    now += c.replace;
                }
                expected[i][k] = now;
                allowed.push_back({offsets[i] + fields[k].offset,
                                   offsets[i] + fields[k].offset + fields[k].width});
                ++changes;
            }
        ASSERT_GT(changes, 0) << "the case finds nothing";

        const auto r = run(pair(
            {{TableNameFromFile(db.filename().string()), folder.string(), db.filename().string()}},
            c.find, c.replace));
        ASSERT_TRUE(r.clean()) << endOfRunReport(r);
        EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written);
        EXPECT_EQ(r.tables[0].valuesChanged, changes);

        Json headerAfter;
        const auto after = pxdump(db, &headerAfter);
        EXPECT_EQ(headerAfter, header);
        ASSERT_EQ(after.size(), expected.size());
        for (std::size_t i = 0; i < after.size(); ++i)
            EXPECT_EQ(after[i], expected[i]) << "record " << i;

        // Bytes of the .db outside the changed fields are as they were; every other member of
        // the family but the memo file is untouched, and the memo file only grew.
        const auto afterFiles = files(folder);
        ASSERT_EQ(afterFiles.size(), beforeFiles.size());
        for (const auto& [name, bytes] : beforeFiles) {
            ASSERT_TRUE(afterFiles.count(name)) << name << " keeps its name and case";
            const std::string& now = afterFiles.at(name);
            const std::string ext = sql_upper(fs::path(name).extension().string());
            if (name == db.filename().string()) {
                ASSERT_EQ(now.size(), bytes.size());
                for (std::size_t p = 0; p < bytes.size(); ++p)
                    if (now[p] != bytes[p]) {
                        const bool inField =
                            std::any_of(allowed.begin(), allowed.end(), [&](const auto& a) {
                                return p >= a.first && p < a.second;
                            });
                        ASSERT_TRUE(inField) << "byte " << p << " changed outside the fields";
                    }
            } else if (ext == ".MB") {
                ASSERT_GE(now.size(), bytes.size());
                // The memo file only grows, but for the header's modification count (offset 3),
                // which goes up with every new blob.
                ASSERT_GE(bytes.size(), 5u);
                const auto count = [](const std::string& b) {
                    return static_cast<unsigned char>(b[3]) | static_cast<unsigned char>(b[4]) << 8;
                };
                EXPECT_GE(count(now), count(bytes)) << name;
                std::string head = now.substr(0, bytes.size());
                head[3] = bytes[3];
                head[4] = bytes[4];
                EXPECT_TRUE(head == bytes) << name << ": the memo file only grows";
            } else {
                EXPECT_EQ(now, bytes) << name;
            }
        }
    }
}

// Runs whose find text hits the primary key (Alpha, "ascii" sort order), the one a level-2
// primary index among them: the values change, the records come back in key order in full
// blocks, the .PX indexes them block for block, and every other file of the family stays.
struct KeyCase {
    const char* table;
    const char* find;
    const char* replace;
    bool withoutValidity; // its .VAL (a picture of digits on the key) left out of the copy
};
const KeyCase kKeyCases[] = {
    {"leonhad__paradoxdriver/geog/tblsttes.DB", "A", "a", false},
    {"leonhad__paradoxdriver/geog/tblAC.DB", "2", "~", false},
    {"leonhad__paradoxdriver/areas/ZIPCODES.DB", "9", "~", true},
};

TEST_F(CorpusRoundTrip, AFindInKeyFieldsReSortsTheTableAndRebuildsItsIndex) {
    std::size_t n = 0;
    for (const KeyCase& c : kKeyCases) {
        SCOPED_TRACE(c.table);
        const fs::path db = place(corpusDir() / c.table, "k" + std::to_string(n++));
        const fs::path folder = db.parent_path();
        if (c.withoutValidity)
            for (const auto& p : paradox::familyFiles(db))
                if (sql_upper(p.extension().string()) == ".VAL")
                    fs::remove(p);
        const auto beforeFiles = files(folder);
        Json header;
        const auto before = pxdump(db, &header);
        ASSERT_FALSE(before.empty());
        // The expected rows, as a sorted list: the records move. Dates and numbers never change.
        std::vector<std::string> expected;
        long long hits = 0;
        for (auto row : before) {
            for (std::size_t k = 0; k < row.size(); ++k)
                if (auto& v = row[k]; v.is_string() && header["fields"][k][1] == "A") {
                    std::string t = v.get<std::string>();
                    for (std::size_t at = t.find(c.find); at != std::string::npos;
                         at = t.find(c.find, at + std::strlen(c.replace))) {
                        t.replace(at, std::strlen(c.find), c.replace);
                        ++hits;
                    }
                    v = t;
                }
            expected.push_back(row.dump());
        }
        ASSERT_GT(hits, 0);
        std::sort(expected.begin(), expected.end());

        const auto r = run(pair(
            {{TableNameFromFile(db.filename().string()), folder.string(), db.filename().string()}},
            c.find, c.replace));
        ASSERT_EQ(r.end, RunResult::End::Completed);
        for (const auto& left : r.tables[0].leftUnchanged)
            EXPECT_NE(left.reason.find("not a text column"), std::string::npos) << left.reason;
        EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written);

        Json headerAfter;
        const auto after = pxdump(db, &headerAfter);
        EXPECT_EQ(headerAfter, header);
        std::vector<std::string> got;
        for (const auto& row : after)
            got.push_back(row.dump());
        std::sort(got.begin(), got.end());
        EXPECT_TRUE(got == expected) << "the table holds the changed records";

        // Key order in full blocks, and one .PX leaf per block with its first key and count.
        const auto t = paradox::Table::open(db);
        std::size_t kw = 0;
        for (std::size_t k = 0; k < t.header().primaryKeyFields; ++k)
            kw += t.fields()[k].width;
        std::string last;
        std::vector<std::pair<std::string, std::uint32_t>> blocks;
        std::uint32_t block = 0;
        bool ordered = true;
        t.forEachRecord([&](const paradox::Record& rec) {
            const std::string key(rec.bytes().begin(), rec.bytes().begin() + static_cast<long>(kw));
            ordered = ordered && (last.empty() || last < key);
            last = key;
            if (rec.block() != block) {
                EXPECT_EQ(rec.block(), block + 1) << "blocks chained in file order";
                block = rec.block();
                blocks.push_back({key, 0});
            }
            ++blocks.back().second;
        });
        EXPECT_TRUE(ordered) << "records in key order";
        const std::size_t per = (t.header().blockSize - 6) / t.header().recordSize;
        for (std::size_t b = 0; b + 1 < blocks.size(); ++b)
            EXPECT_EQ(blocks[b].second, per) << "block " << b + 1 << " is full";
        fs::path px;
        for (const auto& p : paradox::familyFiles(db))
            if (sql_upper(p.extension().string()) == ".PX")
                px = p;
        ASSERT_FALSE(px.empty());
        const std::string f = fileText(px);
        const auto u8 = [&](std::size_t at) { return static_cast<unsigned char>(f[at]); };
        const std::size_t rs = u8(0) | u8(1) << 8, hs = u8(2) | u8(3) << 8, bs = u8(5) * 1024u;
        // The leaves, found by walking down from the root: one per data block, in order.
        std::vector<std::pair<std::string, std::uint32_t>> leaves;
        std::vector<std::uint32_t> frontier{static_cast<std::uint32_t>(u8(0x1E) | u8(0x1F) << 8)};
        for (int level = u8(0x20); level-- > 0;) {
            std::vector<std::uint32_t> below;
            for (const auto b : frontier) {
                const std::size_t p = hs + (b - 1) * bs;
                ASSERT_LE(p + 6, f.size());
                const std::size_t count = (u8(p + 4) | u8(p + 5) << 8) / rs + 1;
                for (std::size_t k = 0; k < count; ++k) {
                    const std::size_t e = p + 6 + k * rs;
                    const auto child =
                        static_cast<std::uint32_t>((u8(e + kw) << 8 | u8(e + kw + 1)) ^ 0x8000);
                    const auto records =
                        static_cast<std::uint32_t>((u8(e + kw + 2) << 8 | u8(e + kw + 3)) ^ 0x8000);
                    if (level == 0)
                        leaves.push_back({f.substr(e, kw), records});
                    else
                        below.push_back(child);
                }
            }
            frontier = std::move(below);
        }
        EXPECT_TRUE(leaves == blocks) << "the .PX indexes every block";

        // Every other member of the family is as it was.
        const auto afterFiles = files(folder);
        ASSERT_EQ(afterFiles.size(), beforeFiles.size());
        for (const auto& [name, bytes] : beforeFiles) {
            ASSERT_TRUE(afterFiles.count(name)) << name << " keeps its name and case";
            const std::string ext = sql_upper(fs::path(name).extension().string());
            if (ext != ".DB" && ext != ".PX") {
                EXPECT_EQ(afterFiles.at(name), bytes) << name;
            }
        }
    }
}

// The key of AREACODE has a picture of three digits in its validity file: a new key of other
// characters breaks it and is refused with the check's name; the table stays as it was.
TEST_F(CorpusRoundTrip, AKeyThatBreaksItsPictureIsRefused) {
    const fs::path db =
        place(corpusDir() / "teverett__paradoxReader/examples/AREA-PDX/AREACODE.DB", "pic");
    const auto before = files(db.parent_path());
    const auto r = run(pair({{TableNameFromFile(db.filename().string()), db.parent_path().string(),
                              db.filename().string()}},
                            "2", "~"));
    ASSERT_EQ(r.end, RunResult::End::Completed);
    ASSERT_EQ(r.tables[0].leftUnchanged.size(), 1u) << endOfRunReport(r);
    EXPECT_EQ(r.tables[0].leftUnchanged[0].column, "Area Code");
    EXPECT_NE(r.tables[0].leftUnchanged[0].reason.find("picture \"###\""), std::string::npos)
        << r.tables[0].leftUnchanged[0].reason;
    EXPECT_EQ(files(db.parent_path()), before);
}

} // namespace
} // namespace qm::test
