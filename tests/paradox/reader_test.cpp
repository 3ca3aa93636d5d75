// Focused reader tests on tables built byte by byte: every type and level against the reference
// decoder, NULLs, text forms, damaged files and the memo-file lookup.

#include "paradox/codepage.h"
#include "reference_compare.h"
#include "reference_decoder.h"
#include "synthetic_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>

using namespace qm::paradox::test;

namespace {

const std::string kBinary = [] {
    std::string s(3000, '\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(i * 7 + 3);
    return s;
}();

Bytes toBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Alpha 20, Date, Short, Long, Money, Number, Logical, Memo (leader 5), Binary, Graphic, Time,
// Timestamp, Autoinc, BCD (2 decimals), Bytes 3, Formatted memo, OLE.
SyntheticTable everyType(std::uint8_t level, std::uint8_t fileType) {
    SyntheticTable t;
    t.level = level;
    t.fileType = fileType;
    t.keyFields = fileType == 0 ? 1 : 0;
    t.fields = {{"Name", 0x01, 20}, {"Day", 0x02, 4},    {"Small", 0x03, 2}, {"Big", 0x04, 4},
                {"Cash", 0x05, 8},  {"Num", 0x06, 8},    {"Flag", 0x09, 1},  {"Note", 0x0C, 15},
                {"Bin", 0x0D, 10},  {"Pic", 0x10, 10},   {"Clock", 0x14, 4}, {"Stamp", 0x15, 8},
                {"Id", 0x16, 4},    {"Amount", 0x17, 2}, {"Raw", 0x18, 3},   {"Fmt", 0x0E, 10},
                {"Ole", 0x0F, 10}};
    const std::string memo = "a memo longer than its leader";
    // Row 1: ordinary and edge values, blobs in the leader, a type-2 block and a sub-allocation.
    t.add({encAlpha("Gr\xfc\xdf"
                    "e",
                    20),
           encInt(-366, 4),
           encInt(-1, 2),
           encInt(2147483647, 4),
           encDouble(-12.5),
           encDouble(0.1),
           {0x81},
           encBlob(15, toBytes("short"), 0, 5),
           encBlob(10, {}, 0x2000 | 0xFF, 3000),
           encBlob(10, {}, 0x1000 | 1, 40),
           encInt(45296789, 4),
           encDouble(730120.0 * 86400000.0 + 45296789.0),
           encInt(7, 4),
           encBcd(true, 2, "00000000000000000000000000012345"),
           {0x01, 0x02, 0xFF},
           encBlob(10, {}, 0, 0),
           encBlob(10, {}, 0, 0)});
    // Row 2: every NULL form, BCD as the BDE writes it (decimals kept, flags clear).
    Bytes bcdNull(17, 0);
    bcdNull[0] = 0x02;
    t.add({Bytes(20, 0),
           Bytes(4, 0),
           Bytes(2, 0),
           Bytes(4, 0),
           Bytes(8, 0),
           Bytes(8, 0),
           {0},
           encBlob(15, {}, 0, 0),
           encBlob(10, {}, 0, 0),
           encBlob(10, {}, 0, 0),
           Bytes(4, 0),
           Bytes(8, 0),
           Bytes(4, 0),
           bcdNull,
           Bytes(3, 0),
           encBlob(10, {}, 0, 0),
           encBlob(10, {}, 0, 0)});
    // Row 3: more edges: zero that is not NULL, huge and tiny numbers, the first days.
    t.add({encAlpha("x\0hidden", 20),
           encInt(0, 4),
           encInt(-32767, 2),
           encInt(-2147483647, 4),
           encDouble(0.0),
           encDouble(1e20),
           {0x80},
           encBlob(15, toBytes(memo.substr(0, 5)), 0x1000 | 0,
                   static_cast<std::uint32_t>(memo.size())),
           encBlob(10, {}, 0, 0),
           encBlob(10, {}, 0, 0),
           encInt(3600000, 4),
           encDouble(-366.0 * 86400000.0 + 1000.0),
           encInt(8, 4),
           encBcd(true, 2, "00000000000000000000000000000000"),
           {0x00, 0x00, 0x01},
           encBlob(10, {}, 0, 0),
           encBlob(10, {}, 0, 0)});
    return t;
}

SyntheticMemo everyTypeMemo() {
    SyntheticMemo m;
    m.small.push_back(toBytes("a memo longer than its leader"));
    Bytes pic(40);
    for (std::size_t i = 0; i < pic.size(); ++i)
        pic[i] = static_cast<std::uint8_t>(200 + i);
    m.small.push_back(pic);
    m.big = toBytes(kBinary);
    return m;
}

// Expects FormatError (not EncryptedTableError) whose message names the file and says `what`.
template <typename Fn>
void expectFormatError(Fn fn, const std::string& file, const std::string& what) {
    try {
        fn();
        ADD_FAILURE() << "no FormatError; expected one saying \"" << what << "\"";
    } catch (const qm::paradox::EncryptedTableError& e) {
        ADD_FAILURE() << "EncryptedTableError: " << e.what();
    } catch (const qm::paradox::FormatError& e) {
        const std::string msg = e.what();
        EXPECT_NE(msg.find(file), std::string::npos) << msg;
        EXPECT_NE(msg.find(what), std::string::npos) << msg;
    }
}

void readAll(const px::Table& t) {
    t.forEachRecord([&](const px::Record& r) {
        for (std::size_t i = 0; i < t.fields().size(); ++i)
            (void)px::textForm(t.fields()[i], r.value(i));
    });
}

} // namespace

TEST(ParadoxTextForms, AreExactAndLocaleFree) {
    EXPECT_EQ(px::doubleText(5), "5");
    EXPECT_EQ(px::doubleText(0.1), "0.1");
    EXPECT_EQ(px::doubleText(1e20), "1e+20");
    EXPECT_EQ(px::doubleText(-12.5), "-12.5");
    EXPECT_EQ(px::doubleText(123456789.0), "123456789");
    EXPECT_EQ(px::doubleText(1.0 / 3), "0.3333333333333333");

    EXPECT_EQ(px::dateText(1), "0001-01-01");
    EXPECT_EQ(px::dateText(730120), "2000-01-01");
    EXPECT_EQ(px::dateText(730179), "2000-02-29");
    EXPECT_EQ(px::dateText(0), "0000-12-31");
    EXPECT_EQ(px::dateText(-365), "0000-01-01"); // year 0 is a leap year
    EXPECT_EQ(px::dateText(-366), "-0001-12-31");

    EXPECT_EQ(px::timeText(0), "00:00:00");
    EXPECT_EQ(px::timeText(45296789), "12:34:56.789");
    EXPECT_EQ(px::timeText(45296000), "12:34:56");
    EXPECT_EQ(px::timeText(5), "00:00:00.005");

    EXPECT_EQ(px::timestampText(730120.0 * 86400000.0), "2000-01-01 00:00:00");
    EXPECT_EQ(px::timestampText(730120.0 * 86400000.0 + 45296789.0), "2000-01-01 12:34:56.789");
    EXPECT_EQ(px::timestampText(-366.0 * 86400000.0 + 1000.0), "-0001-12-31 00:00:01");
    EXPECT_EQ(px::timestampText(-1000.0), "0000-12-30 23:59:59");
    EXPECT_THROW(px::timestampText(1e300), px::FormatError);
}

TEST(ParadoxSynthetic, EveryTypeAtEveryLevelAgreesWithTheReferenceDecoder) {
    qm::test::TempDir tmp;
    const Bytes mb = everyTypeMemo().build();
    for (std::uint8_t level : {3, 4, 9, 11, 12}) {
        for (std::uint8_t fileType : {0, 2}) {
            SCOPED_TRACE("level " + std::to_string(level) + " file type " +
                         std::to_string(fileType));
            const auto db = tmp.path() / "every.db";
            writeFile(db, everyType(level, fileType).build());
            writeFile(tmp.path() / "every.mb", mb);
            const DecoderRun ref = runReferenceDecoder(db);
            ASSERT_EQ(ref.status, 0) << ref.stderrText;
            ASSERT_EQ(ref.lines.size(), 4u);

            px::Table t = px::Table::open(db);
            EXPECT_EQ(t.header().fileVersionID, level);
            EXPECT_EQ(t.header().keyed(), fileType == 0);
            EXPECT_EQ(t.codePage(), level >= 5 ? 1252 : 437);
            std::size_t row = 0;
            t.forEachRecord([&](const px::Record& r) {
                ++row;
                json rec = json::parse(ref.lines[row]);
                for (std::size_t i = 0; i < t.fields().size(); ++i) {
                    std::string diff = compareValue(t.fields()[i], r.value(i), rec[i]);
                    EXPECT_TRUE(diff.empty())
                        << "row " << row << " field " << t.fields()[i].name << ": " << diff;
                }
            });
            EXPECT_EQ(row, 3u);
        }
    }
}

TEST(ParadoxSynthetic, ValuesTextFormsAndNulls) {
    qm::test::TempDir tmp;
    const auto db = tmp.path() / "every.db";
    writeFile(db, everyType(12, 2).build());
    writeFile(tmp.path() / "every.mb", everyTypeMemo().build());
    px::Table t = px::Table::open(db);
    std::vector<std::vector<px::Value>> rows;
    t.forEachRecord([&](const px::Record& r) {
        rows.emplace_back();
        for (std::size_t i = 0; i < t.fields().size(); ++i)
            rows.back().push_back(r.value(i));
    });
    ASSERT_EQ(rows.size(), 3u);
    const auto& f = t.fields();
    auto text = [&](std::size_t row, std::size_t field) {
        return px::textForm(f[field], rows[row][field]);
    };
    const std::vector<std::string> first = {"Grüße",
                                            "-0001-12-31",
                                            "-1",
                                            "2147483647",
                                            "-12.5",
                                            "0.1",
                                            "True",
                                            "short",
                                            "",
                                            "",
                                            "12:34:56.789",
                                            "2000-01-01 12:34:56.789",
                                            "7",
                                            "-123.45",
                                            "0102ff",
                                            "",
                                            ""};
    for (std::size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(text(0, i), first[i]) << f[i].name;
    EXPECT_EQ(rows[0][8].asBytes(), toBytes(kBinary));
    ASSERT_TRUE(rows[0][8].blob.has_value());
    EXPECT_EQ(rows[0][8].blob->index(), 0xFF);
    EXPECT_EQ(rows[0][8].blob->blockOffset(), 0x2000u);
    EXPECT_EQ(rows[0][9].asBytes().size(), 40u);
    EXPECT_EQ(rows[0][9].asBytes()[0], 200);
    EXPECT_TRUE(rows[0][7].blob->inLeader());

    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_TRUE(rows[1][i].isNull()) << f[i].name;
        EXPECT_EQ(text(1, i), "") << f[i].name;
    }
    ASSERT_TRUE(rows[1][7].blob.has_value()); // a NULL memo still carries its descriptor
    EXPECT_EQ(rows[1][7].blob->length, 0u);

    const std::vector<std::string> third = {
        "x", "0000-12-31", "-32767", "-2147483647",
        "0", "1e+20",      "False",  "a memo longer than its leader"};
    for (std::size_t i = 0; i < third.size(); ++i)
        EXPECT_EQ(text(2, i), third[i]) << f[i].name;
    EXPECT_EQ(text(2, 10), "01:00:00");
    EXPECT_EQ(text(2, 11), "-0001-12-31 00:00:01");
    EXPECT_EQ(text(2, 13), "-0.00"); // negative zero as stored: sign flag clear
    EXPECT_EQ(text(2, 14), "000001");
}

TEST(ParadoxSynthetic, RecordsCarryTheirPlaceAndReadBackByOffset) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.fields = {{"Id", 0x04, 4}, {"Name", 0x01, 10}};
    s.perBlock = 3;
    for (int i = 1; i <= 8; ++i)
        s.add({encInt(i, 4), encAlpha("n" + std::to_string(i), 10)});
    const auto db = tmp.path() / "place.db";
    writeFile(db, s.build());
    px::Table t = px::Table::open(db);
    std::vector<px::Record> kept;
    t.forEachRecord([&](const px::Record& r) { kept.push_back(r.copy()); });
    ASSERT_EQ(kept.size(), 8u);
    EXPECT_EQ(kept[4].block(), 2u);
    EXPECT_EQ(kept[4].indexInBlock(), 1u);
    EXPECT_EQ(kept[4].fileOffset(), t.blockOffset(2) + 6 + 14);
    for (const auto& r : kept) {
        px::Record again = t.readRecordAt(r.fileOffset());
        EXPECT_EQ(px::textForm(t.fields()[1], again.value(1)),
                  px::textForm(t.fields()[1], r.value(1)));
    }
    EXPECT_EQ(kept[7].value(0).asInt(), 8);
    // Offsets that are not a live record start.
    expectFormatError([&] { t.readRecordAt(kept[0].fileOffset() + 1); }, "place.db", "record");
    expectFormatError([&] { t.readRecordAt(t.blockOffset(3) + 6 + 2 * 14); }, "place.db",
                      "no record");
    expectFormatError([&] { t.readRecordAt(5); }, "place.db", "no record");

