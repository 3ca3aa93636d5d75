#include "replace/candidates.h"
#include "replace/stored_text_search.h"

#include "paradox/codepage.h"
#include "paradox/table.h"
#include "paradox/writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using paradox::FieldType;

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::vector<SearchOptions> everyPlainOption() {
    std::vector<SearchOptions> out;
    for (bool matchCase : {true, false})
        for (bool whole : {false, true}) {
            SearchOptions o;
            o.matchCase = matchCase;
            o.wholeWord = whole;
            out.push_back(o);
        }
    return out;
}

// Random stored text of a code page, drawn from a few letters in both cases, the page's own
// upper half, blanks and punctuation, so that finds often meet it in some case.
std::string randomStored(std::mt19937& rng, const CodePageBytes& page, std::size_t length) {
    static const std::string ascii = "abcABC xyzXYZ.'_0123";
    std::string s;
    while (s.size() < length) {
        if (rng() % 3 == 0) {
            const auto b = static_cast<std::uint8_t>(0x80 + rng() % 128);
            if (page.valid[b])
                s += static_cast<char>(b);
        } else {
            s += ascii[rng() % ascii.size()];
        }
    }
    return s;
}

// A find text: a piece of a stored text with its letters' case flipped at random, or a random
// piece.
std::string randomFind(std::mt19937& rng, std::uint16_t cp, const std::string& stored) {
    std::string piece;
    if (rng() % 4 != 0 && stored.size() > 2) {
        const std::size_t at = rng() % (stored.size() - 2);
        piece = stored.substr(at, 1 + rng() % std::min<std::size_t>(4, stored.size() - at));
    } else {
        piece = "bA";
    }
    std::string text = paradox::decode(cp, piece);
    std::string flipped;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && std::isalpha(u) && rng() % 2)
            c = static_cast<char>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
        flipped += c;
    }
    return flipped;
}

TEST(StoredNeedle, NeverRulesOutATextThatTheMatcherHitsInAnySingleByteCodePage) {
    std::mt19937 rng(20261208);
    long hits = 0, ruledOut = 0;
    for (std::uint16_t cp :
         {437, 737, 850, 852, 866, 869, 874, 1250, 1251, 1252, 1253, 1254, 1256, 1257}) {
        const CodePageBytes& page = codePageBytes(cp);
        ASSERT_TRUE(page.oneToOne) << cp;
        for (const SearchOptions& o : everyPlainOption()) {
            for (int round = 0; round < 150; ++round) {
                const std::string stored = randomStored(rng, page, 1 + rng() % 24);
                const std::string find = randomFind(rng, cp, randomStored(rng, page, 6));
                const Matcher m(find, "x", o);
                const StoredNeedle needle(m, page);
                std::string out;
                const bool hit = m.apply(paradox::decode(cp, stored), out) != Matcher::Result::Miss;
                const bool may = needle.mayOccur(bytesOf(stored));
                hits += hit;
                ruledOut += !may;
                ASSERT_TRUE(!hit || may)
                    << "code page " << cp << ", find \"" << find << "\", options " << o.describe();
            }
        }
    }
    // The test means something only when both answers came up often.
    EXPECT_GT(hits, 300);
    EXPECT_GT(ruledOut, 3000);
}

