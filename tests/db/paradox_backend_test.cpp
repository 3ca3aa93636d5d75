#include "db_fixture.h"

#include "app/error.h"
#include "db/paradox_backend.h"
#include "db/paradox_write_back.h"
#include "db/working_database.h"
#include "paradox/table.h"

#include <cmath>
#include <fstream>
#include <map>

namespace qm::test {
namespace {

using db::Connection;
using db::Recordset;
using nlohmann::json;

class ParadoxBackendTest : public DbFixture {
  protected:
    void SetUp() override {
        DbFixture::SetUp();
        if (!haveCorpus())
            GTEST_SKIP() << "corpus folder absent: " << corpusDir();
    }
    void openFolder() {
        conn.setCursorLocation(db::adUseClient);
        conn.open(db::paradoxConnectionString(paradoxDir.string()));
    }
    long codeOf(const std::function<void()>& f, std::string* description = nullptr) {
        try {
            f();
        } catch (const Error& e) {
            if (description)
                *description = e.description();
            return e.code();
        }
        return 0;
    }
    Connection conn;
};

// What the recordset must give for a reference value of a field of type letter.
void expectSame(char letter, const json& ref, const Variant& got, const std::string& where) {
    if (ref.is_null() || letter == 'Y' || letter == 'B' || letter == 'F' || letter == 'O' ||
        letter == 'G') {
        // Fields without a text form never reach the working copy.
        EXPECT_TRUE(got.isNull()) << where << " got " << got.toString();
        return;
    }
    ASSERT_TRUE(got.isText()) << where;
    const std::string& text = got.text();
    if (ref.is_string())
        EXPECT_EQ(text, ref.get<std::string>()) << where;
    else if (ref.is_boolean())
        EXPECT_EQ(text, ref.get<bool>() ? "True" : "False") << where;
    else if (ref.is_number_integer())
        EXPECT_EQ(text, std::to_string(ref.get<long long>())) << where;
    else if (ref.is_number_float()) {
        // Compared by value; the text must also read back to exactly that double.
        EXPECT_EQ(std::stod(text), ref.get<double>()) << where << " text " << text;
    } else
        ADD_FAILURE() << where << " unexpected reference " << ref.dump();
}

TEST_F(ParadoxBackendTest, FieldTypesAndValuesAgreeWithTheReferenceDecoder) {
    const std::map<char, int> ado = {{'A', 200}, {'N', 5},   {'$', 6},   {'S', 2},   {'I', 3},
                                     {'+', 3},   {'D', 133}, {'T', 134}, {'@', 135}, {'L', 11},
                                     {'M', 201}, {'B', 205}, {'F', 205}, {'O', 205}, {'G', 205},
                                     {'Y', 128}, {'#', 131}};
    std::map<char, int> typesSeen;
    const std::vector<fs::path> tables = {
        "celebithil__Rparadox/TypSammlung.DB",      "leonhad__paradoxdriver/db/CUSTOMER.DB",
        "leonhad__paradoxdriver/db/ORDERS.DB",      "leonhad__paradoxdriver/fields/graphic.db",
        "leonhad__paradoxdriver/fields/ole.db",     "leonhad__paradoxdriver/fields/fmemo.db",
        "leonhad__paradoxdriver/fields/date7.db",   "leonhad__paradoxdriver/fields/time.db",
        "leonhad__paradoxdriver/fields/logical.db", "leonhad__paradoxdriver/db/GENERAL.DB",
        "celebithil__Rparadox/of_cp866.db"};
    for (const auto& rel : tables) {
        const fs::path src = corpusDir() / rel;
        copyFamily(src);
        json header;
        const auto ref = pxdump(paradoxDir / src.filename(), &header);
        ASSERT_EQ(ref.size(), header["records"].get<std::size_t>()) << rel;
        Connection c;
        c.setCursorLocation(db::adUseClient);
        c.open(db::paradoxConnectionString(paradoxDir.string()));
        Recordset rs;
        rs.attach(db::ParadoxFolder(c).openTable(src.stem().string()));
        ASSERT_EQ(rs.recordCount(), static_cast<long>(ref.size())) << rel;
        const auto& fields = header["fields"];
        ASSERT_EQ(rs.fieldCount(), static_cast<int>(fields.size())) << rel;
        for (int i = 0; i < rs.fieldCount(); ++i) {
            const char letter = fields[static_cast<std::size_t>(i)][1].get<std::string>()[0];
            EXPECT_EQ(rs.fieldName(i), fields[static_cast<std::size_t>(i)][0].get<std::string>());
            EXPECT_EQ(rs.fieldType(i), ado.at(letter)) << rel << " field " << i;
            ++typesSeen[letter];
        }
        std::size_t row = 0;
        for (; !rs.eof(); rs.moveNext(), ++row) {
            ASSERT_LT(row, ref.size());
            for (int i = 0; i < rs.fieldCount(); ++i) {
                const char letter = fields[static_cast<std::size_t>(i)][1].get<std::string>()[0];
                expectSame(letter, ref[row][static_cast<std::size_t>(i)], rs.value(i),
                           rel.string() + " record " + std::to_string(row) + " field " +
                               std::to_string(i));
            }
        }
        EXPECT_EQ(row, ref.size());
        rs.close();
        c.close();
    }
    // Every type the corpus holds but Binary was met.
    for (const auto& [letter, number] : ado)
        if (letter != 'B') {
            EXPECT_GT(typesSeen[letter], 0) << "type " << letter << " not covered";
        }
}

TEST_F(ParadoxBackendTest, TableFilesAreFoundWithoutRegardToCase) {
    copyFamily(corpusDir() / "leonhad__paradoxdriver/db/CUSTOMER.DB", [](const std::string& n) {
        if (n == "CUSTOMER.DB")
            return std::string("customer.db");
        if (n == "CUSTOMER.MB")
            return std::string("Customer.MB");
        return n;
    });
    const auto ref = pxdump(corpusDir() / "leonhad__paradoxdriver/db/CUSTOMER.DB");
    openFolder();
    for (const std::string name : {"CUSTOMER", "Customer", "customer"}) {
        Recordset rs;
        rs.attach(db::ParadoxFolder(conn).openTable(name));
        EXPECT_EQ(rs.recordCount(), 20) << name;
        // The memo field (index 8) comes out of Customer.MB.
        int memos = 0;
        for (std::size_t row = 0; !rs.eof(); rs.moveNext(), ++row) {
            expectSame('M', ref[row][8], rs.value(8), name);
            memos += rs.value(8).isNull() ? 0 : 1;
        }
        EXPECT_GT(memos, 0);
    }
    EXPECT_EQ(db::findTableFile(paradoxDir, "CUSTOMER"), paradoxDir / "customer.db");
}

TEST_F(ParadoxBackendTest, NamesDifferingOnlyInCaseAreAnAmbiguity) {
    const fs::path orders = corpusDir() / "leonhad__paradoxdriver/db/ORDERS.DB";
    fs::copy_file(orders, paradoxDir / "ORDERS.DB");
    fs::copy_file(orders, paradoxDir / "orders.db");
    openFolder();
    Recordset rs;
    std::string description;
    EXPECT_EQ(codeOf([&] { rs.attach(db::ParadoxFolder(conn).openTable("ORDERS")); }, &description),
              code::Unspecified);
    EXPECT_NE(description.find("ORDERS.DB"), std::string::npos) << description;
    EXPECT_NE(description.find("orders.db"), std::string::npos) << description;
    EXPECT_EQ(rs.state(), db::adStateClosed);
    EXPECT_EQ(codeOf([&] { rs.attach(db::ParadoxFolder(conn).openTable("NOPE")); }),
              code::NoSuchTable);
}

TEST_F(ParadoxBackendTest, EncryptedAndDamagedTablesAreClearErrors) {
    copyFamily(corpusDir() / "leonhad__paradoxdriver/encrypt/encrypted.db");
    openFolder();
    Recordset rs;
    std::string description;
    EXPECT_NE(
        codeOf([&] { rs.attach(db::ParadoxFolder(conn).openTable("encrypted")); }, &description),
        0);
    EXPECT_NE(description.find("password-protected"), std::string::npos) << description;
    EXPECT_NE(description.find("encrypted.db"), std::string::npos) << description;

    // A table cut short in its data blocks.
    const fs::path orders = corpusDir() / "leonhad__paradoxdriver/db/ORDERS.DB";
    fs::copy_file(orders, paradoxDir / "CUT.DB");
    fs::resize_file(paradoxDir / "CUT.DB", fs::file_size(orders) / 2);
    EXPECT_NE(codeOf([&] { rs.attach(db::ParadoxFolder(conn).openTable("CUT")); }, &description),
              0);
    EXPECT_NE(description.find("CUT.DB"), std::string::npos) << description;
}

TEST_F(ParadoxBackendTest, TheDropGoesToTheWriteBack) {
    copyFamily(corpusDir() / "leonhad__paradoxdriver/db/ORDERS.DB");
    openFolder();
    // No write-back installed: the table stays as it is.
    std::string description;
    EXPECT_EQ(codeOf([&] { db::ParadoxFolder(conn).dropTable("orders"); }, &description),
              code::Unspecified);
    EXPECT_NE(description.find("left as it was"), std::string::npos) << description;
    EXPECT_TRUE(fs::exists(paradoxDir / "ORDERS.DB"));
    struct Recorder : db::ParadoxWriteBack {
        void dropTable(const db::ParadoxDropRequest& r) override { seen = r; }
        void exportTable(const db::ParadoxExportRequest&) override { ADD_FAILURE(); }
        db::ParadoxDropRequest seen;
    } recorder;
    conn.close();
    conn.setWriteBack(&recorder);
    openFolder();
    db::ParadoxFolder(conn).dropTable("orders");
    const db::ParadoxDropRequest& seen = recorder.seen;
    EXPECT_EQ(seen.dbFile, paradoxDir / "ORDERS.DB");
    EXPECT_EQ(seen.tableName, "orders");
    EXPECT_EQ(codeOf([&] { db::ParadoxFolder(conn).dropTable("MISSING"); }), code::NoSuchTable);
}

TEST_F(ParadoxBackendTest, LargeTableStreamsWithExactCountAndRecordOffsets) {
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 6000; ++i)
        rows.push_back({"name " + std::to_string(i), std::to_string(i)});
    const fs::path db = makeTable(
        "BIG.DB", {{"Name", paradox::FieldType::Alpha, 40}, {"N", paradox::FieldType::Long, 0}},
        rows);
    openFolder();
    Recordset rs;
    rs.attach(db::ParadoxFolder(conn).openTable("BIG"));
    EXPECT_EQ(rs.recordCount(), 6000);
    const auto table = paradox::Table::open(db);
    int i = 0;
    std::uint64_t previous = 0;
    for (; !rs.eof(); rs.moveNext(), ++i) {
        ASSERT_EQ(rs.value(0).toString(), "name " + std::to_string(i));
        ASSERT_EQ(rs.value(1).toString(), std::to_string(i));
        const auto offset = rs.origin();
        ASSERT_TRUE(offset.has_value());
        ASSERT_GT(*offset, previous);
        previous = *offset;
        // The offset is where the write-back will find this very record.
        if (i % 997 == 0) {
            EXPECT_EQ(paradox::textForm(table.fields()[0], table.readRecordAt(*offset).value(0)),
                      "name " + std::to_string(i));
        }
    }
    EXPECT_EQ(i, 6000);
    EXPECT_THROW(rs.moveNext(), Error);
    EXPECT_THROW(rs.value(0), Error);
}

// Records are read a large piece of the file at a time; a chain that runs backwards through
// the file, over more than one piece, still comes in chain order, each record with its offset.
TEST_F(ParadoxBackendTest, AChainAgainstTheFileOrderStreamsInChainOrder) {
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 30000; ++i)
        rows.push_back({"name " + std::to_string(i), std::to_string(i)});
    const fs::path db = makeTable(
        "BACK.DB", {{"Name", paradox::FieldType::Alpha, 40}, {"N", paradox::FieldType::Long, 0}},
        rows);
    std::uint32_t blocks = 0;
    {
        const auto table = paradox::Table::open(db);
        blocks = table.header().fileBlocks;
        ASSERT_GT(table.fileSize(), 1024u * 1024);
        ASSERT_EQ(table.header().usedBlocks, blocks);
        std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
        const auto put16 = [&](std::uint64_t at, std::uint32_t v) {
            const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
            f.seekp(static_cast<std::streamoff>(at));
            f.write(b, 2);
        };
        put16(0x0E, blocks); // first block
        put16(0x10, 1);      // last block
        for (std::uint32_t b = 1; b <= blocks; ++b) {
            put16(table.blockOffset(b), b - 1);                       // next
            put16(table.blockOffset(b) + 2, b == blocks ? 0 : b + 1); // previous
        }
        ASSERT_TRUE(f.good());
    }
    const auto table = paradox::Table::open(db);
    std::vector<std::pair<std::string, std::uint64_t>> expected;
    table.forEachRecord([&](const paradox::Record& r) {
        expected.emplace_back(paradox::textForm(table.fields()[0], r.value(0)), r.fileOffset());
    });
    ASSERT_EQ(expected.size(), 30000u);
    ASSERT_GT(expected.front().second, expected.back().second);
    openFolder();
    Recordset rs;
    rs.attach(db::ParadoxFolder(conn).openTable("BACK"));
    std::size_t i = 0;
    for (; !rs.eof(); rs.moveNext(), ++i) {
        ASSERT_LT(i, expected.size());
        ASSERT_EQ(rs.value(0).toString(), expected[i].first) << i;
        ASSERT_EQ(rs.origin(), expected[i].second) << i;
    }
    EXPECT_EQ(i, expected.size());
}

} // namespace
} // namespace qm::test
