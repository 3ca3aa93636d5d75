// Changing values of key and indexed fields: the table comes back in key order with its index
// files rebuilt, and the changes that would harm the data or that the BDE's rules would order
// otherwise are refused.

#include "file_bytes.h"
#include "paradox/ascii.h"
#include "paradox/family_swap.h"
#include "paradox/index_plan.h"
#include "paradox/index_writer.h"
#include "paradox/patcher.h"
#include "paradox/sort_evidence.h"
#include "paradox/validity.h"
#include "paradox/writer.h"
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>

namespace qm::paradox {
namespace {

namespace fs = std::filesystem;
using qm::test::fileBytes;
using test::runReferenceDecoder;

Value text(const std::string& s) {
    return Value{s, std::nullopt};
}

std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

// A keyed 5.x table, "ascii" sort order, 400 records of 60 bytes: 34 a block, 12 blocks.
fs::path makeKeyed(const fs::path& folder, const std::string& sortOrderID = "ascii") {
    TableSpec spec;
    spec.level = 11;
    spec.codePage = 437;
    spec.keyFields = 1;
    spec.sortOrderID = sortOrderID;
    spec.sortOrder = sortOrderID == "ascii" ? 0x00 : 0x4C;
    spec.fields = {
        {"Code", FieldType::Alpha, 10}, {"Name", FieldType::Alpha, 46}, {"N", FieldType::Long, 0}};
    const fs::path db = folder / "KEYED.DB";
    TableWriter w(familyPathsFor(db), spec);
    for (int i = 0; i < 400; ++i) {
        char code[16];
        std::snprintf(code, sizeof code, "k%04d", i);
        std::vector<Value> r = {text(code), text("name " + std::to_string(i)),
                                Value{std::int64_t{i}, std::nullopt}};
        w.add(r);
    }
    w.finish();
    return db;
}

// Checks, independently of the writer, that db's records are in key order in full blocks and
// that its .PX has one leaf per block with the block's first key and record count.
void expectSortedWithItsIndex(const fs::path& db, const fs::path& px) {
    const Table t = Table::open(db);
    const std::size_t kw = t.fields()[0].width;
    std::vector<std::vector<std::uint8_t>> keys;
    std::map<std::uint32_t, std::pair<std::vector<std::uint8_t>, std::uint32_t>> blocks;
    std::vector<std::uint32_t> chain;
    t.forEachRecord([&](const Record& r) {
        keys.emplace_back(r.bytes().begin(), r.bytes().begin() + static_cast<long>(kw));
        if (!blocks.count(r.block())) {
            blocks[r.block()] = {keys.back(), 0};
            chain.push_back(r.block());
        }
        ++blocks[r.block()].second;
    });
    for (std::size_t i = 1; i < keys.size(); ++i)
        ASSERT_LT(keys[i - 1], keys[i]) << "record " << i << " is out of key order";
    const std::size_t per = (t.header().blockSize - 6) / t.header().recordSize;
    for (std::size_t b = 0; b < chain.size(); ++b) {
        EXPECT_EQ(chain[b], b + 1) << "blocks chained in file order";
        if (b + 1 < chain.size()) {
            EXPECT_EQ(blocks[chain[b]].second, per) << "block " << chain[b] << " is full";
        }
    }
    // The .PX: a single level here, its leaves in one block.
    const auto f = fileBytes(px);
    const std::size_t rs = le16(f, 0), hs = le16(f, 2);
    ASSERT_EQ(rs, kw + 6);
    ASSERT_EQ(f[0x20], 1);
    const std::size_t p = hs + (le16(f, 0x1E) - 1) * std::size_t{f[5]} * 1024;
    const std::size_t n = le16(f, p + 4) / rs + 1;
    ASSERT_EQ(n, chain.size());
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t* e = f.data() + p + 6 + k * rs;
        EXPECT_EQ(std::vector<std::uint8_t>(e, e + kw), blocks[k + 1].first) << "leaf " << k;
        EXPECT_EQ((e[kw] << 8 | e[kw + 1]) ^ 0x8000, static_cast<int>(k + 1));
        EXPECT_EQ(static_cast<std::uint32_t>((e[kw + 2] << 8 | e[kw + 3]) ^ 0x8000),
                  blocks[k + 1].second);
    }
}

TEST(KeyChange, ATableWithNewKeysComesBackInKeyOrderWithItsIndexRebuilt) {
    qm::test::TempDir dir, backups;
    const fs::path db = makeKeyed(dir.path());
    std::vector<Change> changes;
    std::vector<std::uint64_t> offsets;
    Table::open(db).forEachRecord([&](const Record& r) { offsets.push_back(r.fileOffset()); });
    // Move every tenth record to the end and one to the front; change a plain field too.
    for (std::size_t i = 0; i < offsets.size(); i += 10)
        changes.push_back({offsets[i], 0, "z" + std::to_string(1000 + i)});
    changes.push_back({offsets[399], 0, "a"});
    changes.push_back({offsets[5], 1, "plain"});
    {
        const Table t = Table::open(db);
        for (const auto& c : changes)
            ASSERT_TRUE(Patcher(t).check(c.field, c.value).ok());
    }
    const fs::path folder = patchTable(db, changes, backups.path());
    EXPECT_TRUE(fs::exists(folder / "KEYED.DB")) << "the old files are kept";
    EXPECT_TRUE(fs::exists(folder / "KEYED.PX"));
    expectSortedWithItsIndex(db, dir.path() / "KEYED.PX");

    const auto dump = runReferenceDecoder(db);
    ASSERT_EQ(dump.status, 0) << dump.stderrText;
    ASSERT_EQ(dump.lines.size(), 401u);
    EXPECT_EQ(dump.lines[1], R"(["a", "name 399", 399])");
    EXPECT_EQ(dump.lines[400], R"(["z1390", "name 390", 390])");
    int plain = 0;
    for (const auto& l : dump.lines)
        plain += l == R"(["k0005", "plain", 5])";
    EXPECT_EQ(plain, 1);
    // The old header but for the counts, which did not change here.
    EXPECT_EQ(fileBytes(db).size(), fileBytes(folder / "KEYED.DB").size());
}

TEST(KeyChange, AKeyThatWouldRepeatIsTakenOutAndNeverWritten) {
    qm::test::TempDir dir, backups;
    const fs::path db = makeKeyed(dir.path());
    const auto before = fileBytes(db);
    std::vector<std::uint64_t> offsets;
    Table::open(db).forEachRecord([&](const Record& r) { offsets.push_back(r.fileOffset()); });
    std::vector<Change> changes = {
        {offsets[1], 0, "k0002"}, // meets an unchanged key
        {offsets[10], 0, "same"}, // two new keys meet
        {offsets[11], 0, "same"},
        {offsets[20], 0, "k0021"}, // takes the key of a record that moves away ...
        {offsets[21], 0, "k9999"}, // ... which is fine
        {offsets[30], 1, "kept"},
    };
    {
        const Table t = Table::open(db);
        std::vector<Change> probe = changes;
        EXPECT_THROW(patchTable(db, probe, backups.path()), PatchError);
        EXPECT_EQ(fileBytes(db), before) << "a refused change writes nothing";
        const auto dropped = dropRepeatedKeys(t, changes);
        ASSERT_EQ(dropped.size(), 3u);
        EXPECT_EQ(dropped[0].recordOffset, offsets[1]);
        EXPECT_EQ(dropped[1].recordOffset, offsets[10]);
        EXPECT_EQ(dropped[2].recordOffset, offsets[11]);
        ASSERT_EQ(changes.size(), 3u);
    }
    patchTable(db, changes, backups.path());
    const auto dump = runReferenceDecoder(db);
    ASSERT_EQ(dump.status, 0) << dump.stderrText;
    EXPECT_EQ(dump.lines[21], R"(["k0021", "name 20", 20])");
    EXPECT_EQ(dump.lines[400], R"(["k9999", "name 21", 21])");
    expectSortedWithItsIndex(db, dir.path() / "KEYED.PX");
}

TEST(KeyChange, AnUnknownSortOrderOrAReferringTableKeepsTheKey) {
    qm::test::TempDir dir;
    const fs::path db = makeKeyed(dir.path(), "DBWINUS0");
    {
        const Table t = Table::open(db);
        const Verdict v = Patcher(t).check(0, "x");
        EXPECT_EQ(v.refusal, Refusal::KeyField);
        EXPECT_NE(v.reason.find("DBWINUS0"), std::string::npos) << v.reason;
        EXPECT_TRUE(Patcher(t).check(1, "x").ok());
    }
    qm::test::TempDir other;
    const fs::path master = makeKeyed(other.path());
    {
        const Table t = Table::open(master);
        EXPECT_TRUE(Patcher(t).check(0, "x").ok());
    }
    // A detail table whose validity file names the master (its referential integrity).
    {
        std::ofstream val(other.path() / "ORDERS.VAL", std::ios::binary);
        const std::string body = std::string(40, '\0') + "Reference" + std::string(60, '\0') +
                                 "keyed.db" + std::string(20, '\0') + "C:\\data\\KEYED.DB" +
                                 std::string(8, '\0');
        val.write(body.data(), static_cast<std::streamsize>(body.size()));
    }
    const Table t = Table::open(master);
    const Verdict v = Patcher(t).check(0, "x");
    EXPECT_EQ(v.refusal, Refusal::KeyField);
    EXPECT_NE(v.reason.find("ORDERS"), std::string::npos) << v.reason;
    EXPECT_TRUE(Patcher(t).check(1, "x").ok()) << "other fields stay free";
}

// A level 3 header names no sort order: the table's own key order decides it where it can.
TEST(KeyChange, ALevelThreeTablesOwnOrderDecidesItsSortOrder) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "no corpus beside the project";
    qm::test::TempDir dir;
    const fs::path m = qm::test::corpusDir() / "leonhad__paradoxdriver/mtdemo";
    for (const char* ext : {".DB", ".PX", ".VAL"}) {
        fs::copy_file(m / (std::string("CUSTOMER") + ext),
                      dir.path() / ("CUSTOMER" + std::string(ext)));
        fs::permissions(dir.path() / ("CUSTOMER" + std::string(ext)), fs::perms::owner_write,
                        fs::perm_options::add);
    }
    const fs::path db = dir.path() / "CUSTOMER.DB";
    std::vector<std::uint64_t> offsets;
    {
        const Table t = Table::open(db);
        t.forEachRecord([&](const Record& r) { offsets.push_back(r.fileOffset()); });
        EXPECT_FALSE(textInByteOrder(t)) << "keys of digits fit every order";
        EXPECT_EQ(Patcher(t).check(0, "1016").refusal, Refusal::KeyField);
    }
    const auto lastTwoKeys = [&](const char* a, const char* b) {
        std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offsets[offsets.size() - 2]));
        f.write(a, 4);
        f.seekp(static_cast<std::streamoff>(offsets.back()));
        f.write(b, 4);
    };
    // In byte order, but as a dictionary may have them too: punctuation before the letters,
    // capitals first on a tie.
    for (const auto& [a, b] :
         {std::pair{"_\0\0\0", "a\0\0\0"}, {"a_\0\0", "ab\0\0"}, {"Ab\0\0", "aa\0\0"}}) {
        lastTwoKeys(a, b);
        EXPECT_FALSE(textInByteOrder(Table::open(db))) << a << " before " << b;
    }
    // "Z" before "a": in byte order, and in no dictionary order.
    lastTwoKeys("Z\0\0\0", "a\0\0\0");
    {
        const Table t = Table::open(db);
        EXPECT_TRUE(textInByteOrder(t));
        ASSERT_TRUE(Patcher(t).check(0, "ZZ").ok()) << Patcher(t).check(0, "ZZ").reason;
    }
    qm::test::TempDir backups;
    patchTable(db, {{offsets[0], 0, "ZZ"}}, backups.path());
    expectSortedWithItsIndex(db, dir.path() / "CUSTOMER.PX");
    const auto dump = runReferenceDecoder(db);
    ASSERT_EQ(dump.status, 0) << dump.stderrText;
    ASSERT_EQ(dump.lines.size(), offsets.size() + 1);
    EXPECT_EQ(dump.lines[dump.lines.size() - 2].substr(0, 6), R"(["ZZ",)");
}

