// The import's short cuts into the working database: rows handed over as values meet Jet's checks
// on them, and row origins that wait inside a transaction must be there whenever anything looks,
// and gone with a rollback.

#include "db_fixture.h"

#include "app/error.h"
#include "db/import.h"
#include "db/sqlite_backend.h"
#include "db/working_database.h"
#include "fake_user_interface.h"
#include "paradox/table.h"

#include <algorithm>

namespace qm::test {
namespace {

using db::Connection;
using paradox::FieldType;

class RowOriginTest : public DbFixture {
  protected:
    void SetUp() override {
        DbFixture::SetUp();
        working.setMode(db::adModeReadWrite);
        working.open(db::workingDatabaseConnectionString());
    }
    db::SqliteBackend& backend() { return *working.workingBackend(); }
    // Origins of the rows of a table, in row order (0 for a row without one).
    std::vector<std::uint64_t> origins(const std::string& table) {
        std::vector<std::uint64_t> out;
        backend().forEachRow(table,
                             [&](std::optional<std::uint64_t> o, const std::vector<Variant>&) {
                                 out.push_back(o.value_or(0));
                             });
        return out;
    }
    void insertRows(const std::string& table, int from, int to) {
        for (int i = from; i < to; ++i)
            db::WorkingDatabase(working).insertRecordValues(table, {std::to_string(i)},
                                                            static_cast<std::uint64_t>(1000 + i));
    }
    // Three rows whose RowID column counts down while their rowids count up.
    void insertRowsInto(const std::string& table) {
        for (int i = 0; i < 3; ++i)
            db::WorkingDatabase(working).insertRecordValues(table, {std::to_string(3 - i), "v"},
                                                            static_cast<std::uint64_t>(1000 + i));
    }
    // A copy whose columns are all texts.
    void createTexts(const std::string& table, const std::vector<std::string>& names) {
        std::vector<db::JetColumn> columns;
        for (const auto& n : names)
            columns.push_back({n, db::JetType::Text, 255});
        db::WorkingDatabase(working).createCopy(table, columns);
    }
    Connection working;
};

TEST_F(RowOriginTest, OriginsWaitingInATransactionAreSeenByEveryReaderAndRolledBack) {
    createTexts("A", {"X"});
    createTexts("B", {"X"});
    working.beginTrans();
    insertRows("A", 0, 150);
    // Read on the same connection while the transaction is open: all 150 know their origin.
    auto a = origins("A");
    ASSERT_EQ(a.size(), 150u);
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], 1000 + i) << i;
    // Rows of another table between two of the first do not mix their origins up.
    insertRows("A", 150, 170);
    insertRows("B", 0, 30);
    insertRows("A", 170, 250);
    working.commitTrans();
    a = origins("A");
    ASSERT_EQ(a.size(), 250u);
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], 1000 + i) << i;
    const auto b = origins("B");
    ASSERT_EQ(b.size(), 30u);
    EXPECT_EQ(b.front(), 1000u);
    EXPECT_EQ(b.back(), 1029u);
    EXPECT_EQ(backend().status("A").withOrigin, 250);

    // Rolled back: neither the rows nor their origins stay, and later origins are not shifted.
    working.beginTrans();
    insertRows("A", 250, 320);
    working.rollbackTrans();
    insertRows("A", 400, 401); // outside a transaction: written at once
    a = origins("A");
    ASSERT_EQ(a.size(), 251u);
    EXPECT_EQ(a.back(), 1400u);
    EXPECT_EQ(backend().status("A").rowsNow, 251);
    EXPECT_EQ(backend().status("A").withOrigin, 251);

    // Another connection sees the committed origins without this one doing anything more.
    working.beginTrans();
    insertRows("A", 500, 505);
    working.commitTrans();
    EXPECT_EQ(db::workingCopyStatus("A").withOrigin, 256);
}