    int seen = 0;
    t.forEachRecordWhile([&](const px::Record&) { return ++seen < 4; });
    EXPECT_EQ(seen, 4);
}

TEST(ParadoxHostile, DamagedHeadersAndChainsAreFormatErrors) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.fields = {{"Id", 0x04, 4}, {"Name", 0x01, 10}};
    s.perBlock = 2;
    for (int i = 1; i <= 6; ++i)
        s.add({encInt(i, 4), encAlpha("n", 10)});
    const Bytes good = s.build();
    const std::size_t hs = good[2] | (good[3] << 8);
    const auto db = tmp.path() / "bad.db";
    auto expectBad = [&](Bytes b, const std::string& what) {
        writeFile(db, b);
        expectFormatError(
            [&] {
                px::Table t = px::Table::open(db);
                readAll(t);
            },
            "bad.db", what);
    };
    expectBad(Bytes(good.begin(), good.begin() + 40), "shorter than");
    expectBad(Bytes(good.begin(), good.begin() + 0x100), "shorter");

    Bytes loop = good;
    put16(loop, hs + 2 * 2048, 1); // block 3 points back at block 1
    expectBad(loop, "loops");
    Bytes self = good;
    put16(self, hs, 1);
    expectBad(self, "loops");

    Bytes count = good;
    put32(count, 0x06, 0xFFFFFFFF);
    expectBad(count, "says it has 4294967295 records but its blocks hold 6");

    Bytes fieldsCount = good;
    put16(fieldsCount, 0x21, 0xFFFF);
    expectBad(fieldsCount, "more than its header holds");

    Bytes first = good;
    put16(first, 0x0E, 500);
    expectBad(first, "past the end");
    Bytes next = good;
    put16(next, hs, 0xFFFF);
    expectBad(next, "past the end");

    Bytes full = good;
    put16(full, hs + 4, 0x7FFF);
    expectBad(full, "more than fit");

    Bytes type = good;
    type[0x78] = 0x07;
    expectBad(type, "unknown type 0x07");

    Bytes size = good;
    put16(size, 0x00, 13);
    expectBad(size, "record size");

    Bytes headerSize = good;
    put16(headerSize, 0x02, 0xF000);
    expectBad(headerSize, "shorter");

    Bytes block = good;
    block[0x05] = 0;
    expectBad(block, "block size");

    Bytes level = good;
    level[0x39] = 40;
    expectBad(level, "unknown table level");

    Bytes index = good;
    index[0x04] = 1;
    expectBad(index, "not a Paradox table");

    // An Alpha byte that the table's code page (1252) does not have.
    SyntheticTable text;
    text.fields = {{"Name", 0x01, 4}};
    text.add({{0x41, 0x81, 0, 0}});
    expectBad(text.build(), "not valid in code page 1252");

    SyntheticTable stamp;
    stamp.fields = {{"Stamp", 0x15, 8}};
    stamp.add({encDouble(1e300)});
    expectBad(stamp.build(), "timestamp out of range");

    std::filesystem::remove(db);
    expectFormatError([&] { px::Table::open(db); }, "bad.db", "cannot be read");
}