// CUSTOMER with its sort order made "ascii": its .X06 over City (with the key CustNo and a
// block hint) and .Y06 are rebuilt when a City changes; nothing else of the family moves.
TEST(KeyChange, AChangedIndexedFieldRebuildsThatIndex) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "no corpus beside the project";
    qm::test::TempDir dir, backups;
    const fs::path src = qm::test::corpusDir() / "leonhad__paradoxdriver/db/CUSTOMER.DB";
    for (const auto& p : familyFiles(src)) {
        auto bytes = fileBytes(p);
        bytes[0x29] = 0x00;
        const std::string from("ANSII850\0", 9), to("ascii\0\0\0\0", 9);
        const std::size_t hs = std::min<std::size_t>(le16(bytes, 2), bytes.size());
        std::string head(bytes.begin(), bytes.begin() + static_cast<long>(hs));
        if (const auto at = head.find(from); at != std::string::npos)
            std::copy(to.begin(), to.end(), bytes.begin() + static_cast<long>(at));
        if (p.extension() == ".MB" || p.extension() == ".mb")
            bytes = fileBytes(p);
        std::ofstream(dir.path() / p.filename(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path db = dir.path() / "CUSTOMER.DB";
    std::map<std::string, std::vector<std::uint8_t>> before;
    for (const auto& p : familyFiles(db))
        before[p.filename().string()] = fileBytes(p);

    std::vector<Change> changes;
    std::size_t city = 0;
    {
        const Table t = Table::open(db);
        for (std::size_t i = 0; i < t.fields().size(); ++i)
            if (t.fields()[i].name == "City")
                city = i;
        ASSERT_GT(city, 0u);
        t.forEachRecord([&](const Record& r) {
            const std::string now = t.decode(city, r.bytes()).asText();
            if (now == "Aptos" || now == "Soquel")
                changes.push_back({r.fileOffset(), city, now == "Aptos" ? "Zzyzx" : "Alameda"});
        });
        ASSERT_EQ(changes.size(), 5u);
        EXPECT_TRUE(Patcher(t).check(city, "Zzyzx").ok());
    }
    patchTable(db, changes, backups.path());

    const auto x = runReferenceDecoder(dir.path() / "CUSTOMER.X06");
    ASSERT_EQ(x.status, 0) << x.stderrText;
    ASSERT_EQ(x.lines.size(), 21u);
    EXPECT_EQ(x.lines[1], R"(["Alameda", 18, 4])");
    EXPECT_EQ(x.lines[2], R"(["Alameda", 19, 4])");
    EXPECT_EQ(x.lines[3], R"(["Los Gatos", 2, 1])");
    EXPECT_EQ(x.lines[20], R"(["Zzyzx", 14, 3])");
    for (std::size_t i = 2; i < x.lines.size(); ++i) {
        const auto a = nlohmann::json::parse(x.lines[i - 1]), b = nlohmann::json::parse(x.lines[i]);
        EXPECT_LT(std::make_pair(a[0].get<std::string>(), a[1].get<int>()),
                  std::make_pair(b[0].get<std::string>(), b[1].get<int>()));
    }
    // Its tree: one leaf, the first entry.
    const auto y = fileBytes(dir.path() / "CUSTOMER.Y06");
    EXPECT_EQ(std::string(y.begin() + 0x806, y.begin() + 0x80D), std::string("Alameda"));
    // The table's records stayed where they were; the .PX and the memo file are untouched.
    for (const auto& [name, bytes] : before) {
        const auto now = fileBytes(dir.path() / name);
        if (name == "CUSTOMER.DB") {
            EXPECT_EQ(now.size(), bytes.size());
        } else if (name != "CUSTOMER.X06" && name != "CUSTOMER.Y06") {
            EXPECT_EQ(now, bytes) << name;
        }
    }
}

} // namespace
} // namespace qm::paradox

