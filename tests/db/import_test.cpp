#include "db_fixture.h"

#include "app/error.h"
#include "db/field_rules.h"
#include "db/import.h"
#include "db/sqlite_backend.h"
#include "db/working_database.h"
#include "fake_user_interface.h"
#include "paradox/table.h"

#include <tuple>

namespace qm::test {
namespace {

using db::Connection;
using db::Recordset;
using paradox::FieldType;

TEST(ImportColumnType, FollowsTheSubstringTestsInOrder) {
    using db::JetType;
    const std::vector<std::pair<std::vector<int>, JetType>> expected = {
        {{20, 3, 2, 16, 21, 19, 18, 17}, JetType::Long},
        {{4}, JetType::Double},
        {{131, 139}, JetType::Numeric},
        {{14}, JetType::Decimal},
        {{5}, JetType::Double},
        {{7, 133, 135}, JetType::DateTime},
        {{205}, JetType::OleObject},
        {{201, 203}, JetType::Memo},
        {{129, 200, 130, 202, 134}, JetType::Text},
        {{6, 11, 8, 128, 204, 136, 0, 10, 64, 72, 9, 13, 138, 132, 12}, JetType::Text},
        // Numbers that name no type at all.
        {{-5, -3, -1, 1, 15, 22, 63, 65, 71, 73, 127, 137, 140, 199, 206, 299, 999, 32767},
         JetType::Text},
    };
    for (const auto& [numbers, type] : expected)
        for (int n : numbers)
            EXPECT_EQ(db::columnTypeFor(n), type) << n;
}

class ImportTest : public DbFixture {
  protected:
    db::WorkingCopyStatus import(const std::string& table) {
        FixedFolder folder(paradoxDir.string());
        return db::sendTableToAccess(ui, folder, table);
    }
    std::vector<std::vector<Variant>> workingRows(const std::string& table,
                                                  std::vector<std::uint64_t>* offsets = nullptr) {
        Connection c;
        c.open(db::workingDatabaseConnectionString());
        std::vector<std::vector<Variant>> out;
        c.workingBackend()->forEachRow(
            table, [&](std::optional<std::uint64_t> offset, const std::vector<Variant>& row) {
                out.push_back(row);
                if (offsets)
                    offsets->push_back(offset.value_or(0));
            });
        return out;
    }
    FakeUserInterface ui;
};

TEST_F(ImportTest, EachRecordIsCopiedAsItsValuesAndTheyArriveExactly) {
    const std::string memo(400, 'm');
    makeTable("PEOPLE.DB",
              {{"ID", FieldType::Long, 0},
               {"NAME", FieldType::Alpha, 20},
               {"CODE", FieldType::Alpha, 10},
               {"NOTES", FieldType::Memo, 20}},
              {{"5", "", "O'Hara", "short"}, {"", "007", "", memo}, {"7", "a'b''c", "`[x]`", ""}});
    const auto status = import("PEOPLE");
    EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
    EXPECT_EQ(workingOperations(),
              (std::vector<std::string>{"create PEOPLE('ID', 'NAME', 'CODE', 'NOTES')",
                                        "copy PEOPLE('5', NULL, 'O'Hara', 'short')",
                                        "copy PEOPLE(NULL, '007', NULL, '" + memo + "')",
                                        "copy PEOPLE('7', 'a'b''c', '`[x]`', NULL)"}));
    EXPECT_EQ(paradoxOperations(), (std::vector<std::string>{"open table PEOPLE"}));

    const auto rows = workingRows("PEOPLE");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<Variant>{"5", Variant::null(), "O'Hara", "short"}));
    EXPECT_EQ(rows[1], (std::vector<Variant>{Variant::null(), "007", Variant::null(), memo}));
    EXPECT_EQ(rows[2], (std::vector<Variant>{"7", "a'b''c", "`[x]`", Variant::null()}));
    EXPECT_TRUE(status.complete());
    EXPECT_EQ(status.expected, 3);
    // One event pump per column while creating, and per record and per value while copying.
    EXPECT_EQ(ui.eventPumps, 4 + 3 * (4 + 1));
}