TEST(ParadoxHostile, TruncatedLastBlockStillReads) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.fields = {{"Id", 0x04, 4}};
    s.perBlock = 10;
    for (int i = 1; i <= 15; ++i)
        s.add({encInt(i, 4)});
    Bytes b = s.build();
    b.resize(b.size() - 2048 + 6 + 5 * 4); // keep only the records of the last block
    const auto db = tmp.path() / "cut.db";
    writeFile(db, b);
    px::Table t = px::Table::open(db);
    std::int64_t sum = 0;
    t.forEachRecord([&](const px::Record& r) { sum += r.value(0).asInt(); });
    EXPECT_EQ(sum, 120);

    b.resize(b.size() - 1); // now the last record is cut
    writeFile(db, b);
    expectFormatError([&] { px::Table::open(db); }, "cut.db", "past the end of the file");
}

// Paradox leaves a block in the chain when its last record is deleted: an empty block (its
// last-record offset one record below zero) is part of the chain and holds nothing.
TEST(ParadoxHostile, AnEmptyBlockInTheChainIsSteppedOver) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.fields = {{"Id", 0x04, 4}, {"Name", 0x01, 10}};
    s.perBlock = 3;
    for (int i = 1; i <= 8; ++i)
        s.add({encInt(i, 4), encAlpha("n" + std::to_string(i), 10)});
    Bytes b = s.build();
    const std::size_t headerSize = b[2] | b[3] << 8;
    const std::size_t recordSize = 14;
    // Block 2 (records 4 to 6) emptied, the header's count following.
    put16(b, headerSize + 2048 + 4, static_cast<std::uint16_t>(0x10000 - recordSize));
    put32(b, 0x06, 5);
    const auto db = tmp.path() / "hole.db";
    writeFile(db, b);

    px::Table t = px::Table::open(db);
    EXPECT_EQ(t.recordCount(), 5u);
    std::vector<std::int64_t> ids;
    std::vector<std::uint32_t> blocks;
    t.forEachRecord([&](const px::Record& r) {
        ids.push_back(r.value(0).asInt());
        blocks.push_back(r.block());
    });
    EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2, 3, 7, 8}));
    EXPECT_EQ(blocks, (std::vector<std::uint32_t>{1, 1, 1, 3, 3}));
    const auto offsets = t.recordOffsets();
    ASSERT_EQ(offsets.size(), 5u);
    EXPECT_EQ(offsets[3], t.blockOffset(3) + 6);
    EXPECT_EQ(t.readRecordAt(offsets[4]).value(0).asInt(), 8);
    expectFormatError([&] { t.readRecordAt(t.blockOffset(2) + 6); }, "hole.db", "no record");
    // The emptied block makes no run of records.
    const auto runs = t.recordRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].offset, offsets[0]);
    EXPECT_EQ(runs[0].count, 3u);
    EXPECT_EQ(runs[1].offset, offsets[3]);
    EXPECT_EQ(runs[1].count, 2u);
    // Every record start and nothing else: not the emptied block, nor a block header, the
    // middle of a record, the place after a block's last record, the header or the file's end.
    for (std::uint64_t at : offsets)
        EXPECT_TRUE(t.isRecordStart(at)) << at;
    for (std::uint64_t at :
         {t.blockOffset(2) + 6, t.blockOffset(1), t.blockOffset(1) + 6 + 1,
          t.blockOffset(1) + 6 + 3 * recordSize, t.blockOffset(3) + 6 + 2 * recordSize,
          std::uint64_t{0}, std::uint64_t{headerSize - 1}, t.fileSize(), t.fileSize() + 6})
        EXPECT_FALSE(t.isRecordStart(at)) << at;

    const auto ref = runReferenceDecoder(db);
    ASSERT_EQ(ref.status, 0) << ref.stderrText;
    EXPECT_EQ(ref.lines.size(), 6u) << "the header line and five records";
}