namespace qm::paradox {
namespace {

TEST(Validity, PicturesAsParadoxReadsThem) {
    EXPECT_TRUE(matchesPicture("#####", "12345"));
    EXPECT_FALSE(matchesPicture("#####", "1234"));
    EXPECT_FALSE(matchesPicture("#####", "12a45"));
    EXPECT_TRUE(matchesPicture("&&", "NJ"));
    EXPECT_FALSE(matchesPicture("&&", "nJ"));
    EXPECT_TRUE(matchesPicture("&#&#&#", "\xC3\x89"
                                         "1B2C3")); // a capital beyond ASCII
    const char* phone = "[(*3{#}) ]*3{#}-*4{#}";
    EXPECT_TRUE(matchesPicture(phone, "(408) 555-1234"));
    EXPECT_TRUE(matchesPicture(phone, "555-1234"));
    EXPECT_FALSE(matchesPicture(phone, "55-1234"));
    EXPECT_FALSE(matchesPicture(phone, "(408)555-1234"));
    EXPECT_TRUE(matchesPicture("{Yes,No}", "No"));
    EXPECT_FALSE(matchesPicture("{Yes,No}", "Maybe"));
    EXPECT_TRUE(matchesPicture("*!", "ABC 1"));
    EXPECT_FALSE(matchesPicture("*!", "AbC"));
    EXPECT_TRUE(matchesPicture("*!", ""));
    EXPECT_TRUE(matchesPicture(";#@", "#x"));
    EXPECT_FALSE(matchesPicture(";#@", "1x"));
    EXPECT_TRUE(matchesPicture("#[#]~", "12a"));
    EXPECT_TRUE(matchesPicture("#[#]~", "1a"));
    EXPECT_FALSE(matchesPicture("#[#]~", "1A"));
    // Commas part alternatives in every group, as the older validity files write them.
    const char* payment = "C{ash,heck},Visa,MC,AmerExpr";
    EXPECT_TRUE(matchesPicture(payment, "Check"));
    EXPECT_TRUE(matchesPicture(payment, "Visa"));
    EXPECT_FALSE(matchesPicture(payment, "Cheque"));
    const char* words = "!*[{ ,.,(,;,}*{ ,.,(,;,}!,@]";
    EXPECT_TRUE(matchesPicture(words, "Redwood City, CA"));
    EXPECT_FALSE(matchesPicture(words, "redwood"));
    EXPECT_TRUE(pictureParses(words));
    for (const char* broken : {"[#", "#]", "{a,b", "*", "#;", "[*]"})
        EXPECT_FALSE(pictureParses(broken)) << broken;
}

TEST(Validity, TheCorpusValidityFilesReadAsTheyAreDocumented) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "no corpus beside the project";
    const fs::path c = qm::test::corpusDir() / "leonhad__paradoxdriver";
    {
        const auto checks = readValidityChecks(Table::open(c / "areas/ZIPCODES.DB"));
        ASSERT_EQ(checks.size(), 3u);
        EXPECT_EQ(checks[0].picture, "#####");
        EXPECT_EQ(checks[1].picture, "&&");
        EXPECT_TRUE(checks[2].picture.empty());
        EXPECT_FALSE(checks[0].required);
    }
    {
        const auto checks = readValidityChecks(Table::open(c / "joins/multiple.db"));
        ASSERT_EQ(checks.size(), 4u);
        std::size_t withPicture = 0, required = 0;
        for (const auto& k : checks) {
            withPicture += k.picture == "[(*3{#}) ]*3{#}-*4{#}";
            required += k.required;
        }
        EXPECT_EQ(withPicture, 1u);
        EXPECT_EQ(required, 1u);
    }
    EXPECT_TRUE(readValidityChecks(Table::open(c / "db/CONTACTS.DB")).empty());
}

// The older layout (Paradox 3.x): the same entries, no footer.
TEST(Validity, TheOlderLayoutReadsItsChecksAndTestsThem) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "no corpus beside the project";
    const fs::path m = qm::test::corpusDir() / "leonhad__paradoxdriver/mtdemo";
    const Table customer = Table::open(m / "CUSTOMER.DB");
    const auto checks = readValidityChecks(customer);
    ASSERT_EQ(checks.size(), 12u);
    EXPECT_EQ(checks[0].picture, "*!");
    EXPECT_EQ(checks[5].picture, "&&");
    EXPECT_EQ(checks[7].picture, "###-###{#,-####}");
    EXPECT_TRUE(checks[8].picture.empty());
    const auto payment = readValidityChecks(Table::open(m / "PAYMENT.DB"));
    EXPECT_EQ(payment[1].lookupTable, "CUSTOMER.DB");
    EXPECT_EQ(payment[2].picture, "C{ash,heck},Visa,MC,AmerExpr");
    const auto employee = readValidityChecks(Table::open(m / "EMPLOYEE.DB"));
    EXPECT_EQ(employee[0].lookupTable, "STORE.DB");
    EXPECT_EQ(employee[0].picture, "*!");