TEST_F(ImportTest, RowsRememberTheirParadoxRecordsOutOfSightOfSelect) {
    std::vector<std::vector<std::string>> records;
    for (int i = 0; i < 500; ++i)
        records.push_back({"v" + std::to_string(i)});
    const fs::path db = makeTable("T.DB", {{"A", FieldType::Alpha, 30}}, records);
    ASSERT_TRUE(import("T").complete());
    std::vector<std::uint64_t> offsets;
    const auto rows = workingRows("T", &offsets);
    ASSERT_EQ(rows.size(), 500u);
    const auto table = paradox::Table::open(db);
    for (std::size_t i = 0; i < rows.size(); i += 37)
        EXPECT_EQ(table.readRecordAt(offsets[i]).value(0).asText(), rows[i][0].text());

    Connection c;
    c.open(db::workingDatabaseConnectionString());
    Recordset rs;
    rs.attach(db::WorkingDatabase(c).openCopy("T"));
    EXPECT_EQ(rs.fieldCount(), 1);
    EXPECT_EQ(rs.recordCount(), 500);
}

TEST_F(ImportTest, NumberColumnsRefuseTheReplaceRunsQuotedComparison) {
    makeTable(
        "NUMS.DB",
        {{"N", FieldType::Number, 0},
         {"D", FieldType::Date, 0},
         {"S", FieldType::Alpha, 10},
         {"M", FieldType::Money, 0},
         {"T", FieldType::Time, 0},
         {"L", FieldType::Logical, 0}},
        {{"5", "2021-08-31", "5", "1.5", "10:20:30", "True"}, {"0.1", "", "x", "", "", "False"}});
    ASSERT_TRUE(import("NUMS").complete());
    EXPECT_EQ(workingOperations()[1],
              "copy NUMS('5', '2021-08-31', '5', '1.5', '10:20:30', 'True')");
    Connection c;
    c.setMode(db::adModeReadWrite);
    c.open(db::workingDatabaseConnectionString());
    db::WorkingDatabase working(c);
    for (const auto& [column, from, to] :
         {std::tuple{"N", "5", "6"}, std::tuple{"D", "2021-08-31", "2022-08-31"}}) {
        try {
            working.replaceValue("NUMS", column, to, from);
            ADD_FAILURE() << "accepted a replacement in " << column;
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::TypeMismatch);
        }
    }
    // Money, Time and Logical are text in the working copy and can change.
    working.replaceValue("NUMS", "M", "2.5", "1.5");
    working.replaceValue("NUMS", "S", "6", "5");
    Recordset rs;
    rs.attach(working.openCopy("NUMS"));
    EXPECT_EQ(rs.value(0).toString(), "5");
    EXPECT_EQ(rs.value(2).toString(), "6");
    EXPECT_EQ(rs.value(3).toString(), "2.5");
}

TEST_F(ImportTest, EmptyTableAndRepeatedImport) {
    makeTable("EMPTY.DB", {{"A", FieldType::Alpha, 10}}, {});
    EXPECT_TRUE(import("EMPTY").complete());
    EXPECT_TRUE(import("empty").complete());
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(workingOperations(), (std::vector<std::string>{"create EMPTY('A')", "drop copy empty",
                                                             "create empty('A')"}));
    EXPECT_TRUE(db::TableExistsInDbTemp("EMPTY"));
}

TEST_F(ImportTest, LostRecordsAreReportedAndMarkTheCopyIncomplete) {
    // Fields that take every name of the rowid: no copy is made, and no record can be copied.
    makeTable("BAD.DB",
              {{"rowid", FieldType::Alpha, 10},
               {"_rowid_", FieldType::Alpha, 10},
               {"oid", FieldType::Alpha, 10}},
              {{"x", "", ""}, {"y", "", ""}});
    const auto status = import("BAD");
    EXPECT_FALSE(status.complete());
    ASSERT_EQ(ui.boxes.size(), 3u);
    EXPECT_NE(ui.boxes[0].text.find("in Quillworks2021/08/31.Paradox.sendTableToAccess at line "
                                    "182"),
              std::string::npos)
        << ui.boxes[0].text;
    EXPECT_NE(ui.boxes[1].text.find("at line 216"), std::string::npos) << ui.boxes[1].text;
    EXPECT_EQ(ui.boxes[0].title, "Application Error");
    EXPECT_FALSE(db::workingCopyStatus("BAD").complete());

    // A copy that later loses a row is no longer complete either.
    makeTable("GOOD.DB", {{"A", FieldType::Alpha, 10}}, {{"x"}, {"y"}});
    ASSERT_TRUE(import("GOOD").complete());
    onTheFile("DELETE FROM \"GOOD\" WHERE \"A\" = 'y'");
    EXPECT_FALSE(db::workingCopyStatus("GOOD").complete());
}