TEST_F(RowOriginTest, RowsThatLeaveOrMoveTakeTheirOriginsWithThem) {
    createTexts("A", {"X"});
    insertRows("A", 0, 10);
    const auto counts = [&] {
        const auto st = backend().status("A");
        return std::pair{st.rowsNow, st.withOrigin};
    };
    EXPECT_EQ(counts(), (std::pair{10LL, 10LL}));
    // No operation of ours removes or renumbers a row; a hand on the file can. A row deleted,
    // or given another rowid, no longer knows its record, and no origin is left without a row.
    onTheFile("DELETE FROM A WHERE X = '3'");
    EXPECT_EQ(counts(), (std::pair{9LL, 9LL}));
    onTheFile("UPDATE A SET rowid = 77 WHERE X = '5'");
    EXPECT_EQ(counts(), (std::pair{9LL, 8LL}));
    // A REPLACE that removes a row to make room takes that row's origin as well, when its delete
    // triggers fire (as the working database's own connection has them do).
    onTheFile("PRAGMA recursive_triggers=ON; REPLACE INTO A(rowid, X) VALUES(1, 'new')");
    EXPECT_EQ(counts(), (std::pair{9LL, 7LL}));
    db::WorkingDatabase(working).insertRecordValues("A", {"no origin"}, std::nullopt);
    EXPECT_EQ(counts(), (std::pair{10LL, 7LL}));
    // Every counted origin belongs to a row: the origins of the rows that are left are intact.
    const auto o = origins("A");
    EXPECT_EQ(std::count(o.begin(), o.end(), 0u), 3);
    EXPECT_EQ(std::count(o.begin(), o.end(), 1003u), 0);
    EXPECT_EQ(std::count(o.begin(), o.end(), 1009u), 1);
}

// Columns named RowID and _rowid_ stand for themselves: the copy's bookkeeping keys its rows by
// oid, the one name left.
TEST_F(RowOriginTest, ColumnsNamedAfterTheRowidLeaveTheBookkeepingItsRows) {
    createTexts("R", {"RowID", "_rowid_", "X"});
    for (int i = 0; i < 6; ++i)
        db::WorkingDatabase(working).insertRecordValues(
            "R", {std::to_string(9 - i), "z", std::to_string(i)},
            static_cast<std::uint64_t>(1000 + i));
    EXPECT_EQ(origins("R"), (std::vector<std::uint64_t>{1000, 1001, 1002, 1003, 1004, 1005}));
    // The change of row 2, whose RowID column says 7, is noted for row 2 and its record.
    db::WorkingDatabase(working).replaceValue("R", "X", "two", "2");
    std::vector<std::pair<std::uint64_t, std::string>> changed;
    EXPECT_TRUE(backend().forEachChangedRow(
        "R", [&](std::optional<std::uint64_t> o, const std::vector<Variant>& r) {
            changed.emplace_back(o.value_or(0), r[0].toString() + r[2].toString());
        }));
    EXPECT_EQ(changed, (std::vector<std::pair<std::uint64_t, std::string>>{{1002, "7two"}}));
    // The changed value is spared by a later replacement.
    db::WorkingDatabase(working).replaceValue("R", "X", "again", "two");
    EXPECT_EQ(backend().status("R").withOrigin, 6);
    // A row given another number, or deleted, loses its origin; the RowID column can change
    // freely.
    for (const char* sql : {"UPDATE R SET RowID = '1' WHERE X = '0'",
                            "UPDATE R SET oid = 77 WHERE X = '3'", "DELETE FROM R WHERE X = '4'"})
        onTheFile(sql);
    const auto st = backend().status("R");
    EXPECT_EQ(st.rowsNow, 5);
    EXPECT_EQ(st.withOrigin, 4);
    std::vector<std::string> order;
    backend().forEachRow("R", [&](std::optional<std::uint64_t>, const std::vector<Variant>& r) {
        order.push_back(r[2].toString());
    });
    EXPECT_EQ(order, (std::vector<std::string>{"0", "1", "two", "5", "3"}));
}

// Every name of the rowid taken by a column: the copy is refused before anything is made, and a
// copy an older build made with triggers reading the RowID column is not trusted for changes.
TEST_F(RowOriginTest, ACopyWhoseRowsCannotBeNamedIsRefusedAndStaleTriggersAreNotTrusted) {
    try {
        createTexts("ALL", {"oid", "ROWID", "_Rowid_"});
        ADD_FAILURE() << "the table was made";
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("ROWID, _ROWID_ and OID"), std::string::npos)
            << e.description();
    }
    EXPECT_FALSE(db::TableExistsInDbTemp("ALL"));

    createTexts("OLD", {"RowID", "X"});
    insertRowsInto("OLD");
    EXPECT_TRUE(backend().forEachChangedRow("OLD", [](auto, const auto&) {}));
    working.close();
    onTheFile("DROP TRIGGER MSysQmOnUpdate_OLD; CREATE TRIGGER MSysQmOnUpdate_OLD AFTER UPDATE ON "
              "OLD BEGIN INSERT OR IGNORE INTO MSysQmChanged_OLD VALUES(old.rowid); END");
    working.open(db::workingDatabaseConnectionString());
    EXPECT_FALSE(backend().forEachChangedRow("OLD", [](auto, const auto&) {}));
    // Every row is still compared with its record.
    EXPECT_EQ(origins("OLD"), (std::vector<std::uint64_t>{1000, 1001, 1002}));
    EXPECT_EQ(backend().status("OLD").withOrigin, 3);
}