TEST(ParadoxHostile, BadBlobPointersAreFormatErrors) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.fields = {{"Note", 0x0C, 11}};
    s.add({encBlob(11, toBytes("x"), 0x1000 | 0, 0xFFFFFFFF)}); // huge length
    s.add({encBlob(11, toBytes("x"), 0x7FFFF000 | 0xFF, 100)}); // offset past the end
    s.add({encBlob(11, toBytes("x"), 0x1000 | 0xFF, 100)});     // type-3 block as type 2
    s.add({encBlob(11, toBytes("x"), 0x1000 | 70, 100)});       // index beyond 63
    s.add({encBlob(11, toBytes("x"), 0x1000 | 0, 4000)});       // runs past the end
    s.add({encBlob(11, toBytes("x"), 0x2000 | 0xFF, 2999)});    // type-2 length disagrees
    s.add({encBlob(11, toBytes("x"), 0x1000 | 1, 10)});         // entry outside its block
    const auto db = tmp.path() / "blob.db";
    writeFile(db, s.build());
    SyntheticMemo m;
    m.small.push_back(toBytes("0123456789"));
    m.small.push_back(toBytes("abcdefghij"));
    m.big = toBytes(kBinary);
    Bytes mb = m.build();
    mb[0x1000 + 12 + 5] = 0x01; // entry 1 would start inside the entry table
    writeFile(tmp.path() / "blob.mb", mb);
    px::Table t = px::Table::open(db);
    std::vector<px::Record> rows;
    t.forEachRecord([&](const px::Record& r) { rows.push_back(r.copy()); });
    ASSERT_EQ(rows.size(), 7u);
    const std::vector<std::string> what = {"holds 10 bytes, not the 4294967295",
                                           "past the end",
                                           "type 3",
                                           "sub-allocated",
                                           "holds 10 bytes, not the 4000",
                                           "holds 3000 bytes, not the 2999",
                                           "outside its block"};
    for (std::size_t i = 0; i < rows.size(); ++i)
        expectFormatError([&] { rows[i].value(0); }, "blob.mb", what[i]);

    // Without the memo file a value stored there cannot be read, but the table opens.
    std::filesystem::remove(tmp.path() / "blob.mb");
    px::Table bare = px::Table::open(db);
    EXPECT_TRUE(bare.memoPath().empty());
    bare.forEachRecordWhile([&](const px::Record& r) {
        expectFormatError([&] { r.value(0); }, "blob.db", "memo file, which is missing");
        return false;
    });
}

