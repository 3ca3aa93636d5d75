#include "db_fixture.h"

#include "db/import.h"
#include "db/working_database.h"
#include "fake_user_interface.h"

#include <chrono>
#include <cstdlib>

namespace qm::test {
namespace {

using paradox::FieldType;

// A measurement, not a check: run with --gtest_also_run_disabled_tests and
// QM_IMPORT_BENCH_RECORDS (default 100000) on an optimised build.
class ImportBench : public DbFixture {};

TEST_F(ImportBench, DISABLED_ImportAgainstFileCopy) {
    const char* env = std::getenv("QM_IMPORT_BENCH_RECORDS");
    const long n = env ? std::atol(env) : 100000;
    using Clock = std::chrono::steady_clock;
    const std::vector<paradox::FieldSpec> fields = {
        {"First", FieldType::Alpha, 40}, {"Second", FieldType::Alpha, 40},
        {"Notes", FieldType::Memo, 20},  {"Amount", FieldType::Number, 0},
        {"Day", FieldType::Date, 0},     {"Id", FieldType::Long, 0}};
    paradox::TableSpec spec;
    spec.fields = fields;
    const fs::path db = paradoxDir / "BENCH.DB";
    {
        paradox::TableWriter w(paradox::familyPathsFor(db), spec);
        for (long i = 0; i < n; ++i) {
            const std::vector<paradox::Value> rec = {
                paradox::valueFromText(fields[0], "first value " + std::to_string(i % 1000)),
                paradox::valueFromText(fields[1], "second " + std::to_string(i)),
                paradox::valueFromText(fields[2],
                                       i % 3 ? "a memo of some length " + std::to_string(i) : ""),
                paradox::valueFromText(fields[3], std::to_string(i) + ".25"),
                paradox::valueFromText(fields[4], "2021-08-31"),
                paradox::valueFromText(fields[5], std::to_string(i))};
            w.add(rec);
        }
        w.finish();
    }
    auto t0 = Clock::now();
    fs::create_directories(temp_.path() / "copy");
    for (const auto& e : fs::directory_iterator(paradoxDir))
        fs::copy_file(e.path(), temp_.path() / "copy" / e.path().filename());
    const double copy = std::chrono::duration<double>(Clock::now() - t0).count();

    t0 = Clock::now();
    {
        db::Connection p;
        p.open(db::paradoxConnectionString(paradoxDir.string()));
        db::Recordset rs;
        rs.open("SELECT * FROM `BENCH`", p);
        std::size_t bytes = 0;
        for (; !rs.eof(); rs.moveNext())
            for (int i = 0; i < rs.fieldCount(); ++i)
                bytes += rs.value(i).toString().size();
        EXPECT_GT(bytes, 0u);
    }
    const double read = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("reading the table alone %.3fs\n", read);
    db::setOperationLog(nullptr);
    FakeUserInterface ui;
    FixedFolder folder(paradoxDir.string());
    t0 = Clock::now();
    const auto status = db::sendTableToAccess(ui, folder, "BENCH");
    const double import = std::chrono::duration<double>(Clock::now() - t0).count();

    db::Connection c;
    c.setMode(db::adModeReadWrite);
    c.open(db::workingDatabaseConnectionString());
    t0 = Clock::now();
    for (int k = 0; k < 200; ++k)
        c.execute("update `BENCH` set `First` = 'changed " + std::to_string(k) +
                  "' where `First` = 'first value " + std::to_string(k) + "'");
    const double updates = std::chrono::duration<double>(Clock::now() - t0).count();

    c.execute("CREATE TABLE `RAW`(`A` TEXT,`B` TEXT,`C` MEMO,`D` FLOAT,`E` DATETIME,`F` INT);");
    std::vector<std::string> statements;
    for (long i = 0; i < n; ++i)
        statements.push_back("INSERT INTO `RAW` VALUES('first value " + std::to_string(i % 1000) +
                             "', 'second " + std::to_string(i) + "', 'a memo of some length " +
                             std::to_string(i) + "', '" + std::to_string(i) +
                             ".25', '2021-08-31', '" + std::to_string(i) + "')");
    t0 = Clock::now();
    c.beginTrans();
    for (long i = 0; i < n; ++i) {
        db::WorkingDatabase(c).insertRecord(statements[static_cast<std::size_t>(i)],
                                            static_cast<std::uint64_t>(i) * 100);
    }
    c.commitTrans();
    const double raw = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("inserts alone %.3fs\n", raw);
    std::printf("records %ld: copy %.3fs, import %.3fs (%.1fx), 200 updates %.3fs, complete %d\n",
                n, copy, import, import / copy, updates, status.complete() ? 1 : 0);
    EXPECT_TRUE(status.complete());
}

} // namespace
} // namespace qm::test
