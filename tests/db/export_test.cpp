#include "db_fixture.h"

#include "db/export.h"
#include "db/import.h"
#include "db/write_back_session.h"
#include "fake_user_interface.h"
#include "paradox/table.h"

namespace qm::test {
namespace {

using paradox::FieldType;

class ExportTest : public DbFixture {
  protected:
    void SetUp() override {
        DbFixture::SetUp();
        session.emplace(temp_.path() / "backups");
    }
    db::WriteBack sendTableToParadox(const CurrentFolder& folder, const std::string& table) {
        return db::sendTableToParadox(ui, folder, table, *session);
    }
    fs::path pets() {
        return makeTable("Pets.db", {{"Name", FieldType::Alpha, 20}, {"Age", FieldType::Long, 0}},
                         {{"cat", "1"}, {"dog", "2"}, {"cow", "3"}});
    }
    std::map<std::string, std::string> folderBytes() const {
        std::map<std::string, std::string> m;
        for (const auto& e : fs::directory_iterator(paradoxDir)) {
            std::ifstream in(e.path(), std::ios::binary);
            m[e.path().filename().string()] = {std::istreambuf_iterator<char>(in),
                                               std::istreambuf_iterator<char>()};
        }
        return m;
    }
    FakeUserInterface ui;
    std::optional<db::WriteBackSession> session;
};

TEST_F(ExportTest, TheCopyIsExportedWholeAndOnlyTheChangedValueIsWritten) {
    const fs::path db = pets();
    FixedFolder folder(paradoxDir.string() + "/");
    ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
    replaceValue("PETS", "Name", "kitten", "cat");
    operations.clear();

    const auto w = sendTableToParadox(folder, "PETS");
    EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
    ASSERT_EQ(w.state, db::WriteBack::State::Written) << w.reason;
    EXPECT_EQ(w.valuesChanged, 1);
    EXPECT_EQ(paradoxOperations(), (std::vector<std::string>{"drop table PETS"}));
    EXPECT_EQ(workingOperations(),
              (std::vector<std::string>{
                  "open copy PETS", "export PETS '3', '" + paradoxDir.string() + "/', 'PETS.db'",
                  "drop copy PETS"}));
    EXPECT_FALSE(db::TableExistsInDbTemp("PETS"));
    EXPECT_TRUE(fs::exists(paradoxDir / "Pets.db")) << "the file keeps its name";
    const auto t = paradox::Table::open(db);
    std::vector<std::string> names;
    t.forEachRecord([&](const paradox::Record& r) {
        names.push_back(paradox::textForm(t.fields()[0], r.value(0)));
    });
    EXPECT_EQ(names, (std::vector<std::string>{"kitten", "dog", "cow"}));
    EXPECT_TRUE(fs::exists(w.backupFolder));
}

TEST_F(ExportTest, AWorkingCopyNeverMadeIsNeitherDroppedNorExported) {
    // The folder does not exist and nothing was imported: the failures are reported, the table
    // would not be dropped and nothing is exported.
    FixedFolder folder("//server/share/data");
    sendTableToParadox(folder, "PETS");
    const auto st = workingOperations();
    EXPECT_TRUE(std::none_of(st.begin(), st.end(), [](const std::string& s) {
        return s.starts_with("export");
    })) << "a working copy that was never made is not exported";
    EXPECT_TRUE(paradoxOperations().empty());
    EXPECT_FALSE(ui.boxes.empty()) << "the failures are reported";
}

TEST_F(ExportTest, AnIncompleteWorkingCopyIsNeverWrittenBackAndIsKept) {
    pets();
    FixedFolder folder(paradoxDir.string());
    ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
    replaceValue("PETS", "Name", "kitten", "cat");
    onTheFile("DELETE FROM \"PETS\" WHERE \"Name\" = 'cow'");
    const auto before = folderBytes();
    operations.clear();
    const auto w = sendTableToParadox(folder, "PETS");
    EXPECT_EQ(w.state, db::WriteBack::State::NotWritten);
    EXPECT_NE(w.reason.find("2 records, the table 3"), std::string::npos) << w.reason;
    EXPECT_TRUE(paradoxOperations().empty()) << "nothing is dropped";
    EXPECT_TRUE(folderBytes() == before);
    EXPECT_TRUE(db::TableExistsInDbTemp("PETS"));
}

TEST_F(ExportTest, NoChangeNoFileTouchedAndTheDropAloneMovesNothing) {
    pets();
    FixedFolder folder(paradoxDir.string());
    ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
    const auto before = folderBytes();
    auto w = sendTableToParadox(folder, "PETS");
    EXPECT_EQ(w.state, db::WriteBack::State::Unchanged);
    EXPECT_TRUE(folderBytes() == before);
    EXPECT_FALSE(fs::exists(temp_.path() / "backups") &&
                 std::distance(fs::directory_iterator(temp_.path() / "backups"),
                               fs::directory_iterator()) > 1);

    // A drop that gets no export leaves the table where it is; an export that no drop
    // announced is refused like Jet refuses a table that exists.
    db::Connection p;
    p.setWriteBack(&*session);
    p.open(db::paradoxConnectionString(paradoxDir.string()));
    db::ParadoxFolder(p).dropTable("PETS");
    EXPECT_TRUE(folderBytes() == before);
    ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
    replaceValue("PETS", "Name", "kitten", "cat");
    ui.boxes.clear();
    w = sendTableToParadox(folder, "PETS"); // clears the stale drop first
    EXPECT_EQ(w.state, db::WriteBack::State::Written);

    ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
    db::Connection c;
    c.setMode(db::adModeReadWrite);
    c.setWriteBack(&*session);
    c.open(db::workingDatabaseConnectionString());
    try {
        db::WorkingDatabase(c).exportCopy("PETS", 3, paradoxDir.string() + "/", "PETS.db");
        ADD_FAILURE() << "an export without its drop went through";
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("already exists"), std::string::npos);
    }
}

TEST_F(ExportTest, ACopyWithoutItsRecordOfChangesIsComparedRowByRow) {
    // A working copy made by an earlier version of the program has no trigger that notes the
    // rows its UPDATEs touch: every row is compared with its record instead.
    const fs::path db = pets();
    FixedFolder folder(paradoxDir.string());
    ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
    onTheFile("DROP TRIGGER \"MSysQmOnUpdate_PETS\"; UPDATE \"PETS\" SET \"Name\" = 'puppy' "
              "WHERE \"Name\" = 'dog'");
    replaceValue("PETS", "Name", "kitten", "cat");
    const auto w = sendTableToParadox(folder, "PETS");
    ASSERT_EQ(w.state, db::WriteBack::State::Written) << w.reason;
    EXPECT_EQ(w.valuesChanged, 2);
    const auto t = paradox::Table::open(db);
    std::vector<std::string> names;
    t.forEachRecord([&](const paradox::Record& r) {
        names.push_back(paradox::textForm(t.fields()[0], r.value(0)));
    });
    EXPECT_EQ(names, (std::vector<std::string>{"kitten", "puppy", "cow"}));
}

// A changed row must name a record of the table, and no other row the same one: an origin
// that is no record's start, or one given twice, leaves the table as it was.
TEST_F(ExportTest, RowsWhoseOriginsAreNotTheTablesRecordsAreNeverWrittenBack) {
    const fs::path db = pets();
    std::vector<std::uint64_t> offsets;
    paradox::Table::open(db).forEachRecord(
        [&](const paradox::Record& r) { offsets.push_back(r.fileOffset()); });
    ASSERT_EQ(offsets.size(), 3u);
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> wrong = {
        {2, offsets[0]},                                 // the first record's, given twice
        {2, offsets[1] + 1},                             // inside a record
        {3, offsets[2] + 2 * (offsets[1] - offsets[0])}, // past the last record of the block
        {1, 3}};                                         // in the header
    for (const auto& [row, origin] : wrong) {
        FixedFolder folder(paradoxDir.string());
        ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
        onTheFile("UPDATE \"MSysQmRowSource_PETS\" SET offset = " + std::to_string(origin) +
                  " WHERE rid = " + std::to_string(row));
        replaceValue("PETS", "Name", "kitten", "cat");
        replaceValue("PETS", "Name", "puppy", "dog");
        replaceValue("PETS", "Name", "calf", "cow");
        const auto before = folderBytes();
        const auto w = sendTableToParadox(folder, "PETS");
        EXPECT_EQ(w.state, db::WriteBack::State::NotWritten) << origin;
        EXPECT_NE(w.reason.find("do not match the table's records"), std::string::npos) << w.reason;
        EXPECT_TRUE(folderBytes() == before) << origin;
    }
}

TEST_F(ExportTest, AValueTheFieldCannotHoldIsLeftOutAndReported) {
    // Through a hand on the file, past every check of the working database, a value too long
    // for the Alpha field reaches the copy; the write-back refuses it alone.
    makeTable("Pets.db", {{"Name", FieldType::Alpha, 3}, {"Kind", FieldType::Alpha, 10}},
              {{"cat", "pet"}, {"cow", "farm"}});
    FixedFolder folder(paradoxDir.string());
    ASSERT_TRUE(db::sendTableToAccess(ui, folder, "PETS").complete());
    onTheFile("UPDATE \"PETS\" SET \"Name\" = '12345' WHERE \"Name\" = 'cat'");
    replaceValue("PETS", "Kind", "barn", "farm");
    const auto w = sendTableToParadox(folder, "PETS");
    ASSERT_EQ(w.state, db::WriteBack::State::Written) << w.reason;
    EXPECT_EQ(w.valuesChanged, 1);
    ASSERT_EQ(w.leftOut.size(), 1u);
    EXPECT_EQ(w.leftOut[0].column, "Name");
    EXPECT_EQ(w.leftOut[0].count, 1);
}

} // namespace
} // namespace qm::test
