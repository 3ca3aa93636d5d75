#include "db_fixture.h"

#include "app/error.h"
#include "db/backend.h"
#include "db/paradox_write_back.h"
#include "db/sqlite_backend.h"
#include "db/working_database.h"

namespace qm::test {
namespace {

using db::Connection;
using db::Recordset;

class WorkingDatabaseTest : public DbFixture {
  protected:
    void SetUp() override {
        DbFixture::SetUp();
        conn.setMode(db::adModeReadWrite);
        conn.open(db::workingDatabaseConnectionString());
    }
    long codeOf(const std::string& sql) {
        try {
            conn.execute(sql);
        } catch (const Error& e) {
            return e.code();
        }
        return 0;
    }
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        Recordset rs;
        rs.open(sql, conn, db::adOpenStatic, db::adLockOptimistic);
        std::vector<std::vector<std::string>> out;
        while (!rs.eof()) {
            std::vector<std::string> r;
            for (int i = 0; i < rs.fieldCount(); ++i)
                r.push_back(rs.value(i).isNull() ? "<NULL>" : rs.value(i).toString());
            out.push_back(r);
            rs.moveNext();
        }
        return out;
    }
    db::SqliteBackend& backend() { return *conn.workingBackend(); }
    Connection conn;
};

TEST_F(WorkingDatabaseTest, ValuesComeBackExactlyWhateverTheColumnType) {
    conn.execute("CREATE TABLE `T`(`A` TEXT,`N` INT,`F` FLOAT,`D` DATETIME,`M` MEMO,`X` "
                 "NUMERIC);");
    const std::string big(300, 'x');
    conn.execute("INSERT INTO `T` VALUES('007', '007', '1e+20', '2021-08-31', '" + big +
                 "', '12345678901234567890.123456789012')");
    conn.execute("INSERT INTO `T` VALUES(NULL, NULL, '0.1', NULL, 'O''Hara', NULL)");
    const auto r = rows("SELECT * FROM `T`");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"007", "007", "1e+20", "2021-08-31", big,
                                              "12345678901234567890.123456789012"}));
    EXPECT_EQ(r[1],
              (std::vector<std::string>{"<NULL>", "<NULL>", "0.1", "<NULL>", "O'Hara", "<NULL>"}));
    Recordset rs;
    rs.open("select * from [t]", conn);
    EXPECT_EQ(rs.fieldName(0), "A");
    EXPECT_EQ(rs.fieldType(0), 202);
    EXPECT_EQ(rs.fieldType(1), 3);
    EXPECT_EQ(rs.fieldType(2), 5);
    EXPECT_EQ(rs.fieldType(3), 7);
    EXPECT_EQ(rs.fieldType(4), 203);
    EXPECT_EQ(rs.recordCount(), 2);
}