    const Patcher p(customer);
    EXPECT_TRUE(p.check(6, "94141-1234").ok());
    EXPECT_EQ(p.check(6, "9414").refusal, Refusal::BrokenCheck);
    EXPECT_TRUE(p.check(1, "ElkinS").ok());
    EXPECT_NE(p.check(1, "elkins").reason.find("picture \"!*@\""), std::string::npos);
    EXPECT_TRUE(p.check(10, "free text").ok()) << "a field without checks";
}

// What the validity files of the corpus are read as must hold for every value the tables keep.
TEST(Validity, EveryStoredValueOfTheCorpusMeetsItsDecodedChecks) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "no corpus beside the project";
    std::size_t tables = 0, tested = 0;
    std::set<std::string> missing; // values not in their lookup table
    for (const auto& e : fs::recursive_directory_iterator(qm::test::corpusDir())) {
        if (asciiLower(e.path().extension().string()) != ".db")
            continue;
        std::optional<Table> t;
        try {
            t.emplace(Table::open(e.path()));
        } catch (const std::exception&) {
            continue; // encrypted or damaged: the reader's tests deal with those
        }
        const auto checks = readValidityChecks(*t);
        if (checks.empty())
            continue;
        ++tables;
        const bool ordered = sortOrderKnown(t->header());
        std::map<std::string, std::optional<std::set<std::string>>> lookups;
        t->forEachRecord([&](const Record& r) {
            for (std::size_t k = 0; k < checks.size(); ++k) {
                const Field& f = t->fields()[k];
                const std::string value = t->text(k, r.bytes()).value_or("");
                const auto bytes = r.bytes().subspan(f.offset, f.width);
                EXPECT_EQ(brokenCheck(checks[k], f, bytes, value, ordered), "")
                    << e.path() << " " << f.name << " " << value;
                ++tested;
                const std::string& lookup = checks[k].lookupTable;
                if (lookup.empty() || value.empty())
                    continue;
                if (!lookups.count(lookup)) {
                    try {
                        lookups[lookup] = lookupValues(*t, lookup);
                    } catch (const std::exception&) {
                        lookups[lookup] = std::nullopt; // STORE.DB is not in the corpus
                    }
                }
                if (lookups[lookup] && !lookups[lookup]->count(value))
                    missing.insert(e.path().filename().string() + " " + value);
            }
        });
    }
    EXPECT_GE(tables, 15u);
    EXPECT_GT(tested, 1000u);
    // joinb.db holds 4, which joina.db lacks: its lookup came after its data, and Paradox does
    // not test the values a table already holds against a new check.
    EXPECT_EQ(missing, std::set<std::string>{"joinb.db 4"});
}

