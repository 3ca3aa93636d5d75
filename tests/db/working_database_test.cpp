#include "db_fixture.h"

#include "app/error.h"
#include "db/backend.h"
#include "db/paradox_write_back.h"
#include "db/sqlite_backend.h"
#include "db/working_database.h"

namespace qm::test {
namespace {

using db::Connection;
using db::JetType;
using db::Recordset;
using Rows = std::vector<std::vector<std::string>>;

class WorkingDatabaseTest : public DbFixture {
  protected:
    void SetUp() override {
        DbFixture::SetUp();
        conn.setMode(db::adModeReadWrite);
        conn.open(db::workingDatabaseConnectionString());
    }
    db::WorkingDatabase working() { return db::WorkingDatabase(conn); }
    void createTexts(const std::string& table, const std::vector<std::string>& names) {
        std::vector<db::JetColumn> columns;
        for (const auto& n : names)
            columns.push_back({n, JetType::Text, 255});
        working().createCopy(table, columns);
    }
    void insert(const std::string& table, const db::Params& values) {
        working().insertRecordValues(table, values, std::nullopt);
    }
    static long codeOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const Error& e) {
            return e.code();
        }
        return 0;
    }
    // Every row of a copy in record order, NULL as "<NULL>"; told to no operation log.
    Rows rows(const std::string& table) {
        Recordset rs;
        rs.attach(conn.workingBackend()->openCopy(table));
        Rows out;
        while (!rs.eof()) {
            std::vector<std::string> r;
            for (int i = 0; i < rs.fieldCount(); ++i)
                r.push_back(rs.value(i).isNull() ? "<NULL>" : rs.value(i).toString());
            out.push_back(r);
            rs.moveNext();
        }
        return out;
    }
    // The values of a column over every row.
    std::vector<std::string> column(const std::string& table, std::size_t k) {
        std::vector<std::string> out;
        for (const auto& r : rows(table))
            out.push_back(r.at(k));
        return out;
    }
    db::SqliteBackend& backend() { return *conn.workingBackend(); }
    Connection conn;
};

TEST_F(WorkingDatabaseTest, ValuesComeBackExactlyWhateverTheColumnType) {
    working().createCopy("T", {{"A", JetType::Text, 255},
                               {"N", JetType::Long, 0},
                               {"F", JetType::Double, 0},
                               {"D", JetType::DateTime, 0},
                               {"M", JetType::Memo, 0},
                               {"X", JetType::Numeric, 0}});
    const std::string big(300, 'x');
    insert("T", {"007", "007", "1e+20", "2021-08-31", big, "12345678901234567890.123456789012"});
    insert("T", {std::nullopt, std::nullopt, "0.1", std::nullopt, "O'Hara", std::nullopt});
    const auto r = rows("T");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"007", "007", "1e+20", "2021-08-31", big,
                                              "12345678901234567890.123456789012"}));
    EXPECT_EQ(r[1],
              (std::vector<std::string>{"<NULL>", "<NULL>", "0.1", "<NULL>", "O'Hara", "<NULL>"}));
    Recordset rs;
    rs.attach(working().openCopy("t"));
    EXPECT_EQ(rs.fieldName(0), "A");
    EXPECT_EQ(rs.fieldType(0), 202);
    EXPECT_EQ(rs.fieldType(1), 3);
    EXPECT_EQ(rs.fieldType(2), 5);
    EXPECT_EQ(rs.fieldType(3), 7);
    EXPECT_EQ(rs.fieldType(4), 203);
    EXPECT_EQ(rs.recordCount(), 2);
}

