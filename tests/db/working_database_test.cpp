#include "db_fixture.h"

#include "app/error.h"
#include "db/backend.h"
#include "db/hooks.h"
#include "db/sqlite_backend.h"

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
    db::SqliteBackend& backend() { return dynamic_cast<db::SqliteBackend&>(conn.backend()); }
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
    db::ParadoxExportRequest seen;
    db::setParadoxExportHandler([&](const db::ParadoxExportRequest& r) { seen = r; });
    conn.execute(exportSql);
    db::setParadoxExportHandler(nullptr);
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