// Matching case, the bytes answer exactly: a text holds the find text where its bytes do, in
// short texts and long ones, with the find text at either end or after a false start.
TEST(StoredNeedle, MatchingCaseFindsExactlyTheTextsThatHoldTheBytes) {
    std::mt19937 rng(14);
    const CodePageBytes& page = codePageBytes(1252);
    long found = 0;
    // The find text, and its bytes in the code page.
    const std::vector<std::pair<std::string, std::string>> finds = {
        {"needle", "needle"}, {"nn", "nn"}, {"n", "n"}, {"a\u00E9a", "a\xE9\x61"}};
    for (const auto& [find, bytes] : finds) {
        const StoredNeedle needle(Matcher(find, "x"), page);
        ASSERT_EQ(needle.kind(), StoredNeedle::Kind::Bytes) << find;
        for (int round = 0; round < 3000; ++round) {
            const std::size_t length = rng() % 300;
            std::string stored;
            while (stored.size() < length) {
                const unsigned pick = rng() % 8;
                stored += pick == 0   ? bytes
                          : pick == 1 ? bytes.substr(0, bytes.size() - 1)
                          : pick == 2 ? std::string("e\xE9")
                                      : std::string(1, "nedla"[rng() % 5]);
            }
            stored.resize(length);
            const bool holds = stored.find(bytes) != std::string::npos;
            found += holds;
            ASSERT_EQ(needle.mayOccur(bytesOf(stored)), holds) << find << " in " << stored;
        }
        EXPECT_FALSE(needle.mayOccur({}));
        EXPECT_TRUE(needle.mayOccur(bytesOf(bytes)));
        EXPECT_FALSE(needle.mayOccur(bytesOf(bytes.substr(1))));
    }
    EXPECT_GT(found, 3000);
}

TEST(StoredNeedle, CaselessClassesFollowTheLettersOfEachCodePage) {
    SearchOptions caseless;
    caseless.matchCase = false;
    const auto may = [&](std::uint16_t cp, const std::string& find, const std::string& text) {
        const Matcher m(find, "", caseless);
        return StoredNeedle(m, codePageBytes(cp)).mayOccur(bytesOf(paradox::encode(cp, text)));
    };
    EXPECT_TRUE(may(1252, "ÿ", "Ÿ")); // 0xFF and 0x9F, far apart in the page
    EXPECT_TRUE(may(1252, "Ÿ", "ÿ"));
    EXPECT_TRUE(may(866, "дом", "ДОМ"));
    EXPECT_TRUE(may(866, "ДоМ", "дОм"));
    EXPECT_FALSE(may(866, "дом", "дым"));
    EXPECT_TRUE(may(1253, "ΣΟΦΙΑ", "σοφια"));
    EXPECT_TRUE(may(437, "Ü", "über"));
    EXPECT_TRUE(may(1252, "k", "K"));
    EXPECT_FALSE(may(1252, "grey", "gray"));
}

TEST(StoredNeedle, TellsWhenTheBytesCannotAnswer) {
    const CodePageBytes& p1252 = codePageBytes(1252);
    SearchOptions regex;
    regex.regex = true;
    EXPECT_EQ(StoredNeedle(Matcher("a+", "", regex), p1252).kind(), StoredNeedle::Kind::Anything);
    EXPECT_EQ(StoredNeedle(Matcher("", "x"), p1252).kind(), StoredNeedle::Kind::Anything);
    // Bytes of invalid UTF-8 can meet the middle of a character's UTF-8.
    EXPECT_EQ(StoredNeedle(Matcher("\xA9", "x"), p1252).kind(), StoredNeedle::Kind::Anything);
    // Pages read a character from two bytes, or join an accent to its letter.
    for (std::uint16_t cp : {932, 936, 949, 950, 1255, 1258})
        EXPECT_FALSE(codePageBytes(cp).oneToOne) << cp;
    EXPECT_EQ(StoredNeedle(Matcher("abc", "x"), codePageBytes(932)).kind(),
              StoredNeedle::Kind::Anything);
    // A character the page lacks is in none of its text, in any case.
    EXPECT_EQ(StoredNeedle(Matcher("€", "x"), codePageBytes(437)).kind(),
              StoredNeedle::Kind::Nowhere);
    SearchOptions caseless;
    caseless.matchCase = false;
    EXPECT_EQ(StoredNeedle(Matcher("Ÿ", "x", caseless), codePageBytes(437)).kind(),
              StoredNeedle::Kind::Bytes); // cp437 has ÿ
    EXPECT_FALSE(codePageBytes(1252).allValid);
    EXPECT_FALSE(codePageBytes(1252).valid[0x81]);
    EXPECT_TRUE(codePageBytes(437).allValid);
}