TEST_F(WorkingDatabaseTest, JetRulesOnValuesAndComparisons) {
    working().createCopy("T", {{"A", JetType::Text, 255},
                               {"N", JetType::Long, 0},
                               {"D", JetType::DateTime, 0},
                               {"M", JetType::Memo, 0}});
    insert("T", {"black cat", "5", "2020-01-02", "memo"});
    const auto replace = [&](const char* column, const std::string& to, const std::string& from) {
        return codeOf([&] { working().replaceValue("T", column, to, from); });
    };
    const auto insertCode = [&](const db::Params& values) {
        return codeOf([&] { insert("T", values); });
    };
    // A number or date column compared with a text.
    EXPECT_EQ(replace("N", "6", "5"), code::TypeMismatch);
    EXPECT_EQ(replace("D", "2020-01-03", "2020-01-02"), code::TypeMismatch);
    // Values a column cannot hold.
    EXPECT_EQ(insertCode({"a", "five", std::nullopt, std::nullopt}), code::TypeMismatch);
    EXPECT_EQ(insertCode({"a", std::nullopt, "yesterday", std::nullopt}), code::TypeMismatch);
    EXPECT_EQ(insertCode({std::string(256, 'a'), std::nullopt, std::nullopt, std::nullopt}),
              code::TooLong);
    EXPECT_EQ(replace("A", std::string(256, 'a'), "black cat"), code::TooLong);
    // 255 characters fit, counted as characters, not bytes.
    std::string wide;
    for (int i = 0; i < 255; ++i)
        wide += "\xC3\xA9";
    EXPECT_EQ(insertCode({wide, std::nullopt, std::nullopt, std::nullopt}), 0);
    // The other failures of the replace run's list.
    EXPECT_EQ(codeOf([&] { working().replaceValue("Nope", "A", "x", "y"); }), code::NoSuchTable);
    EXPECT_EQ(codeOf([&] { createTexts("t", {"A"}); }), code::Malformed) << "the name is taken";
    EXPECT_EQ(codeOf([&] { working().createCopy("U", {}); }), code::Malformed);
    EXPECT_EQ(codeOf([&] { working().dropCopy("Nope"); }), code::NoSuchTable);
    // Nothing above changed the row.
    const auto r = rows("T");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"black cat", "5", "2020-01-02", "memo"}));
}

TEST_F(WorkingDatabaseTest, AReplacementComparesExactlyAndChangesEveryEqualRow) {
    createTexts("Pets", {"Name", "Kind"});
    for (const char* v : {"black cat", "Black cat", "black cat", "black cat "})
        insert("Pets", {v, "x"});
    working().replaceValue("Pets", "Name", "black dog", "black cat");
    EXPECT_EQ(column("Pets", 0),
              (std::vector<std::string>{"black dog", "Black cat", "black dog", "black cat "}));
    // The equality goes through an index, not a scan of the table.
    conn.close();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((appDir / "dbTemp.mdb").c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw,
                                 "EXPLAIN QUERY PLAN SELECT rowid FROM Pets WHERE Name = 'black "
                                 "dog'",
                                 -1, &s, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(raw);
    std::string plan;
    while (sqlite3_step(s) == SQLITE_ROW)
        plan += reinterpret_cast<const char*>(sqlite3_column_text(s, 3)) + std::string("\n");
    sqlite3_finalize(s);
    sqlite3_close(raw);
    EXPECT_NE(plan.find("INDEX MSysQmIx_"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
}

TEST_F(WorkingDatabaseTest, AReplacementSparesValuesAnEarlierOneChanged) {
    createTexts("Pets", {"Name", "Kind"});
    for (const char* v : {"cat", "dog", "cow"})
        insert("Pets", {v, "x"});
    operations.clear();
    // cat -> dog, then the snapshot's dog -> cow: the row that was cat keeps its new value, the
    // row that was dog takes its own.
    working().replaceValue("Pets", "Name", "dog", "cat");
    working().replaceValue("Pets", "Name", "cow", "dog");
    // A change in another column leaves the Name column open.
    working().replaceValue("Pets", "Kind", "y", "x");
    working().replaceValue("Pets", "Name", "ox", "cow");
    const auto r = rows("Pets");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"dog", "y"}));
    EXPECT_EQ(r[1], (std::vector<std::string>{"cow", "y"}));
    EXPECT_EQ(r[2], (std::vector<std::string>{"ox", "y"}));
    // Told to the operation log as what they are.
    ASSERT_EQ(workingOperations().size(), 4u);
    EXPECT_EQ(workingOperations()[0], "replace Pets.Name 'cat' -> 'dog'");
    EXPECT_EQ(workingOperations()[2], "replace Pets.Kind 'x' -> 'y'");
}

