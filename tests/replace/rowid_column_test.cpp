// Paradox fields named RowID, _ROWID_ or OID. In the working database those names stand for the
// column, not for the row's own number, which the copy's bookkeeping (changed rows and values,
// each row's record, the snapshot's order) is keyed by. Each run below holds such columns with
// values unlike the record numbers, and the reference decoder must read exactly the values the
// run changed, in their own records, and every other value as it was.

#include "replace_fixture.h"

namespace qm::test {
namespace {

using nlohmann::json;
using paradox::FieldType;

class RowidColumn : public ReplaceFixture, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        ReplaceFixture::SetUp();
        options.copyEveryRecord = GetParam();
    }

    // Runs find -> replace on the table and checks it against the records expected after it.
    void expectRun(const fs::path& db, const std::string& find, const std::string& replace,
                   const std::vector<json>& expected, long long changed,
                   const std::vector<std::string>& hitRecords) {
        std::vector<std::string> hits;
        options.onHit = [&hits](const RunHit& h) {
            hits.push_back(h.column + "|" + std::to_string(h.record) + "|" + h.oldValue);
        };
        const auto r = run(pair({row(db.filename().string())}, find, replace));
        ASSERT_EQ(r.end, RunResult::End::Completed);
        EXPECT_TRUE(r.clean()) << endOfRunReport(r);
        ASSERT_EQ(r.tables.size(), 1u);
        EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written) << r.tables[0].reason;
        EXPECT_EQ(r.tables[0].valuesChanged, changed);
        // The hits name the records the snapshot gave, in the table's order.
        EXPECT_EQ(hits, hitRecords);
        EXPECT_EQ(pxdump(db), expected);
    }
};

// Text in the RowID column, which cannot be a row's number at all; _rowid_ taken as well.
TEST_P(RowidColumn, TextInARowidColumnLeavesEveryChangeInItsOwnRecord) {
    const fs::path db = makeTable("LEGACY.DB",
                                  {{"ROWID", FieldType::Alpha, 10},
                                   {"_rowid_", FieldType::Long, 0},
                                   {"Name", FieldType::Alpha, 20}},
                                  {{"Z9", "7", "cat one"},
                                   {"A1", "1", "dog"},
                                   {"M5", "3", "cat three"},
                                   {"B2", "2", "bird"},
                                   {"C3", "", "a cat"}});
    expectRun(db, "cat", "lion",
              {json{"Z9", 7, "lion one"}, json{"A1", 1, "dog"}, json{"M5", 3, "lion three"},
               json{"B2", 2, "bird"}, json{"C3", nullptr, "a lion"}},
              3, {"Name|1|cat one", "Name|3|cat three", "Name|5|a cat"});
}

// Numbers in the RowID column in another order than the records: each is some other row's
// number. OID is taken by a text column.
TEST_P(RowidColumn, NumbersInARowidColumnDoNotSendAChangeToAnotherRecord) {
    const fs::path db = makeTable("NUMBERED.DB",
                                  {{"RowID", FieldType::Long, 0},
                                   {"OID", FieldType::Alpha, 10},
                                   {"Name", FieldType::Alpha, 20}},
                                  {{"4", "d", "plain"},
                                   {"1", "a", "cat"},
                                   {"5", "cat", "other"},
                                   {"3", "c", "tomcat"},
                                   {"2", "b", "last"}});
    expectRun(db, "cat", "owl",
              {json{4, "d", "plain"}, json{1, "a", "owl"}, json{5, "owl", "other"},
               json{3, "c", "tomowl"}, json{2, "b", "last"}},
              3, {"Name|2|cat", "OID|3|cat", "Name|4|tomcat"});
}

// Sets whose replacement makes another set's find text: a value an earlier UPDATE changed must
// not take a later one, which the copy tells by the row's number. The same rows in a table whose
// columns are named otherwise give the results to match.
TEST_P(RowidColumn, ChainedSetsEndAsInATableWithoutSuchNames) {
    const std::vector<std::vector<std::string>> rows = {
        {"2", "ab"}, {"1", "b"}, {"3", "a"}, {"5", "ba"}, {"4", "x"}};
    const fs::path chain = makeTable(
        "CHAIN.DB", {{"RowId", FieldType::Short, 0}, {"Name", FieldType::Alpha, 10}}, rows);
    const fs::path plain =
        makeTable("PLAIN.DB", {{"Num", FieldType::Short, 0}, {"Name", FieldType::Alpha, 10}}, rows);
    std::vector<std::string> hits[2];
    options.onHit = [&hits](const RunHit& h) {
        hits[h.table == "PLAIN" ? 1 : 0].push_back(std::to_string(h.record) + "|" + h.oldValue +
                                                   "|" + h.newValue + "|" + h.refused);
    };
    const auto r = run(sets({row("CHAIN.DB"), row("PLAIN.DB")}, {{"a", "b"}, {"b", "bb"}}));
    ASSERT_EQ(r.end, RunResult::End::Completed);
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written) << r.tables[0].reason;
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written) << r.tables[1].reason;
    EXPECT_EQ(r.tables[0].hits, r.tables[1].hits);
    EXPECT_EQ(r.tables[0].valuesChanged, r.tables[1].valuesChanged);
    EXPECT_EQ(hits[0], hits[1]);
    EXPECT_FALSE(hits[0].empty());
    EXPECT_EQ(pxdump(chain), pxdump(plain));
    // The numbers stay where they were.
    const auto out = pxdump(chain);
    ASSERT_EQ(out.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(out[i][0], std::stoi(rows[i][0]));
}

// Every name of the row's number taken: the table is left alone, byte for byte, and says why.
TEST_P(RowidColumn, ATableTakingEveryNameOfTheRowNumberIsLeftAlone) {
    const fs::path db = makeTable("ALLNAMES.DB",
                                  {{"Oid", FieldType::Long, 0},
                                   {"RowID", FieldType::Alpha, 10},
                                   {"_ROWID_", FieldType::Alpha, 10},
                                   {"Name", FieldType::Alpha, 20}},
                                  {{"3", "x", "y", "cat"}, {"1", "cat", "z", "dog"}});
    makeTable("OTHER.DB", {{"Name", FieldType::Alpha, 20}}, {{"black cat"}});
    auto before = files(paradoxDir);
    const auto r = run(pair({row("ALLNAMES.DB"), row("OTHER.DB")}, "cat", "owl"));
    ASSERT_EQ(r.end, RunResult::End::Completed);
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_NE(r.tables[0].reason.find("ROWID, _ROWID_ and OID"), std::string::npos)
        << r.tables[0].reason;
    EXPECT_EQ(r.tables[0].hits, 0);
    EXPECT_NE(endOfRunReport(r).find(r.tables[0].reason), std::string::npos) << endOfRunReport(r);
    // The next table is worked on as ever.
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written) << r.tables[1].reason;
    auto after = files(paradoxDir);
    EXPECT_EQ(after["ALLNAMES.DB"], before["ALLNAMES.DB"]);
    EXPECT_EQ(pxdump(db),
              (std::vector<json>{json{3, "x", "y", "cat"}, json{1, "cat", "z", "dog"}}));
    EXPECT_EQ(pxdump(paradoxDir / "OTHER.DB"), (std::vector<json>{json{"black owl"}}));
    if (fs::exists(options.changeLog)) {
        for (const auto& line : logLines())
            EXPECT_EQ(line.find("ALLNAMES"), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Copies, RowidColumn, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "EveryRecord" : "Reduced"; });

} // namespace
} // namespace qm::test
