#include "file_bytes.h"
#include "paradox/family_swap.h"
#include "paradox/patcher.h"
#include "paradox/table.h"
#include "paradox/writer.h"
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <set>

using namespace qm::paradox;
using qm::test::decodeWithReference;
using qm::test::fileBytes;
namespace fs = std::filesystem;

namespace {

Value text(const std::string& s) {
    return Value{s, std::nullopt};
}

// An unkeyed 5.x table in code page 1252 with a 20-byte memo leader and a field of every kind
// the patcher must deal with.
TableSpec sampleSpec() {
    TableSpec s;
    s.level = 11;
    s.codePage = 1252;
    s.fields = {{"Name", FieldType::Alpha, 5},   {"Notes", FieldType::Memo, 30},
                {"Price", FieldType::Money, 0},  {"At", FieldType::Time, 0},
                {"Done", FieldType::Logical, 0}, {"Pic", FieldType::Binary, 10},
                {"Born", FieldType::Date, 0}};
    return s;
}

struct Sample {
    qm::test::TempDir dir;
    fs::path db;
    std::vector<std::uint64_t> offsets;
    Sample() {
        db = dir.path() / "T.db";
        TableWriter w(familyPathsFor(db), sampleSpec());
        for (int i = 0; i < 300; ++i) {
            std::vector<Value> r = {text("n" + std::to_string(i)),
                                    text(i % 3 ? std::string(25 + i, 'm') : "short"),
                                    Value{double(i) / 4, std::nullopt},
                                    Value{std::int64_t{i * 1000}, std::nullopt},
                                    Value{std::int64_t{i % 2}, std::nullopt},
                                    Value{std::vector<std::uint8_t>{1, 2, 3}, std::nullopt},
                                    Value{std::int64_t{730000 + i}, std::nullopt}};
            w.add(r);
        }
        w.finish();
        Table t = Table::open(db);
        t.forEachRecord([&](const Record& r) { offsets.push_back(r.fileOffset()); });
    }
};

} // namespace

// Only the targeted field bytes change; the memo file keeps every old byte and gains blocks that
// the reference decoder follows; every other value reads back as before.
TEST(Patcher, RewritesOnlyTheChangedFields) {
    Sample s;
    const std::string longMemo(3000, 'L'), midMemo = "Grüße aus Köln, " + std::string(200, 'x');
    std::vector<Change> changes = {
        {s.offsets[3], 0, "Grüß"},   // 4 characters, 4 bytes in 1252, 6 in UTF-8
        {s.offsets[4], 1, midMemo},  // shared type-3 block
        {s.offsets[5], 1, longMemo}, // type-2 block
        {s.offsets[7], 1, "tiny"},   // back into the leader
        {s.offsets[8], 1, ""},       // NULL
        {s.offsets[9], 2, "12.5"},   // Money
        {s.offsets[10], 3, "08:15:00"}, {s.offsets[11], 4, "True"},  {s.offsets[12], 0, ""},
        {s.offsets[13], 0, "first"},    {s.offsets[13], 0, "later"}, // the later change of the same
                                                                     // field wins
    };
    qm::test::TempDir out;
    Table t = Table::open(s.db);
    Patcher p(t);
    ASSERT_TRUE(p.needsMemoFile(changes));
    p.write(changes, out.path() / "T.db", out.path() / "T.mb");

    auto oldDb = fileBytes(s.db), newDb = fileBytes(out.path() / "T.db");
    ASSERT_EQ(oldDb.size(), newDb.size());
    std::vector<bool> mayChange(oldDb.size(), false);
    for (const auto& c : changes) {
        const Field& f = t.fields()[c.field];
        for (std::size_t i = 0; i < f.width; ++i)
            mayChange[c.recordOffset + f.offset + i] = true;
    }
    std::size_t differing = 0;
    for (std::size_t i = 0; i < oldDb.size(); ++i) {
        if (oldDb[i] != newDb[i]) {
            ++differing;
            ASSERT_TRUE(mayChange[i]) << "byte " << i << " changed outside the changed fields";
        }
    }
    EXPECT_GT(differing, 20u);
    auto oldMb = fileBytes(s.dir.path() / "T.mb"), newMb = fileBytes(out.path() / "T.mb");
    ASSERT_GT(newMb.size(), oldMb.size());
    EXPECT_EQ(newMb.size() % 4096, 0u);
    // The old blocks stay as they were, but for the header's modification count (offset 3),
    // which counts the two new blobs; each new blob carries the count it made.
    const unsigned oldCount = oldMb[3] | oldMb[4] << 8, newCount = newMb[3] | newMb[4] << 8;
    EXPECT_EQ(newCount, oldCount + 2);
    newMb[3] = oldMb[3];
    newMb[4] = oldMb[4];
    EXPECT_TRUE(std::equal(oldMb.begin(), oldMb.end(), newMb.begin()));
    {
        const Table patched = Table::open(out.path() / "T.db");
        std::set<unsigned> numbers;
        for (std::size_t r : {4, 5}) {
            const Value v = patched.readRecordAt(s.offsets[r]).value(1);
            ASSERT_TRUE(v.blob) << r;
            numbers.insert(v.blob->modNr);
        }
        EXPECT_EQ(numbers, (std::set<unsigned>{oldCount + 1, oldCount + 2}));
    }

    auto before = decodeWithReference(s.db), after = decodeWithReference(out.path() / "T.db");
    ASSERT_EQ(after.status, 0);
    ASSERT_EQ(after.rows.size(), before.rows.size());
    auto expected = before.rows;
    expected[3][0] = "Grüß";
    expected[4][1] = midMemo;
    expected[5][1] = longMemo;
    expected[7][1] = "tiny";
    expected[8][1] = nullptr;
    expected[9][2] = 12.5;
    expected[10][3] = "08:15:00";
    expected[11][4] = true;
    expected[12][0] = nullptr;
    expected[13][0] = "later";
    EXPECT_EQ(after.rows, expected);
}