TEST_F(WorkingDatabaseTest, AReplacementOfOneRowSeveralOrNoneNotesEachChange) {
    createTexts("Pets", {"Name", "Kind"});
    for (const char* v : {"cat", "dog", "O'Hara", "dog", "cow"})
        insert("Pets", {v, "x"});
    const auto changedRows = [&] {
        std::vector<std::string> names;
        backend().forEachChangedRow(
            "Pets", [&](std::optional<std::uint64_t>, const std::vector<Variant>& row) {
                names.push_back(row[0].toString());
            });
        return names;
    };
    working().replaceValue("Pets", "Name", "ant", "cat");
    working().replaceValue("Pets", "Name", "elk", "dog");
    working().replaceValue("Pets", "Name", "O'Neil", "O'Hara");
    working().replaceValue("Pets", "Name", "yak", "gnu");
    EXPECT_EQ(changedRows(), (std::vector<std::string>{"ant", "elk", "O'Neil", "elk"}));
    // Each changed value is spared by the next replacement, however many rows the first found.
    for (const char* v : {"ant", "elk", "O'Neil"})
        working().replaceValue("Pets", "Name", "bee", v);
    working().replaceValue("Pets", "Kind", "y", "x");
    const auto r = rows("Pets");
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"ant", "y"}));
    EXPECT_EQ(r[1], (std::vector<std::string>{"elk", "y"}));
    EXPECT_EQ(r[2], (std::vector<std::string>{"O'Neil", "y"}));
    EXPECT_EQ(r[3], (std::vector<std::string>{"elk", "y"}));
    EXPECT_EQ(r[4], (std::vector<std::string>{"cow", "y"}));
    EXPECT_EQ(changedRows(), (std::vector<std::string>{"ant", "elk", "O'Neil", "elk", "cow"}));
    // A replacement that names no column of the table fails and changes nothing.
    try {
        working().replaceValue("Pets", "Nome", "x", "cow");
        ADD_FAILURE() << "a column that is not there took a value";
    } catch (const Error& e) {
        EXPECT_EQ(e.description(), "No value given for one or more required parameters.");
    }
    EXPECT_EQ(column("Pets", 0)[4], "cow");
}

TEST_F(WorkingDatabaseTest, AColumnNamedLikeTheRowidDoesNotStandForIt) {
    createTexts("R", {"RowId", "Name"});
    insert("R", {"7", "cat"});
    insert("R", {"7", "dog"});
    working().replaceValue("R", "Name", "ant", "cat");
    EXPECT_EQ(column("R", 1), (std::vector<std::string>{"ant", "dog"}));
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
    createTexts("T", {"A"});
    insert("T", {"cat"});
    insert("T", {"cat"});
    Recordset rs;
    rs.attach(working().openCopy("T"));
    EXPECT_EQ(rs.recordCount(), 2);
    working().replaceValue("T", "A", "dog", "cat");
    insert("T", {"cow"});
    int seen = 0;
    for (; !rs.eof(); rs.moveNext(), ++seen)
        EXPECT_EQ(rs.value(0).toString(), "cat");
    EXPECT_EQ(seen, 2);
    rs.close();
    EXPECT_EQ(column("T", 0), (std::vector<std::string>{"dog", "dog", "cow"}));
}

TEST_F(WorkingDatabaseTest, TheExportGoesToTheWriteBackAndTheDropRemovesTheCopy) {
    createTexts("T", {"A"});
    for (int i = 0; i < 5; ++i)
        insert("T", {std::to_string(i)});
    EXPECT_EQ(rows("t").size(), 5u);

    const auto exportCopy = [&] { working().exportCopy("t", 5, "/x/my folder/", "T.db"); };
    // Without the writer installed, the export fails clearly and writes nothing.
    EXPECT_EQ(codeOf(exportCopy), code::Unspecified);
    struct Recorder : db::ParadoxWriteBack {
        void dropTable(const db::ParadoxDropRequest&) override { ADD_FAILURE(); }
        void exportTable(const db::ParadoxExportRequest& r) override { seen = r; }
        db::ParadoxExportRequest seen;
    } recorder;
    conn.close();
    conn.setWriteBack(&recorder);
    conn.open(db::workingDatabaseConnectionString());
    exportCopy();
    const db::ParadoxExportRequest& seen = recorder.seen;
    EXPECT_EQ(seen.count, 5);
    EXPECT_EQ(seen.targetFolder, "/x/my folder/");
    EXPECT_EQ(seen.targetFile, "T.db");
    EXPECT_EQ(seen.sourceTable, "T");
    EXPECT_EQ(seen.workingDatabase, appDir / "dbTemp.mdb");

    working().dropCopy("T");
    EXPECT_FALSE(db::TableExistsInDbTemp("T"));
}

TEST_F(WorkingDatabaseTest, TwoConnectionsShareTheFile) {
    createTexts("T", {"A"});
    conn.beginTrans();
    insert("T", {"a"});
    // Another connection (as TableExistsInDbTemp opens) reads while this one writes.
    EXPECT_TRUE(db::TableExistsInDbTemp("t"));
    conn.commitTrans();
    EXPECT_EQ(rows("T").size(), 1u);
    conn.beginTrans();
    insert("T", {"b"});
    conn.rollbackTrans();
    EXPECT_EQ(rows("T").size(), 1u);
}

} // namespace
} // namespace qm::test
