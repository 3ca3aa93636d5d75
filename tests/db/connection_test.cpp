#include "db_fixture.h"

#include "app/error.h"
#include "db/backend.h"
#include "db/paradox_write_back.h"
#include "fake_user_interface.h"

namespace qm::test {
namespace {

using db::Connection;
using db::Recordset;

TEST(ConnectionStrings, AreTheProvidersTextsCharacterForCharacter) {
    EXPECT_EQ(db::workingDatabaseConnectionString("/opt/qm"),
              "PROVIDER=Microsoft.Jet.OLEDB.4.0;Data Source=/opt/qm/dbTemp.mdb;JET "
              "OLEDB:Database Password=");
    EXPECT_EQ(db::paradoxConnectionString("/data/my tables/"),
              "Driver={Microsoft Paradox Driver (*.db )};DriverID=538;Fil=Paradox "
              "5.X;DefaultDir=/data/my tables/;Dbq=/data/my tables/;CollatingSequence=ASCII;");
}

class ConnectionTest : public DbFixture {};

TEST_F(ConnectionTest, ParadoxFolderOpensWithBlanksTrailingSeparatorAndSemicolons) {
    for (const std::string sub : {"with blank", "semi;colon"}) {
        fs::create_directories(paradoxDir / sub);
        Connection c;
        c.setCursorLocation(db::adUseClient);
        c.open(db::paradoxConnectionString((paradoxDir / sub).string() + "/"));
        EXPECT_TRUE(c.isOpen());
        c.close();
    }
    Connection missing;
    try {
        missing.open(db::paradoxConnectionString((paradoxDir / "nowhere").string()));
        FAIL() << "a missing folder opened";
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("nowhere"), std::string::npos) << e.description();
    }
}

TEST_F(ConnectionTest, MissingWorkingDatabaseIsAnErrorAndIsNeverCreated) {
    fs::remove(appDir / "dbTemp.mdb");
    Connection c;
    c.setMode(db::adModeReadWrite);
    try {
        c.open(db::workingDatabaseConnectionString());
        FAIL() << "opened a missing working database";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::Storage);
        EXPECT_NE(e.description().find("dbTemp.mdb"), std::string::npos) << e.description();
    }
    EXPECT_FALSE(fs::exists(appDir / "dbTemp.mdb"));
    EXPECT_FALSE(c.isOpen());
}

TEST_F(ConnectionTest, FileThatIsNoDatabaseIsRefused) {
    std::ofstream(appDir / "dbTemp.mdb") << "Standard Jet DB, but not really, just some text "
                                            "that is long enough to be no SQLite header at all.";
    Connection c;
    EXPECT_THROW(c.open(db::workingDatabaseConnectionString()), Error);
}

TEST_F(ConnectionTest, ClosedObjectsFailWithCode3704) {
    Connection c;
    Recordset rs;
    for (auto action : std::vector<std::function<void()>>{
             [&] { (void)db::WorkingDatabase(c); }, [&] { c.close(); }, [&] { (void)rs.eof(); },
             [&] { rs.moveNext(); }, [&] { rs.close(); }}) {
        try {
            action();
            ADD_FAILURE() << "no failure on a closed object";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::ObjectClosed);
        }
    }
    EXPECT_EQ(rs.state(), db::adStateClosed);
}

TEST_F(ConnectionTest, TableExistsInDbTempSeesOnlyUserTablesIgnoringCase) {
    EXPECT_FALSE(db::TableExistsInDbTemp("ORDERS"));
    onWorkingDatabase([](db::WorkingDatabase& w) {
        w.createCopy("Orders", {{"ID", db::JetType::Long, 0}});
    });
    EXPECT_TRUE(db::TableExistsInDbTemp("orders"));
    EXPECT_TRUE(db::TableExistsInDbTemp("ORDERS"));
    EXPECT_FALSE(db::TableExistsInDbTemp("ORDER"));
    // The side tables that remember where rows came from are system tables.
    Connection c;
    c.open(db::workingDatabaseConnectionString());
    Recordset rs;
    rs.attach(c.openSchema(db::adSchemaTables));
    int systemRows = 0;
    std::string systemName;
    while (!rs.eof()) {
        if (rs.value(3).toString() != "TABLE") {
            ++systemRows;
            systemName = rs.value(2).toString();
        } else {
            EXPECT_EQ(rs.value(2).toString(), "Orders");
        }
        rs.moveNext();
    }
    ASSERT_GT(systemRows, 0);
    EXPECT_FALSE(db::TableExistsInDbTemp(systemName));
    EXPECT_THROW(c.openSchema(4), Error);
}

TEST_F(ConnectionTest, OpeningOrderReportsTheLineOfTheFailedStep) {
    FakeUserInterface ui;
    Trap trap(ui, where::paradox("sendTableToAccess"));
    db::ConnectionSet set;
    db::openConnections(trap, set, (paradoxDir / "missing").string());
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].text.find("sendTableToAccess at line 108"), std::string::npos)
        << ui.boxes[0].text;
    EXPECT_FALSE(set.paradox->isOpen());
    EXPECT_EQ(set.paradox->cursorLocation(), db::adUseClient);
    EXPECT_TRUE(set.working->isOpen());
    EXPECT_EQ(set.working->cursorLocation(), db::adUseServer);
    EXPECT_EQ(set.working->mode(), db::adModeReadWrite);

    fs::remove(appDir / "dbTemp.mdb");
    FakeUserInterface ui2;
    Trap trap2(ui2, where::paradox("sendTableToParadox"));
    db::ConnectionSet set2;
    db::openConnections(trap2, set2, paradoxDir.string());
    ASSERT_EQ(ui2.boxes.size(), 1u);
    EXPECT_NE(ui2.boxes[0].text.find("at line 114"), std::string::npos);
    EXPECT_TRUE(set2.paradox->isOpen());
}

TEST_F(ConnectionTest, UnknownProviderIsAnError) {
    Connection c;
    EXPECT_THROW(c.open("Provider=SQLOLEDB;Data Source=x"), Error);
}

} // namespace
} // namespace qm::test