TEST(Patcher, ChangesWithoutMemoTextCopyOnlyTheDb) {
    Sample s;
    qm::test::TempDir out;
    Table t = Table::open(s.db);
    Patcher p(t);
    std::vector<Change> changes = {{s.offsets[0], 1, "fits leader"}, {s.offsets[1], 0, "x"}};
    EXPECT_FALSE(p.needsMemoFile(changes));
    p.write(changes, out.path() / "T.db", {});
    EXPECT_FALSE(fs::exists(out.path() / "T.mb"));
    // The old blob of record 0 is no longer referenced; the reference decoder reads the memo
    // from the leader alone, with the old .mb beside it.
    fs::copy_file(s.dir.path() / "T.mb", out.path() / "T.mb");
    auto d = decodeWithReference(out.path() / "T.db");
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.rows[0][1], "fits leader");
    EXPECT_EQ(d.rows[1][0], "x");
}

// Each reason for refusing a value, and a refused change in a batch writes nothing at all.
TEST(Patcher, RefusesBeforeWritingAnything) {
    Sample s;
    Table t = Table::open(s.db);
    Patcher p(t);
    EXPECT_TRUE(p.check(0, "ääääa").ok()); // five bytes in 1252, nine in UTF-8
    EXPECT_EQ(p.check(0, "ääääää").refusal, Refusal::TooLong);
    EXPECT_EQ(p.check(0, "ab€").refusal, Refusal::None); // 1252 has the euro sign
    EXPECT_EQ(p.check(0, "日本").refusal, Refusal::NotInCodePage);
    EXPECT_EQ(p.check(1, "日本").refusal, Refusal::NotInCodePage);
    EXPECT_EQ(p.check(5, "x").refusal, Refusal::NotTextValued);
    EXPECT_EQ(p.check(6, "2024-13-01").refusal, Refusal::InvalidValue);
    EXPECT_EQ(p.check(2, "12,5").refusal, Refusal::InvalidValue);
    EXPECT_EQ(p.check(4, "Yes").refusal, Refusal::InvalidValue);
    EXPECT_EQ(p.check(9, "x").refusal, Refusal::NoSuchField);
    EXPECT_FALSE(p.check(0, "ääääää").reason.empty());

    qm::test::TempDir out;
    const std::vector<std::vector<Change>> bad = {
        {{s.offsets[0], 0, "ok"}, {s.offsets[1], 0, "toolong"}},
        {{s.offsets[0], 1, std::string(5000, 'y')}, {s.offsets[1], 5, "x"}},
        {{s.offsets[0], 0, "ok"}, {s.offsets[1] + 3, 0, "x"}}, // not a record start
        {{s.offsets[0], 0, "ok"}, {99999999, 0, "x"}},
    };
    for (const auto& changes : bad) {
        EXPECT_THROW(p.write(changes, out.path() / "T.db", out.path() / "T.mb"), PatchError);
        EXPECT_TRUE(fs::is_empty(out.path()));
    }

    TableSpec keyed = sampleSpec();
    keyed.keyFields = 1;
    keyed.fields.erase(keyed.fields.begin() + 1);
    createTable(familyPathsFor(out.path() / "K.db"), keyed,
                {{text("a"), Value{1.0, std::nullopt}, Value{}, Value{}, Value{}, Value{}}});
    Table k = Table::open(out.path() / "K.db");
    // In byte ("ascii") order the table can be re-sorted, so its key can change.
    EXPECT_TRUE(Patcher(k).check(0, "b").ok());
    EXPECT_TRUE(Patcher(k).check(1, "2").ok());
}

