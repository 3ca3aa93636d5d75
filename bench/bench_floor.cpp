// The least a replace run can cost while it keeps a SQLite working copy and one UPDATE per hit:
// the run's work with everything a real run adds taken away, beside `cp -r` of the same files.
// Nothing here decodes a record, checks a value, parses a statement, keeps triggers, patches a
// block, sets files aside or digests them; the figure is a bound from below, not a run.
//
//   bench_floor FOLDER [hits]      FOLDER holds BENCH.DB and BENCH.MB (bench_round_trip --make)
//                                  hits: candidate rows and UPDATEs (default: one in ten records)
//   QM_BENCH_DIR                   where the scratch files go (default: /tmp)
//
// Steps, each timed: read both files in 1 MiB pieces looking for the find text; copy the
// candidate rows into a fresh SQLite database with the run's settings (WAL, synchronous off,
// 16 KiB pages) and index the searched column; per hit, append a change-log line with its own
// write(), find the row through the index and UPDATE it by rowid with prepared statements;
// write both files anew beside each other, fsync and rename them.

#include "bench_support.h"

#include <sqlite3.h>

#include <cstring>
#include <fcntl.h>

namespace {

using namespace bench;

struct Db {
    sqlite3* db = nullptr;
    ~Db() { sqlite3_close(db); }
    void exec(const char* sql) const {
        char* error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::fprintf(stderr, "%s: %s\n", sql, error ? error : "?");
            std::exit(1);
        }
    }
};

struct Stmt {
    sqlite3_stmt* s = nullptr;
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(db));
            std::exit(1);
        }
    }
    ~Stmt() { sqlite3_finalize(s); }
    void text(int at, const std::string& v) const {
        sqlite3_bind_text(s, at, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    }
    int step() const { return sqlite3_step(s); }
    void reset() const { sqlite3_reset(s); }
};

// Reads the file in 1 MiB pieces and counts the pieces' occurrences of the find text (an
// occurrence split between two pieces is missed: this is a bound, not a search).
long scan(const fs::path& file, const std::string& find, std::vector<char>& buffer) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    long found = 0;
    off_t at = 0;
    for (ssize_t n; (n = ::pread(fd, buffer.data(), buffer.size(), at)) > 0; at += n)
        for (const char* p = buffer.data();
             const auto* q = static_cast<const char*>(::memmem(
                 p, static_cast<std::size_t>(buffer.data() + n - p), find.data(), find.size()));
             p = q + 1)
            ++found;
    ::close(fd);
    return found;
}

bool rewrite(const fs::path& from, const fs::path& to, std::vector<char>& buffer, double& syncing) {
    const fs::path temp = to.string() + ".tmp";
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    for (ssize_t n; ok && (n = ::read(in, buffer.data(), buffer.size())) > 0;)
        ok = ::write(out, buffer.data(), static_cast<std::size_t>(n)) == n;
    const auto t0 = Clock::now();
    ok = ok && ::fsync(out) == 0;
    syncing += since(t0);
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ok = ::close(out) == 0 && ok;
    return ok && ::rename(temp.c_str(), to.c_str()) == 0;
}

std::string valueOf(long i, const char* word) {
    return std::string("record with ") + word + " " + std::to_string(i * 10);
}

} // namespace

