// Reading through large buffers: the memo window, the chain walk and the record scan must give
// exactly what reading each piece on its own gave, in any order of access.

#include "paradox/table.h"
#include "paradox/writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace qm::paradox {
namespace {

namespace fs = std::filesystem;

std::string memoText(int i) {
    // Sizes from inside the leader to several memo blocks, and now and then one larger than the
    // reader's window, so neighbouring values sit in sub-allocated blocks, whole blocks and
    // stretches of their own.
    std::size_t size = static_cast<std::size_t>(i * 37 % 3000);
    if (i % 97 == 5)
        size = 300 * 1024 + static_cast<std::size_t>(i);
    std::string s(size, ' ');
    for (std::size_t k = 0; k < size; ++k)
        s[k] = static_cast<char>('a' + (k * 7 + static_cast<std::size_t>(i)) % 26);
    return i % 11 == 3 ? std::string() : s;
}

TEST(ParadoxScan, MemosAndRecordsReadTheSameInAnyOrder) {
    qm::test::TempDir dir;
    const fs::path db = dir.path() / "MEMOS.DB";
    const std::vector<FieldSpec> fields = {
        {"N", FieldType::Long, 0}, {"M", FieldType::Memo, 20}, {"B", FieldType::Binary, 10}};
    const int n = 1200;
    {
        TableSpec spec;
        spec.fields = fields;
        TableWriter w(familyPathsFor(db), spec);
        for (int i = 0; i < n; ++i) {
            const std::string m = memoText(i);
            std::vector<Value> rec(3);
            rec[0].data = std::int64_t{i};
            if (!m.empty())
                rec[1].data = m;
            if (i % 5 == 0)
                rec[2].data = std::vector<std::uint8_t>(m.begin(), m.end());
            w.add(rec);
        }
        w.finish();
    }
    const Table t = Table::open(db);
    ASSERT_EQ(t.recordCount(), static_cast<std::uint32_t>(n));

    std::vector<std::uint64_t> scanned;
    int i = 0;
    t.forEachRecord([&](const Record& r) {
        scanned.push_back(r.fileOffset());
        ASSERT_EQ(r.value(0).asInt(), i);
        const Value m = r.value(1);
        const std::string want = memoText(i);
        if (want.empty())
            EXPECT_TRUE(m.isNull()) << i;
        else
            EXPECT_EQ(m.asText(), want) << i;
        ++i;
    });
    EXPECT_EQ(i, n);
    EXPECT_EQ(t.recordOffsets(), scanned);

    // Backwards and by offset: every value misses the window the one before it left.
    for (int k = n - 1; k >= 0; k -= 7) {
        const Record r = t.readRecordAt(scanned[static_cast<std::size_t>(k)]);
        EXPECT_EQ(r.value(0).asInt(), k);
        const std::string want = memoText(k);
        const Value m = r.value(1);
        EXPECT_EQ(m.isNull() ? std::string() : m.asText(), want) << k;
        const Value b = r.value(2);
        if (k % 5 == 0 && !want.empty()) {
            ASSERT_FALSE(b.isNull()) << k;
            EXPECT_EQ(std::string(b.asBytes().begin(), b.asBytes().end()), want) << k;
            EXPECT_EQ(t.readBlob(FieldType::Binary, *b.blob), b.asBytes()) << k;
        } else {
            EXPECT_TRUE(b.isNull()) << k;
        }
    }
}

TEST(ParadoxScan, MemoFileCutShortIsAFormatErrorNotOldBytes) {
    qm::test::TempDir dir;
    const fs::path db = dir.path() / "CUT.DB";
    const std::vector<FieldSpec> fields = {{"M", FieldType::Memo, 11}};
    TableSpec spec;
    spec.fields = fields;
    const std::vector<std::string> texts = {std::string(5000, 'x'), std::string(70000, 'y'),
                                            std::string(300, 'z')};
    std::vector<std::vector<Value>> records;
    for (const auto& text : texts) {
        Value v;
        v.data = text;
        records.push_back({v});
    }
    createTable(familyPathsFor(db), spec, records);
    const fs::path mb = dir.path() / "CUT.MB";
    fs::resize_file(mb, fs::file_size(mb) / 2);
    const Table t = Table::open(db);
    std::size_t i = 0, errors = 0;
    t.forEachRecord([&](const Record& r) {
        try {
            // Whatever still reads must be the value itself, never bytes left in a buffer.
            EXPECT_TRUE(r.value(0).asText() == texts[i]) << i;
        } catch (const FormatError& e) {
            ++errors;
            EXPECT_NE(std::string(e.what()).find("CUT.MB"), std::string::npos) << e.what();
        }
        ++i;
    });
    EXPECT_EQ(i, texts.size());
    EXPECT_GE(errors, 1u);
}

// printf's own forms, from the calendar of the standard library: the text forms are built by
// hand for speed and must not drift from them.
TEST(ParadoxScan, DateAndTimeTextsAgreeWithPrintf) {
    using namespace std::chrono;
    char buf[64];
    for (std::int64_t n = -11'000'000; n <= 11'000'000; n += 7919) {
        const year_month_day ymd{sys_days{days{n - 719163}}};
        const int y = static_cast<int>(ymd.year());
        if (y < 0)
            std::snprintf(buf, sizeof buf, "-%04d-%02u-%02u", -y,
                          static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
        else
            std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", y, static_cast<unsigned>(ymd.month()),
                          static_cast<unsigned>(ymd.day()));
        ASSERT_EQ(dateText(n), buf) << n;
    }
    for (std::int64_t ms = -200'000'000; ms <= 400'000'000; ms += 99'991) {
        const auto floorDiv = [](std::int64_t a, std::int64_t b) {
            return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
        };
        const std::int64_t s = floorDiv(ms, 1000), milli = ms - floorDiv(ms, 1000) * 1000;
        const std::int64_t mins = floorDiv(s, 60);
        int len = std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld",
                                static_cast<long long>(floorDiv(s, 3600)),
                                static_cast<long long>(mins - floorDiv(mins, 60) * 60),
                                static_cast<long long>(s - mins * 60));
        if (milli)
            std::snprintf(buf + len, sizeof buf - static_cast<std::size_t>(len), ".%03lld",
                          static_cast<long long>(milli));
        ASSERT_EQ(timeText(ms), buf) << ms;
    }
}

} // namespace
} // namespace qm::paradox