TEST(ParadoxEncryption, EncryptedTablesSayPasswordProtected) {
    qm::test::TempDir tmp;
    for (std::uint8_t level : {4, 11}) {
        SyntheticTable s;
        s.level = level;
        s.fields = {{"Id", 0x04, 4}};
        s.add({encInt(1, 4)});
        Bytes b = s.build();
        put32(b, level >= 5 ? 0x5C : 0x25, 0x12345678);
        const auto db = tmp.path() / "secret.db";
        writeFile(db, b);
        try {
            px::Table::open(db);
            ADD_FAILURE() << "opened an encrypted table";
        } catch (const px::EncryptedTableError& e) {
            EXPECT_NE(std::string(e.what()).find("password-protected"), std::string::npos);
            EXPECT_NE(std::string(e.what()).find("secret.db"), std::string::npos);
        }
    }
}

TEST(ParadoxMemoLookup, FindsTheMemoFileWhateverTheCaseOfItsExtension) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.fields = {{"Note", 0x0C, 11}};
    s.add({encBlob(11, toBytes("a"), 0x1000 | 0, 10)});
    const auto db = tmp.path() / "Notes.DB";
    writeFile(db, s.build());
    SyntheticMemo m;
    m.small.push_back(toBytes("0123456789"));
    const Bytes mb = m.build();

    for (std::string ext : {".mb", ".MB", ".Mb"}) {
        SCOPED_TRACE(ext);
        writeFile(tmp.path() / ("Notes" + ext), mb);
        px::Table t = px::Table::open(db);
        EXPECT_EQ(t.memoPath().filename().string(), "Notes" + ext);
        t.forEachRecord([&](const px::Record& r) { EXPECT_EQ(r.value(0).asText(), "0123456789"); });
        std::filesystem::remove(tmp.path() / ("Notes" + ext));
    }
    // Another table's memo file with a similar name is not taken.
    writeFile(tmp.path() / "Notes2.mb", mb);
    EXPECT_TRUE(px::findMemoFile(db).empty());

    writeFile(tmp.path() / "notes.mb", mb);
    writeFile(tmp.path() / "NOTES.MB", mb);
    expectFormatError([&] { px::Table::open(db); }, "Notes.DB", "more than one memo file");

    // An explicit memo path is used as given.
    px::Table t = px::Table::open(db, tmp.path() / "Notes2.mb");
    EXPECT_EQ(t.memoPath().filename(), "Notes2.mb");
    t.forEachRecord([&](const px::Record& r) { EXPECT_EQ(r.value(0).asText(), "0123456789"); });
}