int main(int argc, char** argv) {
    if (isMeasureChild(argc, argv))
        return measureChildMain(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_floor FOLDER [hits]\n");
        return 2;
    }
    const fs::path table = argv[1];
    const char* dir = std::getenv("QM_BENCH_DIR");
    const fs::path base = fs::path(dir && *dir ? dir : "/tmp") / "qm_bench_floor";
    fs::remove_all(base);
    fs::create_directories(base);
    const std::vector<std::string> names = {"BENCH.DB", "BENCH.MB"};
    std::uintmax_t bytes = 0;
    for (const auto& n : names)
        bytes += fs::file_size(table / n);

    // The yardstick, taken as the round-trip benchmark takes it.
    const double copy = timeCopy(table, base / "copy");

    const double cpu0 = cpuSeconds();
    std::vector<char> buffer(1 << 20);
    auto t0 = Clock::now();
    long found = 0;
    for (const auto& n : names)
        found += scan(table / n, "needle", buffer);
    const double read = since(t0);
    const long hits = argc > 2 ? std::atol(argv[2]) : found;

    t0 = Clock::now();
    Db db;
    if (sqlite3_open((base / "dbTemp.mdb").c_str(), &db.db) != SQLITE_OK)
        return 1;
    db.exec("PRAGMA page_size=16384");
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA synchronous=OFF");
    db.exec("PRAGMA cache_size=-65536");
    db.exec("PRAGMA secure_delete=OFF");
    db.exec("CREATE TABLE BENCH(First TEXT, Second TEXT, Notes TEXT, Amount REAL, Day TEXT, "
            "Id INTEGER)");
    db.exec("BEGIN");
    {
        Stmt insert(db.db, "INSERT INTO BENCH VALUES(?,?,?,?,?,?)");
        for (long i = 0; i < hits; ++i) {
            const std::string v[] = {valueOf(i, "needle"),
                                     "second value " + std::to_string(i * 10 % 977),
                                     "a memo that outgrows its leader, number " +
                                         std::to_string(i * 10),
                                     std::to_string(i * 10) + ".25",
                                     "2021-08-31",
                                     std::to_string(i * 10)};
            for (int k = 0; k < 6; ++k)
                insert.text(k + 1, v[k]);
            if (insert.step() != SQLITE_DONE)
                return 1;
            insert.reset();
        }
    }
    db.exec("COMMIT");
    db.exec("CREATE INDEX BENCH_First ON BENCH(First)");
    const double import = since(t0);

    // The log lines and the UPDATEs are timed apart; a run interleaves them.
    t0 = Clock::now();
    const int log =
        ::open((base / "backups.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        return 1;
    const std::string line =
        "[12/8/2026 9:30:00 PM] - needle was replace to thread at table (BENCH) and column "
        "(First)\r\n";
    for (long i = 0; i < hits; ++i)
        if (::write(log, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return 1;
    ::close(log);
    const double lines = since(t0);

    t0 = Clock::now();
    db.exec("BEGIN");
    {
        Stmt find(db.db, "SELECT rowid FROM BENCH WHERE First = ? LIMIT 2");
        Stmt update(db.db, "UPDATE BENCH SET First = ? WHERE rowid = ?");
        for (long i = 0; i < hits; ++i) {
            const std::string old = valueOf(i, "needle"), changed = valueOf(i, "thread");
            find.text(1, old);
            if (find.step() != SQLITE_ROW)
                return 1;
            const sqlite3_int64 row = sqlite3_column_int64(find.s, 0);
            find.reset();
            update.text(1, changed);
            sqlite3_bind_int64(update.s, 2, row);
            if (update.step() != SQLITE_DONE)
                return 1;
            update.reset();
        }
    }
    db.exec("COMMIT");
    const double updates = since(t0);

    t0 = Clock::now();
    double syncing = 0;
    for (const auto& n : names)
        if (!rewrite(table / n, base / n, buffer, syncing))
            return 1;
    const double write = since(t0);
    const double cpu = cpuSeconds() - cpu0;

    const double total = read + import + lines + updates + write;
    std::printf("table: %s, %.1f MB, %ld occurrences of the find text, %ld hits\n", table.c_str(),
                static_cast<double>(bytes) / 1e6, found, hits);
    std::printf("cp -r:                          %.3f s\n", copy);
    std::printf("read and search:                %.3f s\n", read);
    std::printf("candidate rows into SQLite:     %.3f s\n", import);
    const double each = 1e6 / static_cast<double>(hits ? hits : 1);
    std::printf("change-log line per hit:        %.3f s (%.2f us each)\n", lines, lines * each);
    std::printf("find and UPDATE per hit:        %.3f s (%.2f us each)\n", updates, updates * each);
    std::printf("write, fsync, rename:           %.3f s (fsync %.3f s)\n", write, syncing);
    std::printf("floor: %.3f s wall (%.3f s CPU), %.1f times the copy (load %.2f)\n", total, cpu,
                total / copy, loadAverage());
    fs::remove_all(base);
    return 0;
}
