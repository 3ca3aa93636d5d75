#include "replace_fixture.h"

#include "replace/run_search.h"

#include <chrono>

namespace qm::test {
namespace {

using paradox::FieldType;

const std::vector<paradox::FieldSpec> kClients = {{"Name", FieldType::Alpha, 30},
                                                  {"Address", FieldType::Alpha, 40},
                                                  {"Notes", FieldType::Memo, 20}};

SearchOptions opts(bool matchCase, bool wholeWord, bool regex) {
    SearchOptions o;
    o.matchCase = matchCase;
    o.wholeWord = wholeWord;
    o.regex = regex;
    return o;
}

class SearchOptionsRunTest : public ReplaceFixture {
  protected:
    fs::path clients(const std::vector<std::vector<std::string>>& rows,
                     std::uint16_t codePage = 1252) {
        return makeTable("CLIENTS.DB", kClients, rows, 0, codePage);
    }
    RunInputs with(RunInputs in, const SearchOptions& o) const {
        in.search = o;
        return in;
    }
    bool ran(const std::string& operation) const {
        const auto st = workingOperations();
        return std::find(st.begin(), st.end(), operation) != st.end();
    }
    std::size_t updates() const {
        const auto st = workingOperations();
        return static_cast<std::size_t>(std::count_if(
            st.begin(), st.end(), [](const std::string& s) { return s.starts_with("replace "); }));
    }
};

TEST_F(SearchOptionsRunTest, IgnoreCaseInACp1252TableChangesEveryCaseAndSaysSoInTheLog) {
    const fs::path db = clients({{"Grey Über GmbH", "über alles", ""},
                                 {"GREY", "Grey Street", "a grey, grey cat"},
                                 {"blue", "", ""}});
    const auto r =
        run(with(pair({row("CLIENTS.DB")}, "grey über", "Gray Ueber"), opts(false, false, false)));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0][0], "Gray Ueber GmbH");
    EXPECT_EQ(r.tables[0].hits, 1);

    const auto r2 = run(with(pair({row("CLIENTS.DB")}, "grey", "gray"), opts(false, false, false)));
    ASSERT_TRUE(r2.clean()) << endOfRunReport(r2);
    const auto v = values(db);
    EXPECT_EQ(v[1], (std::vector<std::string>{"gray", "gray Street", "a gray, gray cat"}));
    EXPECT_EQ(v[2][0], "blue");
    EXPECT_EQ(r2.tables[0].hits, 3);
    // The replacement still compares the whole old value exactly.
    EXPECT_TRUE(ran("replace CLIENTS.Address 'Grey Street' -> 'gray Street'"));
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].ends_with("] - grey über was replace to Gray Ueber at table (CLIENTS) "
                                   "and column (Name) (ignore case)"))
        << lines[0];
    EXPECT_TRUE(lines[3].ends_with(
        "grey was replace to gray at table (CLIENTS) and column (Notes) (ignore case)"))
        << lines[3];
    EXPECT_EQ(r2.search, "ignore case");
}

TEST_F(SearchOptionsRunTest, WholeWordsInACp866TableWithCyrillicAndPunctuation) {
    const fs::path db = clients({{"ООО Дом", "Домашняя, дом.", "дом;ДОМ(дом)"},
                                 {"Ltd", "Acme Ltd.", "Ltda and Ltd_1, (Ltd)"}},
                                866);
    auto in = sets({row("CLIENTS.DB")}, {{"дом", "house"}, {"Ltd", "Limited"}});
    const auto r = run(with(in, opts(false, true, false)));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    const auto v = values(db);
    EXPECT_EQ(v[0],
              (std::vector<std::string>{"ООО house", "Домашняя, house.", "house;house(house)"}));
    EXPECT_EQ(v[1],
              (std::vector<std::string>{"Limited", "Acme Limited.", "Ltda and Ltd_1, (Limited)"}));
    EXPECT_EQ(r.tables[0].hits, 6);
    for (const auto& l : logLines())
        EXPECT_TRUE(l.ends_with(" (ignore case, whole words)")) << l;
}

TEST_F(SearchOptionsRunTest, RegularExpressionGroupsRewriteDatesInsideText) {
    const fs::path db = clients(
        {{"Order 31/08/2021", "", "due 01/09/2021, paid 02/09/2021"}, {"no date", "8/8/21", ""}});
    const auto r = run(with(pair({row("CLIENTS.DB")}, R"((\d\d)/(\d\d)/(\d{4}))", "$3-$2-\\1"),
                            opts(true, false, true)));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    const auto v = values(db);
    EXPECT_EQ(v[0], (std::vector<std::string>{"Order 2021-08-31", "",
                                              "due 2021-09-01, paid 2021-09-02"}));
    EXPECT_EQ(v[1], (std::vector<std::string>{"no date", "8/8/21", ""}));
    EXPECT_EQ(r.tables[0].hits, 2);
    EXPECT_TRUE(ran("replace CLIENTS.Name 'Order 31/08/2021' -> 'Order 2021-08-31'"));
    EXPECT_TRUE(logLines()[0].ends_with(R"(- (\d\d)/(\d\d)/(\d{4}) was replace to $3-$2-\1 at )"
                                        "table (CLIENTS) and column (Name) (regular expression)"));
}