TEST(TextFormAlphabet, HoldsEveryCharacterOfTheTextForms) {
    std::mt19937_64 rng(7);
    const auto check = [](FieldType type, const paradox::Value& v) {
        paradox::Field f;
        f.type = type;
        const std::string& alphabet = textFormAlphabet(type);
        for (char c : paradox::textForm(f, v))
            ASSERT_NE(alphabet.find(c), std::string::npos)
                << "'" << c << "' of " << paradox::textForm(f, v);
    };
    std::vector<double> doubles = {0.1,
                                   -2.5e-300,
                                   1e300,
                                   5,
                                   -0.0,
                                   std::nan(""),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::denorm_min()};
    for (int i = 0; i < 2000; ++i) {
        std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        doubles.push_back(d);
    }
    for (double d : doubles) {
        check(FieldType::Number, paradox::Value{d, std::nullopt});
        check(FieldType::Money, paradox::Value{d, std::nullopt});
    }
    for (int i = 0; i < 2000; ++i) {
        const auto n = static_cast<std::int64_t>(rng() % 4000000) - 2000000;
        check(FieldType::Long, paradox::Value{n, std::nullopt});
        check(FieldType::Date, paradox::Value{n, std::nullopt});
        check(FieldType::Time, paradox::Value{n * 97, std::nullopt});
        check(FieldType::Logical, paradox::Value{std::int64_t{n & 1}, std::nullopt});
        check(FieldType::Timestamp,
              paradox::Value{static_cast<double>(rng() % 300000000000000ULL), std::nullopt});
    }
}

// A table of many records, a fifth or so of which hold something the finds below meet.
class CandidateTable : public ::testing::Test {
  protected:
    void make(std::uint16_t codePage) {
        db = temp.path() / "CAND.DB";
        paradox::TableSpec spec;
        spec.codePage = codePage;
        spec.fields = {{"Name", FieldType::Alpha, 24},   {"Notes", FieldType::Memo, 15},
                       {"Amount", FieldType::Number, 0}, {"Day", FieldType::Date, 0},
                       {"Done", FieldType::Logical, 0},  {"Stamp", FieldType::Timestamp, 0},
                       {"Raw", FieldType::Bytes, 4},     {"Skipped", FieldType::Alpha, 10}};
        const auto paths = paradox::familyPathsFor(db);
        for (const auto& f : {paths.db, paths.mb, paths.px}) // each code page remakes the table
            std::filesystem::remove(f);
        paradox::TableWriter w(paths, spec);
        std::mt19937 rng(11);
        const std::vector<std::string> words = {"grey", "Grey",    "GREY cat", "O'Hara",
                                                "dog",  "über",    "ÜBER",     "plain",
                                                "",     "catalog", "x"};
        for (int i = 0; i < 3000; ++i) {
            std::vector<paradox::Value> rec;
            const auto& f = spec.fields;
            rec.push_back(paradox::valueFromText(f[0], words[rng() % words.size()] + " " +
                                                           std::to_string(i)));
            std::string memo = i % 4 == 0 ? "" : "a memo longer than its leader, ";
            memo += words[rng() % words.size()];
            rec.push_back(paradox::valueFromText(f[1], i % 5 == 0 ? "" : memo));
            rec.push_back(paradox::valueFromText(f[2], std::to_string(i) + ".5"));
            rec.push_back(paradox::valueFromText(f[3], i % 7 ? "2021-08-31" : ""));
            rec.push_back(paradox::valueFromText(f[4], i % 2 ? "True" : "False"));
            rec.push_back(paradox::valueFromText(f[5], "2020-01-02 03:04:05"));
            rec.push_back(paradox::valueFromText(f[6], "0a0b0c0d"));
            rec.push_back(paradox::valueFromText(f[7], words[rng() % words.size()]));
            w.add(rec);
        }
        w.finish();
    }