TEST_F(RowOriginTest, ValuesHandedOverMeetJetsChecks) {
    db::WorkingDatabase(working).createCopy("T", {{"N", db::JetType::Long, 0},
                                                  {"D", db::JetType::DateTime, 0},
                                                  {"S", db::JetType::Text, 3},
                                                  {"M", db::JetType::Memo, 0}});
    using Row = std::vector<std::optional<std::string>>;
    struct Case {
        Row values;
        long code;
        std::string description;
    };
    const std::string mismatch = "Data type mismatch in criteria expression.";
    const std::vector<Case> cases = {
        {{"abc", std::nullopt, std::nullopt, std::nullopt}, code::TypeMismatch, mismatch},
        {{"1", "yesterday", std::nullopt, std::nullopt}, code::TypeMismatch, mismatch},
        {{"1", std::nullopt, "long", std::nullopt},
         code::TooLong,
         "The field is too small to accept the amount of data you attempted to add. Try "
         "inserting or pasting less data."},
        {{"1", std::nullopt},
         code::Unspecified,
         "Number of query values and destination fields are not the same."},
    };
    for (const auto& c : cases) {
        try {
            backend().insertTexts("T", c.values, std::nullopt);
            ADD_FAILURE() << c.description;
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), c.code) << c.description;
            EXPECT_EQ(e.description(), c.description);
        }
    }
    try {
        backend().insertTexts("NOSUCH", {"1"}, std::nullopt);
        ADD_FAILURE() << "a missing table took a row";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::NoSuchTable);
    }
    // Accepted ones arrive exactly, '007' and apostrophes included.
    backend().insertTexts("T", {"007", "2021-08-31", "a'b", "it's"}, std::nullopt);
    std::vector<std::vector<Variant>> rows;
    backend().forEachRow("T", [&](std::optional<std::uint64_t>, const std::vector<Variant>& r) {
        rows.push_back(r);
    });
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<Variant>{"007", "2021-08-31", "a'b", "it's"}));
}

TEST_F(RowOriginTest, ImportOfManyRecordsKeepsEveryOriginAndValue) {
    std::vector<std::vector<std::string>> records;
    for (int i = 0; i < 333; ++i)
        records.push_back({"it's " + std::to_string(i), i % 4 ? std::to_string(i) : "",
                           i % 3 ? std::string(static_cast<std::size_t>(i * 13), 'm') : ""});
    const fs::path db = makeTable(
        "MANY.DB",
        {{"A", FieldType::Alpha, 30}, {"N", FieldType::Long, 0}, {"M", FieldType::Memo, 15}},
        records);
    working.close();
    FakeUserInterface ui;
    FixedFolder folder(paradoxDir.string());
    const auto status = db::sendTableToAccess(ui, folder, "MANY");
    EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
    EXPECT_TRUE(status.complete());
    EXPECT_EQ(status.withOrigin, 333);

    working.open(db::workingDatabaseConnectionString());
    const auto table = paradox::Table::open(db);
    const auto offsets = table.recordOffsets();
    std::size_t i = 0;
    backend().forEachRow(
        "MANY", [&](std::optional<std::uint64_t> o, const std::vector<Variant>& r) {
            ASSERT_LT(i, records.size());
            EXPECT_EQ(o.value_or(0), offsets[i]) << i;
            for (std::size_t k = 0; k < r.size(); ++k)
                EXPECT_EQ(r[k], records[i][k].empty() ? Variant::null() : Variant(records[i][k]))
                    << i << " " << k;
            ++i;
        });
    EXPECT_EQ(i, records.size());
    // Each record went in as its values, apostrophes and all.
    const auto copied = workingOperations();
    ASSERT_GE(copied.size(), 2u);
    EXPECT_NE(std::find(copied.begin(), copied.end(),
                        "copy MANY('it's 1', '1', '" + std::string(13, 'm') + "')"),
              copied.end());
}

} // namespace
} // namespace qm::test