TEST(ParadoxCodePage, ConversionsAreStrict) {
    EXPECT_EQ(px::decode(1252, "Gr\xfc\xdf"
                               "e"),
              "Grüße");
    EXPECT_EQ(px::decode(0, "\x81"), "ü"); // code page 0 reads as 437
    EXPECT_EQ(px::decode(866, "\x8f\xe0\xa8"), "При");
    EXPECT_EQ(px::encode(852, "Łódź"), "\x9d\xa2\x64\xab");
    EXPECT_EQ(px::decode(936, px::encode(936, "中文")), "中文");
    EXPECT_THROW(px::decode(1252, "a\x81"), px::CodePageError);
    EXPECT_THROW(px::decode(936, "\xd6"), px::CodePageError); // lead byte alone
    EXPECT_THROW(px::encode(437, "€"), px::CodePageError);
    EXPECT_THROW(px::encode(1252, "\xff\xfe"), px::CodePageError); // not UTF-8
    EXPECT_THROW(px::decode(12345, "abc"), px::CodePageError);
    EXPECT_TRUE(px::canEncode(437, "Grüße"));
    EXPECT_FALSE(px::canEncode(437, "€"));
    EXPECT_TRUE(px::canEncode(1252, "€"));
    EXPECT_FALSE(px::canEncode(1251, "Grüße"));
    for (std::uint16_t cp :
         {437, 850, 852, 866, 936, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258})
        EXPECT_TRUE(px::isSupportedCodePage(cp)) << cp;
}