TEST_F(ImportTest, MissingTableIsReportedStepByStepAndNothingIsCopied) {
    const auto status = import("NOSUCH");
    EXPECT_FALSE(status.complete());
    ASSERT_GE(ui.boxes.size(), 2u);
    EXPECT_NE(ui.boxes[0].text.find("at line 120"), std::string::npos) << ui.boxes[0].text;
    EXPECT_NE(ui.boxes[0].text.find("NOSUCH"), std::string::npos);
    EXPECT_FALSE(db::TableExistsInDbTemp("NOSUCH"));
}

} // namespace
} // namespace qm::test

namespace qm::test {
namespace {

TEST_F(ImportTest, UpdatesTheParadoxFieldsCouldNotHoldAreRefused) {
    makeTable("RULES.DB",
              {{"K", FieldType::Alpha, 5},
               {"A", FieldType::Alpha, 5},
               {"M", FieldType::Money, 0},
               {"T", FieldType::Time, 0},
               {"L", FieldType::Logical, 0},
               {"N", FieldType::Memo, 15}},
              {{"k1", "abc", "1.5", "10:00:00", "True", "memo"}}, 1, 437);
    ASSERT_TRUE(import("RULES").complete());
    Connection c;
    c.setMode(db::adModeReadWrite);
    c.open(db::workingDatabaseConnectionString());
    const auto refused = [&](const std::string& column, const std::string& from,
                             const std::string& to) {
        try {
            db::WorkingDatabase(c).replaceValue("RULES", column, to, from);
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::TooLong) << e.description();
            return true;
        }
        return false;
    };
    EXPECT_FALSE(refused("K", "k1", "k2"));     // a key in byte order: the table can be re-sorted
    EXPECT_TRUE(refused("A", "abc", "abcdef")); // longer than the field
    EXPECT_TRUE(refused("A", "abc", "\xE2\x82\xAC")); // the euro sign is not in code page 437
    EXPECT_TRUE(refused("M", "1.5", "lots"));
    EXPECT_TRUE(refused("T", "10:00:00", "25:00:00"));
    EXPECT_TRUE(refused("L", "True", "Yes"));
    EXPECT_TRUE(refused("N", "memo", "\xE2\x82\xAC"));
    EXPECT_FALSE(refused("A", "abc", "\xC3\xA9t\xC3\xA9")); // é is in 437
    // Five characters fit (the row keeps its first change of the run).
    EXPECT_FALSE(refused("A", "\xC3\xA9t\xC3\xA9", "abcde"));
    EXPECT_FALSE(refused("M", "1.5", "2.75"));
    EXPECT_FALSE(refused("T", "10:00:00", "11:30:00.250"));
    EXPECT_FALSE(refused("L", "True", "False"));
    EXPECT_FALSE(refused("N", "memo", std::string(300, 'x')));
    Recordset rs;
    rs.attach(db::WorkingDatabase(c).openCopy("RULES"));
    EXPECT_EQ(rs.value(0).toString(), "k2");
    EXPECT_EQ(rs.value(1).toString(), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(rs.value(2).toString(), "2.75");
}

TEST_F(ImportTest, FieldsOfSecondaryIndexesAreFrozen) {
    if (!haveCorpus())
        GTEST_SKIP() << "corpus folder absent";
    // CUSTOMER has a primary key on its first field and a secondary index on field 6 (.X06).
    copyFamily(corpusDir() / "leonhad__paradoxdriver/db/CUSTOMER.DB");
    const auto rules = db::fieldRulesFor(paradoxDir / "CUSTOMER.DB");
    ASSERT_EQ(rules.size(), 10u);
    for (std::size_t i = 0; i < rules.size(); ++i)
        EXPECT_EQ(rules[i].kind == db::FieldRule::Kind::Frozen, i == 0 || i == 5) << i;
    EXPECT_NE(rules[5].reason.find("CUSTOMER.X06"), std::string::npos) << rules[5].reason;
    // A composite index (.XG0, over State) names its fields; the field outside every index
    // stays free.
    copyFamily(corpusDir() / "leonhad__paradoxdriver/db/AREACODES.DB");
    const auto composite = db::fieldRulesFor(paradoxDir / "AREACODES.DB");
    ASSERT_EQ(composite.size(), 3u);
    EXPECT_EQ(composite[0].kind, db::FieldRule::Kind::Frozen);
    EXPECT_NE(composite[0].reason.find("primary key"), std::string::npos) << composite[0].reason;
    EXPECT_EQ(composite[1].kind, db::FieldRule::Kind::Frozen);
    EXPECT_NE(composite[1].reason.find("AREACODES.XG0"), std::string::npos) << composite[1].reason;
    EXPECT_NE(composite[2].kind, db::FieldRule::Kind::Frozen) << composite[2].reason;
}

} // namespace
} // namespace qm::test