// A validity file the suite writes: Name required with a picture, N between 10 and 500.
TEST(Validity, ANewValueThatBreaksACheckIsRefusedWithTheChecksName) {
    qm::test::TempDir dir;
    const fs::path db = makeKeyed(dir.path());
    const auto longOf = [](std::int64_t v) {
        std::vector<std::uint8_t> b(4);
        encodeFixedField({"N", FieldType::Long, 4}, Value{v, std::nullopt}, 437, b);
        return b;
    };
    std::vector<std::uint8_t> val(0x35, 0);
    val[1] = 0x0B;
    val[2] = 3;
    const auto entry = [&](std::uint8_t field, bool required, std::uint8_t pictureSize, bool minMax,
                           const std::string& picture,
                           const std::vector<std::vector<std::uint8_t>>& values) {
        std::vector<std::uint8_t> e(0x1C, 0);
        e[0] = field;
        e[1] = pictureSize;
        e[2] = required;
        if (minMax) {
            e[0x0C] = 1;
            e[0x10] = 1;
        }
        if (!picture.empty())
            e[0x18] = 1;
        for (const auto& v : values)
            e.insert(e.end(), v.begin(), v.end());
        e.insert(e.end(), picture.begin(), picture.end());
        if (!picture.empty())
            e.push_back(0);
        val.insert(val.end(), e.begin(), e.end());
    };
    entry(1, true, 4, false, "&*?", {});
    entry(2, false, 0, true, "", {longOf(10), longOf(500)});
    // Code takes its values from the first field of a table: here the table itself.
    std::vector<std::uint8_t> lookup(0x1C + 0x50, 0);
    lookup[0x04] = 1;
    const std::string lookupName = "KEYED.DB";
    std::copy(lookupName.begin(), lookupName.end(), lookup.begin() + 0x1C);
    val.insert(val.end(), lookup.begin(), lookup.end());
    std::ofstream(dir.path() / "KEYED.VAL", std::ios::binary)
        .write(reinterpret_cast<const char*>(val.data()), static_cast<std::streamsize>(val.size()));

    const Table t = Table::open(db);
    const Patcher p(t);
    EXPECT_TRUE(p.check(1, "Name").ok());
    const auto refused = [&](std::size_t field, const std::string& value) {
        const Verdict v = p.check(field, value);
        EXPECT_EQ(v.refusal, Refusal::BrokenCheck) << value;
        return v.reason;
    };
    EXPECT_NE(refused(1, "").find("required"), std::string::npos);
    EXPECT_NE(refused(1, "name").find("picture \"&*?\""), std::string::npos);
    EXPECT_NE(refused(2, "9").find("minimum"), std::string::npos);
    EXPECT_NE(refused(2, "501").find("maximum"), std::string::npos);
    EXPECT_TRUE(p.check(2, "10").ok());
    EXPECT_TRUE(p.check(2, "").ok()) << "a blank value is no number to test";
    EXPECT_TRUE(p.check(0, "k0007").ok());
    EXPECT_NE(refused(0, "free").find("table lookup \"KEYED.DB\""), std::string::npos);

    // A validity file of a layout we do not know tests nothing, so it lets nothing through.
    val[1] = 0x20;
    std::ofstream(dir.path() / "KEYED.VAL", std::ios::binary)
        .write(reinterpret_cast<const char*>(val.data()), static_cast<std::streamsize>(val.size()));
    const Table again = Table::open(db);
    EXPECT_EQ(Patcher(again).check(0, "free").refusal, Refusal::BrokenCheck);
}

} // namespace
} // namespace qm::paradox