// Fields covered by a single-field (.Xnn) or composite (.XGn) secondary index of a table whose
// sort order is not byte order are refused; others of the same table are not.
TEST(Patcher, RefusesFieldsOfSecondaryIndexes) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "corpus absent";
    const fs::path db = qm::test::corpusDir() / "leonhad__paradoxdriver/db";
    {
        Table t = Table::open(db / "CUSTOMER.DB");
        Patcher p(t);
        std::size_t city = 0, name = 0;
        for (std::size_t i = 0; i < t.fields().size(); ++i) {
            if (t.fields()[i].name == "City")
                city = i;
            if (t.fields()[i].name == "LastName")
                name = i;
        }
        ASSERT_GT(city, 0u);
        ASSERT_GT(name, 0u);
        EXPECT_EQ(p.check(city, "Paris").refusal, Refusal::IndexedField);
        EXPECT_TRUE(p.check(name, "Someone").ok());
        EXPECT_EQ(p.check(0, "5").refusal, Refusal::KeyField);
    }
    {
        Table t = Table::open(db / "AREACODES.DB");
        Patcher p(t);
        int covered = 0;
        for (std::size_t i = 0; i < t.fields().size(); ++i) {
            const auto& n = t.fields()[i].name;
            // AC is also the key; State is covered only by the composite index.
            if (n == "State") {
                EXPECT_EQ(p.check(i, "x").refusal, Refusal::IndexedField);
                ++covered;
            } else if (n == "Cities") {
                EXPECT_TRUE(p.check(i, "x").ok());
                ++covered;
            }
        }
        EXPECT_EQ(covered, 2);
    }
}

// The whole round on a copy of a BDE-written 7.x keyed table with memos: new values in place,
// the index untouched, the old files in the backup folder; no change touches nothing.
TEST(Patcher, PatchTableSwapsTheFamilyAndKeepsTheIndex) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "corpus absent";
    qm::test::TempDir folder, backups;
    const fs::path src = qm::test::corpusDir() / "leonhad__paradoxdriver/db";
    for (const char* n : {"HERCULES.DB", "HERCULES.MB", "HERCULES.PX"}) {
        fs::copy_file(src / n, folder.path() / n);
        fs::permissions(folder.path() / n, fs::perms::owner_write, fs::perm_options::add);
    }
    const fs::path db = folder.path() / "HERCULES.DB";
    auto before = decodeWithReference(db);
    const auto oldPx = fileBytes(folder.path() / "HERCULES.PX");
    const auto oldDb = fileBytes(db);
    const auto oldMb = fileBytes(folder.path() / "HERCULES.MB");

    EXPECT_TRUE(patchTable(db, {}, backups.path()).empty());
    EXPECT_EQ(fileBytes(db), oldDb);

    std::uint64_t third = 0;
    {
        Table t = Table::open(db);
        int i = 0;
        t.forEachRecord([&](const Record& r) {
            if (i++ == 2)
                third = r.fileOffset();
        });
    }
    const std::string memo = "Neuer Text: " + std::string(600, 'z');
    fs::path backup = patchTable(db, {{third, 1, memo}}, backups.path());
    ASSERT_FALSE(backup.empty());
    auto after = decodeWithReference(db);
    ASSERT_EQ(after.status, 0);
    auto expected = before.rows;
    expected[2][1] = memo;
    EXPECT_EQ(after.rows, expected);
    EXPECT_EQ(fileBytes(folder.path() / "HERCULES.PX"), oldPx);
    EXPECT_EQ(fileBytes(backup / "HERCULES.DB"), oldDb);
    EXPECT_EQ(fileBytes(backup / "HERCULES.MB"), oldMb);
    EXPECT_FALSE(fs::exists(backup / "HERCULES.PX"));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder.path()))
        ++files;
    EXPECT_EQ(files, 3u);

    EXPECT_THROW(patchTable(db, {{third, 0, "key"}}, backups.path()), PatchError);
    EXPECT_EQ(decodeWithReference(db).rows, expected);
}