    // For every record: the filter's answer from the bytes never hides a hit, its answer from
    // the values is the matchers' own, and it rules out most records by their bytes alone.
    void expectSound(const std::vector<Matcher>& matchers, const ColumnChoice& columns,
                     bool bytesRuleOut = true) {
        const ColumnChoice own;
        CandidateRecords filter(matchers, columns, own);
        const auto table = paradox::Table::open(db);
        std::vector<std::string> names;
        for (const auto& f : table.fields())
            names.push_back(f.name);
        long ruledOut = 0, candidates = 0;
        table.forEachRecord([&](const paradox::Record& r) {
            std::vector<std::optional<std::string>> values;
            for (std::size_t k = 0; k < names.size(); ++k) {
                const bool noText = table.fields()[k].type == FieldType::Bytes;
                auto t = noText ? std::nullopt : table.text(k, r.bytes());
                values.push_back(t && !t->empty() ? t : std::nullopt);
            }
            bool hit = false;
            std::string out;
            for (std::size_t k = 0; k < names.size(); ++k)
                if (values[k] && columns.includes(names[k]))
                    for (const auto& m : matchers)
                        hit = hit || m.apply(*values[k], out) != Matcher::Result::Miss;
            const bool may = filter.mayHit(table, r.bytes());
            ASSERT_TRUE(!hit || may) << "record at " << r.fileOffset();
            ASSERT_EQ(filter.hits(names, values), hit) << "record at " << r.fileOffset();
            ruledOut += !may;
            candidates += hit;
        });
        EXPECT_GT(candidates, 0);
        if (bytesRuleOut) {
            EXPECT_GT(ruledOut, 300);
        }
    }

    TempDir temp;
    fs::path db;
};

TEST_F(CandidateTable, RulesOutOnlyRecordsNoFindTextHitsWithEveryOption) {
    for (std::uint16_t cp : {1252, 437, 850}) {
        SCOPED_TRACE(cp);
        make(cp);
        std::vector<Matcher> one;
        one.emplace_back("grey", "gray");
        expectSound(one, {});
        for (const SearchOptions& o : everyPlainOption()) {
            SCOPED_TRACE(o.describe());
            std::vector<Matcher> sets;
            sets.emplace_back("über", "uber", o);
            sets.emplace_back("O'Hara", "O'Brien", o);
            sets.emplace_back("cat", "dog", o); // its replacement is the next set's find
            sets.emplace_back("dog", "cat", o);
            expectSound(sets, {});
        }
        // A column left out is no reason to copy a record.
        std::vector<Matcher> skipped;
        skipped.emplace_back("plain", "x");
        expectSound(skipped, ColumnChoice{{}, {"Skipped"}});
    }
}

TEST_F(CandidateTable, FindsThatMeetTextFormsOrCannotBeToldFromBytesDecodeEveryRecord) {
    make(1252);
    std::vector<Matcher> date;
    date.emplace_back("2021-08", "2022-08"); // meets the Date field's form
    expectSound(date, {}, false);
    std::vector<Matcher> logical;
    logical.emplace_back("rue", "x"); // "True"
    expectSound(logical, {}, false);
    SearchOptions regex;
    regex.regex = true;
    std::vector<Matcher> pattern;
    pattern.emplace_back("gr[ae]y", "x", regex);
    expectSound(pattern, {}, false);
    std::vector<Matcher> empty;
    empty.emplace_back("", "x");
    expectSound(empty, {}, false);
}

TEST_F(CandidateTable, ARecordWhoseTextCannotBeReadIsNeverLeftOut) {
    make(1252);
    auto table = paradox::Table::open(db);
    const auto offsets = table.recordOffsets();
    const std::size_t skippedField = 7;
    const std::uint64_t at = offsets[5] + table.fields()[skippedField].offset;
    {
        // 0x81 has no character in code page 1252: the import fails on this record.
        std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(at));
        f.put(static_cast<char>(0x81));
    }
    table = paradox::Table::open(db);
    std::vector<Matcher> m;
    m.emplace_back("never there", "x");
    // The filter keeps references to its column choices: they must outlive it.
    const ColumnChoice columns{{}, {"Skipped"}}, own{};
    CandidateRecords filter(m, columns, own);
    const auto record = table.readRecordAt(offsets[5]);
    EXPECT_THROW((void)table.text(skippedField, record.bytes()), std::exception);
    EXPECT_TRUE(filter.mayHit(table, record.bytes()));
    EXPECT_FALSE(filter.mayHit(table, table.readRecordAt(offsets[6]).bytes()));
}

} // namespace
} // namespace qm::test