TEST_F(WorkingDatabaseTest, JetRulesOnValuesAndComparisons) {
    conn.execute("CREATE TABLE `T`(`A` TEXT,`N` INT,`D` DATETIME,`M` MEMO);");
    conn.execute("INSERT INTO `T` VALUES('black cat', '5', '2020-01-02', 'memo')");
    // A number or date column compared with a quoted text.
    EXPECT_EQ(codeOf("update `T` set `N` = '6' where `N` = '5'"), code::TypeMismatch);
    EXPECT_EQ(codeOf("update `T` set `D` = '2020-01-03' where `D` = '2020-01-02'"),
              code::TypeMismatch);
    EXPECT_THROW(rows("SELECT * FROM `T` WHERE `N` = '5'"), Error);
    // Values a column cannot hold.
    EXPECT_EQ(codeOf("INSERT INTO `T` VALUES('a', 'five', NULL, NULL)"), code::TypeMismatch);
    EXPECT_EQ(codeOf("INSERT INTO `T` VALUES('a', NULL, 'yesterday', NULL)"), code::TypeMismatch);
    EXPECT_EQ(codeOf("INSERT INTO `T` VALUES('" + std::string(256, 'a') + "', NULL, NULL, NULL)"),
              code::TooLong);
    EXPECT_EQ(
        codeOf("update `T` set `A` = '" + std::string(256, 'a') + "' where `A` = 'black cat'"),
        code::TooLong);
    // 255 characters fit, counted as characters, not bytes.
    std::string wide;
    for (int i = 0; i < 255; ++i)
        wide += "\xC3\xA9";
    EXPECT_EQ(codeOf("INSERT INTO `T` VALUES('" + wide + "', NULL, NULL, NULL)"), 0);
    // The other failures of the replace run's list.
    EXPECT_EQ(codeOf("update `Nope` set `A` = 'x' where `A` = 'y'"), code::NoSuchTable);
    EXPECT_EQ(codeOf("update `T` set where"), code::Malformed);
    EXPECT_EQ(codeOf("INSERT INTO `T` VALUES('a', 'b"), code::Malformed);
    EXPECT_EQ(codeOf("CREATE TABLE `T`(`A` TEXT);"), code::Malformed);
    EXPECT_EQ(codeOf("CREATE TABLE `U`(`A` VARIANTTYPE);"), code::Malformed);
    EXPECT_EQ(codeOf("DROP TABLE `Nope`"), code::NoSuchTable);
    // Nothing above changed the row.
    EXPECT_EQ(rows("SELECT `A`, `N`, `D` FROM `T` WHERE `A` = 'black cat'").size(), 1u);
}

TEST_F(WorkingDatabaseTest, UpdateComparesExactlyAndChangesEveryEqualRow) {
    conn.execute("CREATE TABLE `Pets`(`Name` TEXT,`Kind` TEXT);");
    for (const char* v : {"black cat", "Black cat", "black cat", "black cat "})
        conn.execute(std::string("INSERT INTO `Pets` VALUES('") + v + "', 'x')");
    conn.execute("update `Pets` set `Name` = 'black dog' where `Name` = 'black cat'");
    const auto r = rows("SELECT `Name` FROM `Pets`");
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0][0], "black dog");
    EXPECT_EQ(r[1][0], "Black cat");
    EXPECT_EQ(r[2][0], "black dog");
    EXPECT_EQ(r[3][0], "black cat ");
    // The equality goes through an index, not a scan of the table.
    const std::string plan =
        backend().queryPlan("update `Pets` set `Name` = 'x' where `Name` = 'black dog'");
    EXPECT_NE(plan.find("INDEX MSysQmIx_"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
}

TEST_F(WorkingDatabaseTest, AnUpdateFromTheSnapshotSparesValuesAnEarlierOneChanged) {
    conn.execute("CREATE TABLE `Pets`(`Name` TEXT,`Kind` TEXT);");
    for (const char* v : {"cat", "dog", "cow"})
        conn.execute(std::string("INSERT INTO `Pets` VALUES('") + v + "', 'x')");
    db::WorkingDatabase working(conn);
    operations.clear();
    // cat -> dog, then the snapshot's dog -> cow: the row that was cat keeps its new value, the
    // row that was dog takes its own.
    working.replaceValue("Pets", "Name", "dog", "cat");
    working.replaceValue("Pets", "Name", "cow", "dog");
    // A change in another column leaves the Name column open.
    working.updateFromSnapshot("update `Pets` set `Kind` = 'y' where `Name` = 'cow'");
    working.updateFromSnapshot("update `Pets` set `Name` = 'ox' where `Name` = 'cow'");
    const auto r = rows("SELECT * FROM `Pets`");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"dog", "x"}));
    EXPECT_EQ(r[1], (std::vector<std::string>{"cow", "y"}));
    EXPECT_EQ(r[2], (std::vector<std::string>{"ox", "y"}));
    // Told to the operation log as what they are.
    ASSERT_EQ(workingOperations().size(), 2u);
    EXPECT_EQ(workingOperations()[0], "replace Pets.Name 'cat' -> 'dog'");
    // A plain UPDATE changes every equal row, whatever came before.
    conn.execute("update `Pets` set `Name` = 'hen' where `Name` = 'dog'");
    EXPECT_EQ(rows("SELECT `Name` FROM `Pets` WHERE `Name` = 'hen'").size(), 1u);
    conn.execute("update `Pets` set `Name` = 'hen' where `Name` <> 'hen'");
    EXPECT_EQ(rows("SELECT `Name` FROM `Pets` WHERE `Name` = 'hen'").size(), 3u);
    // Only an UPDATE is one.
    try {
        working.updateFromSnapshot("DELETE FROM `Pets`");
        ADD_FAILURE() << "a DELETE ran as an update from the snapshot";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::Malformed);
    }
    EXPECT_EQ(rows("SELECT * FROM `Pets`").size(), 3u);
}