TEST_F(SearchOptionsRunTest, AnEmptyMatchingPatternChangesOnlyWhereItMatchesText) {
    const fs::path db = clients({{"abc", "axxb", ""}});
    const auto r =
        run(with(sets({row("CLIENTS.DB")}, {{"x*", "-"}, {"^", "#"}}), opts(true, false, true)));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0], (std::vector<std::string>{"abc", "a-b", ""}));
    EXPECT_EQ(r.tables[0].hits, 1);
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(SearchOptionsRunTest, ColumnsToSearchAndToSkipAreNamedWithoutRegardToCase) {
    const std::vector<std::vector<std::string>> rows = {{"grey", "grey", "grey"}};
    const fs::path db = clients(rows);
    auto in = pair({row("CLIENTS.DB")}, "grey", "gray");
    in.columns.only = {"name", "NOTES"};
    in.columns.skip = {"notes"};
    auto r = run(in);
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0], (std::vector<std::string>{"gray", "grey", "grey"}));
    EXPECT_EQ(r.tables[0].hits, 1);
    EXPECT_EQ(r.search, "columns name, NOTES; skipping notes");
    EXPECT_EQ(logLines().size(), 1u) << "the log line of a plain search stays as it was";
    EXPECT_TRUE(logLines()[0].ends_with("and column (Name)"));

    // The window's choice for one table narrows the run's.
    clients(rows);
    in.columns = {};
    in.rowColumns = {ColumnChoice{{}, {"Address"}}};
    r = run(in);
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(values(db)[0], (std::vector<std::string>{"gray", "grey", "gray"}));
}

TEST_F(SearchOptionsRunTest, BadInputIsRefusedBeforeAnythingRuns) {
    const fs::path db = clients({{"grey", "grey", ""}});
    const auto before = files(paradoxDir);
    const auto refused = [&](const RunInputs& in, const std::string& says) {
        SCOPED_TRACE(says);
        ui.boxes.clear();
        EXPECT_NE(checkSearch(in).find(says), std::string::npos) << checkSearch(in);
        const auto r = run(in);
        EXPECT_EQ(r.end, RunResult::End::Failed);
        EXPECT_TRUE(r.tables.empty());
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_NE(ui.boxes[0].text.find(says), std::string::npos) << ui.boxes[0].text;
        EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    };
    refused(with(pair({row("CLIENTS.DB")}, "(grey", "x"), opts(true, false, true)),
            "is not a valid regular expression");
    refused(with(pair({row("CLIENTS.DB")}, "(grey)", "$2"), opts(true, false, true)),
            "uses group 2");
    refused(with(sets({row("CLIENTS.DB")}, {{"ok", "x"}, {"[a", "y"}}), opts(true, false, true)),
            "set 2: the find text \"[a\"");
    auto unknown = pair({row("CLIENTS.DB")}, "grey", "gray");
    unknown.columns.skip = {"Adress"};
    refused(unknown, "no ticked table has a column named Adress");
    EXPECT_TRUE(ui.pointers.empty());
    EXPECT_TRUE(workingOperations().empty());
    EXPECT_FALSE(fs::exists(options.changeLog));
    EXPECT_TRUE(files(paradoxDir) == before);
    // A name that some ticked table has is fine.
    unknown.columns.skip = {"ADDRESS"};
    EXPECT_EQ(checkSearch(unknown), "");
}

TEST_F(SearchOptionsRunTest, ARunawayPatternLeavesTheValueAndSaysWhy) {
    const std::string longMemo = std::string(30000, 'a') + "b";
    const fs::path db = clients({{"aaab", "", longMemo}, {"caa", "", ""}});
    const auto start = std::chrono::steady_clock::now();
    const auto r = run(with(pair({row("CLIENTS.DB")}, "(a+)+$", "X"), opts(true, false, true)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_EQ(r.end, RunResult::End::Completed);
    EXPECT_FALSE(r.clean());
    ASSERT_EQ(r.tables[0].leftUnchanged.size(), 1u);
    EXPECT_EQ(r.tables[0].leftUnchanged[0].column, "Notes");
    EXPECT_EQ(r.tables[0].leftUnchanged[0].count, 1);
    EXPECT_NE(endOfRunReport(r).find("too much work"), std::string::npos);
    EXPECT_NE(endOfRunReport(r).find("Searched with: regular expression."), std::string::npos);
    const auto v = values(db);
    EXPECT_EQ(v[0][2], longMemo);
    EXPECT_EQ(v[0][0], "aaab");
    EXPECT_EQ(v[1][0], "cX") << "the other values are searched as usual";
}

TEST_F(SearchOptionsRunTest, ADryRunFollowsTheOptionsAndWritesNothing) {
    const fs::path db = clients({{"Grey", "grey", ""}});
    const auto before = files(paradoxDir);
    options.dryRun = true;
    const auto r = run(with(pair({row("CLIENTS.DB")}, "GREY", "gray"), opts(false, true, false)));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    EXPECT_EQ(r.tables[0].hits, 2);
    EXPECT_EQ(r.tables[0].valuesChanged, 2);
    EXPECT_TRUE(files(paradoxDir) == before);
    EXPECT_FALSE(fs::exists(options.changeLog));
    EXPECT_EQ(updates(), 2u);
}

} // namespace
} // namespace qm::test