namespace {

long statusKiB(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::strlen(key)));
    return -1;
}

} // namespace

TEST(ParadoxLarge, AMillionRecordsAreReadBlockByBlock) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.blockKiB = 32;
    s.fields = {{"Id", 0x04, 4}, {"Name", 0x01, 12}};
    const std::size_t rs = 16, per = (32768 - 6) / rs, n = 1000000;
    const std::size_t blocks = (n + per - 1) / per;
    const auto db = tmp.path() / "big.db";
    {
        std::ofstream out(db, std::ios::binary);
        Bytes h = s.header(static_cast<std::uint16_t>(blocks), n);
        out.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
        std::size_t id = 0;
        for (std::size_t b = 0; b < blocks; ++b) {
            Bytes blk(32768, 0);
            const std::size_t count = std::min(per, n - id);
            put16(blk, 0, static_cast<std::uint16_t>(b + 1 < blocks ? b + 2 : 0));
            put16(blk, 2, static_cast<std::uint16_t>(b));
            put16(blk, 4, static_cast<std::uint16_t>((count - 1) * rs));
            for (std::size_t i = 0; i < count; ++i) {
                ++id;
                Bytes rec = encInt(static_cast<std::int64_t>(id), 4);
                Bytes name = encAlpha("row" + std::to_string(id), 12);
                rec.insert(rec.end(), name.begin(), name.end());
                std::memcpy(blk.data() + 6 + i * rs, rec.data(), rs);
            }
            out.write(reinterpret_cast<const char*>(blk.data()),
                      static_cast<std::streamsize>(blk.size()));
        }
    }
    const auto fileKiB = static_cast<long>(std::filesystem::file_size(db) / 1024);
    ASSERT_GT(fileKiB, 15000);

    // Peak memory is measured from here on (clear_refs "5" resets the high-water mark).
    const bool canMeasure = std::ofstream("/proc/self/clear_refs") << "5" ? true : false;
    const long before = statusKiB("VmRSS:");
    px::Table t = px::Table::open(db);
    std::int64_t expected = 0;
    bool inOrder = true;
    t.forEachRecord([&](const px::Record& r) {
        ++expected;
        if (r.value(0).asInt() != expected)
            inOrder = false;
        if (expected % 100000 == 0) {
            EXPECT_EQ(r.value(1).asText(), "row" + std::to_string(expected));
        }
    });
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(expected, 1000000);
    if (canMeasure) {
        const long peak = statusKiB("VmHWM:");
        EXPECT_LT(peak - before, fileKiB / 4) << "peak " << peak << " KiB, before " << before;
    }
}

TEST(ParadoxSynthetic, RecordsOutliveAMoveOfTheirTable) {
    qm::test::TempDir tmp;
    SyntheticTable s;
    s.fields = {{"Name", 0x01, 10}};
    s.add({encAlpha("kept", 10)});
    writeFile(tmp.path() / "m.db", s.build());
    std::optional<px::Record> kept;
    px::Table a = px::Table::open(tmp.path() / "m.db");
    a.forEachRecord([&](const px::Record& r) { kept = r.copy(); });
    px::Table b = std::move(a);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->value(0).asText(), "kept");
}