TEST_F(WorkingDatabaseTest, AnUpdateFromTheSnapshotOfOneRowSeveralOrNoneNotesEachChange) {
    conn.execute("CREATE TABLE `Pets`(`Name` TEXT,`Kind` TEXT);");
    for (const char* v : {"cat", "dog", "O''Hara", "dog", "cow"})
        conn.execute(std::string("INSERT INTO `Pets` VALUES('") + v + "', 'x')");
    db::WorkingDatabase working(conn);
    const auto changedRows = [&] {
        std::vector<std::string> names;
        backend().forEachChangedRow(
            "Pets", [&](std::optional<std::uint64_t>, const std::vector<Variant>& row) {
                names.push_back(row[0].toString());
            });
        return names;
    };
    working.updateFromSnapshot("update `Pets` set `Name` = 'ant' where `Name` = 'cat'");
    working.updateFromSnapshot("update `Pets` set `Name` = 'elk' where `Name` = 'dog'");
    working.updateFromSnapshot("update `Pets` set `Name` = 'O''Neil' where `Name` = 'O''Hara'");
    working.updateFromSnapshot("update `Pets` set `Name` = 'yak' where `Name` = 'gnu'");
    EXPECT_EQ(changedRows(), (std::vector<std::string>{"ant", "elk", "O'Neil", "elk"}));
    // Each changed value is spared by the next UPDATE, however many rows the first one found.
    for (const char* v : {"ant", "elk", "O''Neil"})
        working.updateFromSnapshot(
            std::string("update `Pets` set `Name` = 'bee' where `Name` = '") + v + "'");
    working.updateFromSnapshot("update `Pets` set `Kind` = 'y' where `Name` = 'elk'");
    const auto r = rows("SELECT * FROM `Pets`");
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"ant", "x"}));
    EXPECT_EQ(r[1], (std::vector<std::string>{"elk", "y"}));
    EXPECT_EQ(r[2], (std::vector<std::string>{"O'Neil", "x"}));
    EXPECT_EQ(r[3], (std::vector<std::string>{"elk", "y"}));
    EXPECT_EQ(r[4], (std::vector<std::string>{"cow", "x"}));
    EXPECT_EQ(changedRows(), (std::vector<std::string>{"ant", "elk", "O'Neil", "elk"}));
    // A statement that names no column of the table fails and changes nothing.
    EXPECT_THROW(working.updateFromSnapshot("update `Pets` set `Nome` = 'x' where `Name` = 'cow'"),
                 Error);
    EXPECT_EQ(rows("SELECT * FROM `Pets` WHERE `Name` = 'cow'").size(), 1u);
}

TEST_F(WorkingDatabaseTest, AColumnNamedLikeTheRowidDoesNotStandForIt) {
    conn.execute("CREATE TABLE `R`(`RowId` TEXT,`Name` TEXT);");
    conn.execute("INSERT INTO `R` VALUES('7', 'cat')");
    conn.execute("INSERT INTO `R` VALUES('7', 'dog')");
    db::WorkingDatabase working(conn);
    working.updateFromSnapshot("update `R` set `Name` = 'ant' where `Name` = 'cat'");
    EXPECT_EQ(rows("SELECT `Name` FROM `R` WHERE `Name` = 'dog'").size(), 1u);
    EXPECT_EQ(rows("SELECT `Name` FROM `R` WHERE `Name` = 'ant'").size(), 1u);
}

