#include "replace/matcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace qm::test {
namespace {

SearchOptions opts(bool matchCase, bool wholeWord, bool regex) {
    SearchOptions o;
    o.matchCase = matchCase;
    o.wholeWord = wholeWord;
    o.regex = regex;
    return o;
}
const SearchOptions kIgnoreCase = opts(false, false, false);
const SearchOptions kWholeWord = opts(true, true, false);
const SearchOptions kRegex = opts(true, false, true);

// The new value, or nullopt for no hit.
std::optional<std::string> apply(const std::string& find, const std::string& replace,
                                 const SearchOptions& o, const std::string& value) {
    const Matcher m(find, replace, o);
    std::string out = "untouched";
    const auto r = m.apply(value, out);
    EXPECT_NE(r, Matcher::Result::Abandoned) << m.abandonReason();
    if (r == Matcher::Result::Miss) {
        EXPECT_EQ(out, "untouched");
        return std::nullopt;
    }
    return out;
}

TEST(Matcher, PlainOptionsKeepTheExactSearch) {
    EXPECT_EQ(apply("a", "b", {}, "aAa"), "bAb");
    EXPECT_EQ(apply("cat", "dog", {}, "a cat, a Cat, cats"), "a dog, a Cat, dogs");
    EXPECT_EQ(apply("aa", "b", {}, "aaa"), "ba") << "left to right, without overlap";
    EXPECT_EQ(apply("", "x", {}, "abc"), "abc") << "an empty find hits and changes nothing";
    EXPECT_EQ(apply("cat", "dog", {}, "Cat"), std::nullopt);
    EXPECT_EQ(apply("a.c", "x", {}, "abc"), std::nullopt);
    EXPECT_EQ(replaceAll("x.x.x", ".", ""), "xxx");
}

TEST(Matcher, IgnoreCaseFoldsAsciiLatinAndCyrillicLetters) {
    EXPECT_EQ(apply("grey", "gray", kIgnoreCase, "Grey, grey, GREY"), "gray, gray, gray");
    // Latin-1 letters as the cp1252 tables hold them, in the working copy's UTF-8.
    EXPECT_EQ(apply("über", "ueber", kIgnoreCase, "Über über ÜBER"), "ueber ueber ueber");
    EXPECT_EQ(apply("ÇA", "ça", kIgnoreCase, "ça Ça"), "ça ça");
    // Cyrillic letters as the cp866 tables hold them.
    EXPECT_EQ(apply("дом", "house", kIgnoreCase, "Дом, ДОМ и дом"), "house, house и house");
    // The find text stays literal: no pattern characters.
    EXPECT_EQ(apply("a.c", "x", kIgnoreCase, "abc"), std::nullopt);
    EXPECT_EQ(apply("A.C", "x", kIgnoreCase, "a.c (A+C)"), "x (A+C)");
    EXPECT_EQ(apply("(a+c)", "x", kIgnoreCase, "a.c (A+C)"), "a.c x");
    EXPECT_EQ(apply("", "x", kIgnoreCase, "abc"), "abc") << "empty find keeps its plain meaning";
}

TEST(Matcher, WholeWordsStopAtLettersDigitsMarksAndUnderscoreButNotPunctuation) {
    EXPECT_EQ(apply("Ltd", "Limited", kWholeWord, "Acme Ltd."), "Acme Limited.");
    EXPECT_EQ(apply("Ltd", "Limited", kWholeWord, "Ltda"), std::nullopt);
    EXPECT_EQ(apply("Ltd", "Limited", kWholeWord, "Ltd_2 Ltd2 xLtd"), std::nullopt);
    EXPECT_EQ(apply("Ltd", "Limited", kWholeWord, "(Ltd),Ltd;\"Ltd\"\tLtd"),
              "(Limited),Limited;\"Limited\"\tLimited");
    EXPECT_EQ(apply("Ltd", "Limited", kWholeWord, "Ltda Ltd"), "Ltda Limited")
        << "a refused place does not hide a later one";
    // Edges that are not word characters may touch anything.
    EXPECT_EQ(apply("Ltd.", "Limited", kWholeWord, "Ltd. Foo, Ltd.Bar"), "Limited Foo, LimitedBar");
    EXPECT_EQ(apply(" Ltd", "", kWholeWord, "Acme Ltd"), "Acme");
    // Letters beyond ASCII are word characters.
    EXPECT_EQ(apply("Stra", "x", kWholeWord, "Straße"), std::nullopt);
    EXPECT_EQ(apply("M", "x", kWholeWord, "Müller"), std::nullopt);
    EXPECT_EQ(apply("caf", "x", kWholeWord, "café"), std::nullopt);
    EXPECT_EQ(apply("cafe", "x", kWholeWord, "cafe\xCC\x81"), std::nullopt)
        << "a combining accent belongs to its word";
    EXPECT_EQ(apply("дом", "house", kWholeWord, "дома, дом."), "дома, house.");
    EXPECT_EQ(apply("über", "x", kWholeWord, "Über über"), "Über x");
    // With ignore case as well.
    EXPECT_EQ(apply("über", "x", opts(false, true, false), "Über überall"), "x überall");
}

TEST(Matcher, RegularExpressionsWithGroupsInTheReplacement) {
    const std::string date = R"((\d\d)/(\d\d)/(\d{4}))";
    EXPECT_EQ(apply(date, "$3-$2-$1", kRegex, "due 31/08/2021, paid 01/09/2021"),
              "due 2021-08-31, paid 2021-09-01");
    EXPECT_EQ(apply(date, R"(\3-\2-\1)", kRegex, "31/08/2021"), "2021-08-31");
    EXPECT_EQ(apply(date, "${3}0", kRegex, "31/08/2021"), "20210");
    EXPECT_EQ(apply("(a)", "$10", kRegex, "a"), "a0") << "one group: $10 is $1 then 0";
    EXPECT_EQ(apply("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "$10", kRegex, "abcdefghij"), "j");
    EXPECT_EQ(apply("b", "[$0|$$|\\\\|$x|\\x]", kRegex, "abc"), "a[b|$|\\|$x|\\x]c");
    EXPECT_EQ(apply("(a)|(b)", "[$1$2]", kRegex, "ab"), "[a][b]") << "an unset group is empty";
    EXPECT_EQ(apply("gr[ae]y", "GRAY", opts(false, false, true), "Grey GRAY"), "GRAY GRAY");
    EXPECT_EQ(apply(R"(\w+)", "<$0>", kRegex, "Über дом"), "<Über> <дом>")
        << "\\w is Unicode-aware";
    EXPECT_EQ(apply("^x", "y", kRegex, "xx"), "yx");
    // Without the regex option the replacement is literal.
    EXPECT_EQ(apply("a", "$1", kIgnoreCase, "A"), "$1");
}

TEST(Matcher, RegularExpressionsWithWholeWordsTryOtherAlternatives) {
    const auto both = opts(true, true, true);
    EXPECT_EQ(apply("Ltd|Ltda", "X", both, "Ltda"), "X");
    EXPECT_EQ(apply(R"(\d+)", "#", both, "a1 22 b3 4,5"), "a1 # b3 #,#");
    EXPECT_EQ(apply(R"(\Qa.b)", "x", both, "a.b a.bc"), "x a.bc") << "an open \\Q is closed";
    EXPECT_EQ(apply("(*LIMIT_MATCH=5000)cat", "dog", both, "cat cats"), "dog cats")
        << "start-of-pattern settings stay in front";
}

TEST(Matcher, APatternThatCanMatchEmptyTextHitsOnlyWhereItMatchesSomething) {
    EXPECT_EQ(apply("x*", "-", kRegex, "abc"), std::nullopt);
    EXPECT_EQ(apply("x*", "-", kRegex, "axxbx"), "a-b-");
    EXPECT_EQ(apply("a?", "-", kRegex, "bab"), "b-b");
    EXPECT_EQ(apply("^", "-", kRegex, "abc"), std::nullopt);
    EXPECT_EQ(apply("$", "-", kRegex, "abc"), std::nullopt);
    EXPECT_EQ(apply(R"(\b)", "-", kRegex, "a b"), std::nullopt);
    EXPECT_EQ(apply("", "-", kRegex, "abc"), std::nullopt);
    EXPECT_EQ(apply(R"(a\K)", "-", kRegex, "aaa"), std::nullopt) << "\\K leaving empty text";
    EXPECT_EQ(apply("x*", "-", opts(true, true, true), "x xx y"), "- - y");
}

TEST(Matcher, BadPatternsAndReplacementsAreRefusedWhenMade) {
    const auto refused = [](const std::string& f, const std::string& r, const SearchOptions& o) {
        try {
            Matcher m(f, r, o);
        } catch (const PatternError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_NE(refused("(ab", "", kRegex).find("\"(ab\" is not a valid regular expression"),
              std::string::npos)
        << refused("(ab", "", kRegex);
    EXPECT_NE(refused("a{2,1}", "", kRegex), "");
    EXPECT_NE(refused("\\", "", kRegex), "");
    EXPECT_NE(refused("(a)", "$2", kRegex).find("uses group 2, but the pattern has 1 group"),
              std::string::npos);
    EXPECT_NE(refused("a", "\\1", kRegex).find("no groups"), std::string::npos);
    // A comment that swallows the rest cannot be wrapped for whole words.
    EXPECT_NE(refused("(?x)a # note", "", opts(true, true, true)).find("cannot be used with"),
              std::string::npos);
    // The same texts are fine without the regex option.
    EXPECT_EQ(refused("(ab", "$2", kIgnoreCase), "");
    EXPECT_EQ(refused("\\", "\\1", kWholeWord), "");
}

TEST(Matcher, TextThatIsNotUtf8IsSearchedWithoutFailing) {
    EXPECT_EQ(apply("abc", "x", kRegex, "\xFF\xFE abc \xC3"), "\xFF\xFE x \xC3");
    EXPECT_EQ(apply("abc", "x", kIgnoreCase, "\x80 ABC"), "\x80 x");
}

// Patterns built to backtrack without end: each value is given up on or finished well within a
// second, and the run is told which.
TEST(Matcher, RunawayPatternsAreBoundedPerValue) {
    using Clock = std::chrono::steady_clock;
    const std::string as(20000, 'a');
    struct Case {
        const char* pattern;
        std::string value;
    };
    const Case cases[] = {
        {"(a+)+$", as + "b"},
        {"(a|aa)+c", as + "bc"},
        {"(a|a)*b", std::string(40, 'a') + "cb"},
        {R"((\w+\s?)*$)", std::string(5000, 'x') + "!"},
        // Moderate work at every one of many starting positions: the time limit ends it.
        {"(?:a|a){1,8}?(?:a|a){1,8}?x", as + "bx"},
    };
    for (const auto& c : cases) {
        const Matcher m(c.pattern, "", kRegex);
        std::string out;
        const auto start = Clock::now();
        const auto r = m.apply(c.value, out);
        const auto took = Clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(1)) << c.pattern;
        // None can finish honestly in that time: each is given up on, and says why.
        EXPECT_EQ(r, Matcher::Result::Abandoned) << c.pattern;
        EXPECT_NE(m.abandonReason().find("too much work"), std::string::npos);
    }
    // A matcher that gave up on one value goes on with the next.
    const Matcher m("(a+)+$", "x", kRegex);
    std::string out;
    ASSERT_EQ(m.apply(cases[0].value, out), Matcher::Result::Abandoned);
    EXPECT_EQ(m.apply("aab", out), Matcher::Result::Miss);
    ASSERT_EQ(m.apply("baa", out), Matcher::Result::Hit);
    EXPECT_EQ(out, "bx");
}

TEST(Matcher, HonestSearchesOfLongValuesAreNotGivenUp) {
    std::string memo;
    for (int i = 0; i < 20000; ++i)
        memo += "line " + std::to_string(i) + " of a long memo about grey cats\r\n";
    memo += "the end";
    for (const char* p : {".*end", R"(\bgrey\b)", "(?s).*end", R"((\w+) cats)", "cats|dog|bird"}) {
        const Matcher m(p, "x", opts(false, true, true));
        std::string out;
        EXPECT_EQ(m.apply(memo, out), Matcher::Result::Hit) << p << ": " << m.abandonReason();
    }
}

TEST(SearchOptions, DescribeAndColumnChoice) {
    EXPECT_EQ(SearchOptions{}.describe(), "");
    EXPECT_TRUE(SearchOptions{}.plain());
    EXPECT_EQ(opts(false, true, true).describe(), "ignore case, whole words, regular expression");
    ColumnChoice c;
    EXPECT_TRUE(c.all());
    EXPECT_TRUE(c.includes("Name"));
    c.only = {"name", "STRAßE"};
    EXPECT_TRUE(c.includes("Name"));
    EXPECT_TRUE(c.includes("straße"));
    EXPECT_FALSE(c.includes("Notes"));
    c.skip = {"NAME"};
    EXPECT_FALSE(c.includes("Name")) << "skipping wins";
    EXPECT_EQ(c.describe(), "columns name, STRAßE; skipping NAME");
    EXPECT_TRUE(sameColumnName("Адрес", "АДРЕС"));
    EXPECT_FALSE(sameColumnName("Adres", "Address"));
}

} // namespace
} // namespace qm::test
