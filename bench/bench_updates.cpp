// The UPDATEs of a replace run alone: a working copy of the benchmark's shape holding only its
// candidate rows, then one value-matching UPDATE per hit sent as the run sends them, timed in
// CPU and wall. Prints what it measures; asserts nothing beyond each statement succeeding.
//
//   bench_updates [hits]            (default: 100000)
//   QM_BENCH_DIR                    where the working database goes (default: /tmp)

#include "db/sqlite_backend.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string valueOf(long i, const char* word) {
    return std::string("record with ") + word + " " + std::to_string(i * 10);
}

} // namespace

int main(int argc, char** argv) {
    const long hits = argc > 1 ? std::atol(argv[1]) : 100000;
    const char* dir = std::getenv("QM_BENCH_DIR");
    const fs::path base = fs::path(dir && *dir ? dir : "/tmp") / "qm_bench_updates";
    fs::remove_all(base);
    fs::create_directories(base);
    const fs::path file = base / "dbTemp.mdb";
    std::ofstream(file).close();
    qm::db::SqliteBackend db(file, 3, nullptr);
    using qm::db::JetType;
    db.createCopy("BENCH", {{"First", JetType::Text, 40},
                            {"Second", JetType::Text, 40},
                            {"Notes", JetType::Memo, 255},
                            {"Amount", JetType::Double, 255},
                            {"Day", JetType::DateTime, 255},
                            {"Id", JetType::Long, 255}});
    db.beginTrans();
    for (long i = 0; i < hits; ++i)
        db.insertTexts("BENCH",
                       {valueOf(i, "needle"), "second value " + std::to_string(i % 977),
                        "a memo that outgrows its leader, number " + std::to_string(i),
                        std::to_string(i) + ".25", "2021-08-31", std::to_string(i)},
                       static_cast<std::uint64_t>(i) * 100);
    db.commitTrans();

    const auto wall = std::chrono::steady_clock::now();
    const double cpu = cpuSeconds();
    db.beginTrans();
    for (long i = 0; i < hits; ++i) {
        db.replaceValue("BENCH", "First", valueOf(i, "thread"), valueOf(i, "needle"));
        if ((i + 1) % 16384 == 0) {
            db.commitTrans();
            db.beginTrans();
        }
    }
    db.commitTrans();
    const double cpuUsed = cpuSeconds() - cpu;
    const double wallUsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    double load = 0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = 0;
        std::fclose(f);
    }
    std::printf("%ld UPDATEs: %.3f s CPU, %.3f s wall, %.2f us CPU each (load %.2f)\n", hits,
                cpuUsed, wallUsed, cpuUsed * 1e6 / static_cast<double>(hits), load);
    fs::remove_all(base);
    return 0;
}
