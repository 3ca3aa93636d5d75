#pragma once

// A working database in a temporary application folder, Paradox tables made or copied into a
// temporary Paradox folder, and a record of every operation asked of the two databases.

#include "app/common.h"
#include "db/connection.h"
#include "db/operation_log.h"
#include "db/working_database.h"
#include "paradox/writer.h"
#include "reference_decoder.h"
#include "test_support.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qm::test {

namespace fs = std::filesystem;

class DbFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        previousApp_ = applicationFolder();
        appDir = temp_.path() / "app";
        paradoxDir = temp_.path() / "paradox";
        fs::create_directories(appDir);
        fs::create_directories(paradoxDir);
        // As installed: an empty file, which SQLite takes for an empty database.
        std::ofstream(appDir / "dbTemp.mdb").close();
        setApplicationFolder(appDir.string());
        db::setOperationLog([this](const db::Operation& op) { operations.push_back(op); });
    }
    void TearDown() override {
        db::setOperationLog(nullptr);
        setApplicationFolder(previousApp_);
    }

    // The operations asked of the working database, in order, each as describe() tells it.
    std::vector<std::string> workingOperations() const { return described(false); }
    // The same of the Paradox folders.
    std::vector<std::string> paradoxOperations() const { return described(true); }

    // An operation in a line: "copy PEOPLE('5', NULL)", "replace PETS.Name 'cat' -> 'dog'".
    static std::string describe(const db::Operation& op) {
        using Kind = db::Operation::Kind;
        const auto quoted = [](const std::optional<std::string>& v) {
            return v ? "'" + *v + "'" : std::string("NULL");
        };
        std::string list;
        for (const auto& v : op.values)
            list += (list.empty() ? "" : ", ") + quoted(v);
        switch (op.kind) {
        case Kind::DropCopy:
            return "drop copy " + op.table;
        case Kind::CreateCopy:
            return "create " + op.table + "(" + list + ")";
        case Kind::CopyRecord:
            return "copy " + op.table + "(" + list + ")";
        case Kind::OpenCopy:
            return "open copy " + op.table;
        case Kind::ReplaceValue:
            return "replace " + op.table + "." + op.column + " " + quoted(op.values.at(1)) +
                   " -> " + quoted(op.values.at(0));
        case Kind::ExportCopy:
            return "export " + op.table + " " + list;
        case Kind::OpenTable:
            return "open table " + op.table;
        case Kind::DropTable:
            return "drop table " + op.table;
        }
        return "?";
    }

    // A typed operation on a connection of its own to the working database.
    template <class Operation> void onWorkingDatabase(Operation operation) {
        db::Connection c;
        c.setMode(db::adModeReadWrite);
        c.open(db::workingDatabaseConnectionString());
        db::WorkingDatabase working(c);
        operation(working);
        c.close();
    }
    void replaceValue(const std::string& table, const std::string& column,
                      const std::string& newValue, const std::string& oldValue) {
        onWorkingDatabase(
            [&](db::WorkingDatabase& w) { w.replaceValue(table, column, newValue, oldValue); });
    }
    // SQLite's own statement run on the working database's file, as another program's hand
    // would: what no operation of ours does to a copy.
    void onTheFile(const std::string& sql) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open((appDir / "dbTemp.mdb").c_str(), &raw), SQLITE_OK);
        sqlite3_busy_timeout(raw, 5000);
        EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sql << ": " << sqlite3_errmsg(raw);
        sqlite3_close(raw);
    }

    // Copies a corpus table's family (files sharing its stem) into the Paradox folder, each
    // renamed by rename(original file name).
    template <class Rename> void copyFamily(const fs::path& corpusDb, Rename rename) {
        const std::string stem = corpusDb.stem().string();
        for (const auto& e : fs::directory_iterator(corpusDb.parent_path()))
            if (e.path().stem().string() == stem) {
                const fs::path to = paradoxDir / rename(e.path().filename().string());
                fs::copy_file(e.path(), to);
                // The corpus is read-only; a user's table is not.
                fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
            }
    }
    void copyFamily(const fs::path& corpusDb) {
        copyFamily(corpusDb, [](const std::string& n) { return n; });
    }

    static void removeFamily(const fs::path& db) {
        const auto p = paradox::familyPathsFor(db);
        for (const auto& f : {p.db, p.mb, p.px})
            fs::remove(f);
    }

    // Writes a table whose values are given in their text form ("" for NULL).
    fs::path makeTable(const std::string& fileName, const std::vector<paradox::FieldSpec>& fields,
                       const std::vector<std::vector<std::string>>& rows,
                       std::uint16_t keyFields = 0, std::uint16_t codePage = 1252) {
        paradox::TableSpec spec;
        spec.fields = fields;
        spec.keyFields = keyFields;
        spec.codePage = codePage;
        std::vector<std::vector<paradox::Value>> records;
        for (const auto& row : rows) {
            std::vector<paradox::Value> rec;
            for (std::size_t i = 0; i < row.size(); ++i)
                rec.push_back(paradox::valueFromText(fields[i], row[i]));
            records.push_back(std::move(rec));
        }
        const fs::path db = paradoxDir / fileName;
        removeFamily(db); // the writer creates its files new, and a test may remake a table
        paradox::createTable(paradox::familyPathsFor(db), spec, records);
        return db;
    }

    TempDir temp_;
    fs::path appDir;
    fs::path paradoxDir;
    std::vector<db::Operation> operations;

  private:
    std::vector<std::string> described(bool paradox) const {
        using Kind = db::Operation::Kind;
        std::vector<std::string> out;
        for (const auto& op : operations)
            if ((op.kind == Kind::OpenTable || op.kind == Kind::DropTable) == paradox)
                out.push_back(describe(op));
        return out;
    }

    std::string previousApp_;
};

// The reference decoder's records for a table: one JSON array per record; the header line
// goes to header when given.
inline std::vector<nlohmann::json> pxdump(const fs::path& db, nlohmann::json* headerOut = nullptr) {
    DecodedTable decoded = decodeWithReference(db);
    if (headerOut)
        *headerOut = std::move(decoded.header);
    return std::move(decoded.rows);
}

} // namespace qm::test