TEST_F(WorkingDatabaseTest, TheWorkingDatabaseObjectNeedsAConnectionToIt) {
    Connection paradox;
    EXPECT_THROW(db::WorkingDatabase{paradox}, Error) << "closed";
    paradox.open(db::paradoxConnectionString(paradoxDir.string()));
    try {
        db::WorkingDatabase working(paradox);
        ADD_FAILURE() << "a Paradox folder was taken for the working database";
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("not one to the working database"), std::string::npos);
    }
}

TEST_F(WorkingDatabaseTest, SnapshotKeepsTheValuesItOpenedWith) {
    conn.execute("CREATE TABLE `T`(`A` TEXT);");
    conn.execute("INSERT INTO `T` VALUES('cat')");
    conn.execute("INSERT INTO `T` VALUES('cat')");
    Recordset rs;
    rs.open("SELECT * FROM `T`", conn, db::adOpenStatic, db::adLockOptimistic);
    EXPECT_EQ(rs.recordCount(), 2);
    conn.execute("update `T` set `A` = 'dog' where `A` = 'cat'");
    conn.execute("INSERT INTO `T` VALUES('cow')");
    int seen = 0;
    for (; !rs.eof(); rs.moveNext(), ++seen)
        EXPECT_EQ(rs.value(0).toString(), "cat");
    EXPECT_EQ(seen, 2);
    rs.close();
    EXPECT_EQ(rows("SELECT * FROM `T` WHERE `A` = 'dog'").size(), 2u);
}

TEST_F(WorkingDatabaseTest, TopBracketsAndExportStatement) {
    conn.execute("CREATE TABLE `T`(`A` TEXT);");
    for (int i = 0; i < 5; ++i)
        conn.execute("INSERT INTO `T` VALUES('" + std::to_string(i) + "')");
    EXPECT_EQ(rows("select top 3 * from [T]").size(), 3u);
    EXPECT_EQ(rows("select * from [t]").size(), 5u);

    const std::string exportSql =
        "select top 5 * into [Paradox 5.x;Database=/x/my folder/].[T.db] from [T]";
    // Without the writer installed, the export fails clearly and writes nothing.
    EXPECT_EQ(codeOf(exportSql), code::Unspecified);
    struct Recorder : db::ParadoxWriteBack {
        void dropTable(const db::ParadoxDropRequest&) override { ADD_FAILURE(); }
        void exportTable(const db::ParadoxExportRequest& r) override { seen = r; }
        db::ParadoxExportRequest seen;
    } recorder;
    conn.close();
    conn.setWriteBack(&recorder);
    conn.open(db::workingDatabaseConnectionString());
    conn.execute(exportSql);
    const db::ParadoxExportRequest& seen = recorder.seen;
    EXPECT_EQ(seen.count, 5);
    EXPECT_EQ(seen.targetFolder, "/x/my folder/");
    EXPECT_EQ(seen.targetFile, "T.db");
    EXPECT_EQ(seen.sourceTable, "T");
    EXPECT_EQ(seen.workingDatabase, appDir / "dbTemp.mdb");

    conn.execute("DROP TABLE [T]");
    EXPECT_FALSE(db::TableExistsInDbTemp("T"));
}

TEST_F(WorkingDatabaseTest, TwoConnectionsShareTheFile) {
    conn.execute("CREATE TABLE `T`(`A` TEXT);");
    conn.beginTrans();
    conn.execute("INSERT INTO `T` VALUES('a')");
    // Another connection (as TableExistsInDbTemp opens) reads while this one writes.
    EXPECT_TRUE(db::TableExistsInDbTemp("t"));
    conn.commitTrans();
    EXPECT_EQ(rows("SELECT * FROM `T`").size(), 1u);
    conn.beginTrans();
    conn.execute("INSERT INTO `T` VALUES('b')");
    conn.rollbackTrans();
    EXPECT_EQ(rows("SELECT * FROM `T`").size(), 1u);
}

} // namespace
} // namespace qm::test
