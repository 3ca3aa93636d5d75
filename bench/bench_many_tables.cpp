// Many small tables, as real Paradox databases are: a folder of 40 sub-folders holding 600
// tables of mixed sizes (most of a few hundred records, some of thousands, a few of tens of
// thousands; half keyed, half with a memo), written by the project's own writer. Timed as a
// person meets it, the whole `quillmend` process, medians of three runs each:
//
//   1. `cp -r` of the folder (the yardstick) and `rm -rf` of a copy;
//   2. `quillmend replace FOLDER --all --find needle --replace thread` on a fresh copy;
//   3. the same with --dry-run, on a fresh copy;
//   4. when strace is installed, one dry run under `strace -f -c`, and one under
//      `strace -f -e trace=<every call that writes a name or a byte>` with the calls that name
//      the folder (or a descriptor opened in it for writing) counted.
//
//   bench_many_tables [--tables N] [--runs N]   (default: 600 tables, three runs each)
//   bench_many_tables --make FOLDER [--tables N] (only writes the folder)
//   QM_BENCH_DIR    where the folder goes (default: the temporary folder)
//   QM_BENCH_PROGRAM the quillmend to time, with dbTemp.mdb beside it (default: the build's)
//
// Prints what it measures; asserts nothing beyond each run having ended cleanly.

#include "bench_support.h"

#include <cstring>
#include <map>
#include <sstream>

using namespace bench;

namespace {

#ifndef QM_CLI_PROGRAM
#define QM_CLI_PROGRAM ""
#endif

// Table i's number of records: one in fifty large, one in ten middling, the rest small.
long recordsOf(int i) {
    if (i % 50 == 7)
        return 20000;
    if (i % 10 == 3)
        return 4000;
    return 20 + (i * 37) % 800;
}

const std::vector<qm::paradox::FieldSpec>& keyedFields() {
    static const std::vector<qm::paradox::FieldSpec> fields = {{"Id", FieldType::Long, 0},
                                                               {"Name", FieldType::Alpha, 30},
                                                               {"City", FieldType::Alpha, 20},
                                                               {"Amount", FieldType::Number, 0}};
    return fields;
}

void makeKeyedTable(const fs::path& db, long n) {
    qm::paradox::TableSpec shape;
    shape.fields = keyedFields();
    shape.keyFields = 1;
    qm::paradox::TableWriter w(qm::paradox::familyPathsFor(db), shape);
    std::vector<qm::paradox::Value> rec(shape.fields.size());
    for (long i = 0; i < n; ++i) {
        rec[0] = qm::paradox::valueFromText(shape.fields[0], std::to_string(i + 1));
        rec[1] = qm::paradox::valueFromText(
            shape.fields[1], (i % 10 == 0 ? "a needle " : "customer ") + std::to_string(i));
        rec[2] = qm::paradox::valueFromText(shape.fields[2], "town " + std::to_string(i % 97));
        rec[3] = qm::paradox::valueFromText(shape.fields[3], std::to_string(i) + ".5");
        w.add(rec);
    }
    w.finish();
}

// Returns the size of the largest table's files.
std::uintmax_t makeFolder(const fs::path& root, int tables) {
    std::uintmax_t largest = 0;
    for (int i = 0; i < tables; ++i) {
        char folder[16], name[16];
        std::snprintf(folder, sizeof folder, "F%02d", i % 40);
        std::snprintf(name, sizeof name, "T%03d.DB", i);
        const fs::path dir = root / folder;
        fs::create_directories(dir);
        if (i % 2 == 0)
            makeBenchTable(dir / name, recordsOf(i));
        else
            makeKeyedTable(dir / name, recordsOf(i));
        std::uintmax_t family = 0;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().stem() == fs::path(name).stem())
                family += e.file_size();
        largest = std::max(largest, family);
    }
    return largest;
}

fs::path programToTime() {
    const char* given = std::getenv("QM_BENCH_PROGRAM");
    return given && *given ? fs::path(given) : fs::path(QM_CLI_PROGRAM);
}

fs::path installProgram(const fs::path& app) {
    const fs::path program = programToTime();
    fs::remove_all(app);
    fs::create_directories(app);
    fs::copy_file(program, app / program.filename());
    fs::copy_file(program.parent_path() / "dbTemp.mdb", app / "dbTemp.mdb");
    return app / program.filename();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Setup {
    fs::path base, source, work, program, data, temp;
    std::vector<std::string> environment() const {
        return {"TEMP=" + temp.string(), "XDG_DATA_HOME=" + data.string()};
    }
    // A fresh copy of the folder and fresh backups, change log and working database.
    void fresh() const {
        fs::remove_all(work);
        fs::remove_all(data);
        fs::remove_all(temp);
        fs::create_directories(temp);
        if (runChild({"/bin/cp", "-r", source.string(), work.string()}, {}).status != 0) {
            std::printf("cp -r failed\n");
            std::exit(1);
        }
        installProgram(program.parent_path());
        ::sync();
    }
    std::vector<std::string> command(bool dryRun) const {
        std::vector<std::string> c = {program.string(), "replace", work.string(), "--all",
                                      "--find",         "needle",  "--replace",   "thread"};
        if (dryRun)
            c.push_back("--dry-run");
        return c;
    }
};

std::string lastLines(const fs::path& file, int n) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::string text;
    for (std::size_t i = lines.size() > static_cast<std::size_t>(n) ? lines.size() - n : 0;
         i < lines.size(); ++i)
        text += "    | " + lines[i] + "\n";
    return text;
}

struct Timed {
    std::vector<double> seconds;
    long long peak = 0;
    int status = 0;
};

Timed timeRuns(const Setup& s, bool dryRun, int runs) {
    Timed t;
    const fs::path out = s.base / "run.txt";
    for (int i = 0; i < runs; ++i) {
        s.fresh();
        const ChildRun r = runChild(s.command(dryRun), s.environment(), out);
        t.seconds.push_back(r.seconds);
        t.peak = std::max(t.peak, r.peakBytes);
        t.status = std::max(t.status, r.status);
    }
    std::printf("%s", lastLines(out, 2).c_str());
    return t;
}

Timed timeCommand(const Setup& s, const std::vector<std::string>& argv, int runs) {
    Timed t;
    for (int i = 0; i < runs; ++i) {
        s.fresh();
        fs::remove_all(s.base / "copy");
        const ChildRun r = runChild(argv, {});
        t.seconds.push_back(r.seconds);
        t.status = std::max(t.status, r.status);
    }
    return t;
}

// strace -f -c: calls by name.
std::map<std::string, long> straceCounts(const Setup& s) {
    s.fresh();
    const fs::path out = s.base / "strace-c.txt";
    std::vector<std::string> argv = {"/usr/bin/strace", "-f", "-c", "-o", out.string()};
    for (const auto& a : s.command(true))
        argv.push_back(a);
    runChild(argv, s.environment());
    std::map<std::string, long> counts;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        // % time, seconds, usecs/call, calls, [errors,] syscall
        if (f.size() >= 5 && std::isdigit(static_cast<unsigned char>(f[3][0])) &&
            f.back() != "total")
            counts[f.back()] = std::atol(f[3].c_str());
    }
    return counts;
}

// Calls that write a name or flush, traced; those whose arguments name the folder, counted.
long writesInFolder(const Setup& s, std::string& sample) {
    s.fresh();
    const fs::path out = s.base / "strace-e.txt";
    std::vector<std::string> argv = {
        "/usr/bin/strace",
        "-f",
        "-y",
        "-e",
        "trace=fsync,fdatasync,sync_file_range,rename,renameat,renameat2,"
        "mkdir,mkdirat,unlink,unlinkat,rmdir,link,linkat,symlink,"
        "symlinkat,truncate,ftruncate,write,pwrite64,copy_file_range,"
        "fchmod,fchown,utimensat",
        "-o",
        out.string()};
    for (const auto& a : s.command(true))
        argv.push_back(a);
    runChild(argv, s.environment());
    // Opens for writing show as the writes, flushes and renames that follow them. A call names
    // the folder by a path argument ("/...) or by a descriptor opened there (3</...>); a line of
    // output that quotes a table's folder does not.
    long n = 0;
    std::ifstream in(out);
    const std::string path = "\"" + s.work.string(), descriptor = "<" + s.work.string();
    for (std::string line; std::getline(in, line);) {
        for (auto at = line.find("//"); at != std::string::npos; at = line.find("//", at))
            line.erase(at, 1); // "//tmp/..." names the same as "/tmp/..."
        if (line.find(path) != std::string::npos || line.find(descriptor) != std::string::npos) {
            if (n++ == 0)
                sample = line;
        }
    }
    return n;
}

// A replace and a dry run, each timed beside the copy.
void reportRuns(const Setup& s, double copy, std::uintmax_t largest, int runs) {
    for (const bool dryRun : {false, true}) {
        const double l = loadAverage();
        const Timed r = timeRuns(s, dryRun, runs);
        std::printf("  quillmend replace%s %7.3fs %6.1fx cp -r  (load %.2f, status %d, "
                    "peak %.1f MB, %.2fx the largest table)\n",
                    dryRun ? " --dry-run" : "          ", median(r.seconds),
                    median(r.seconds) / copy, l, r.status, r.peak / 1e6,
                    static_cast<double>(r.peak) / static_cast<double>(largest));
        std::printf("    runs:");
        for (double x : r.seconds)
            std::printf(" %.3fs", x);
        std::printf("\n");
    }
}

// The dry run's calls, counted by strace.
void reportCalls(const Setup& s) {
    const auto counts = straceCounts(s);
    std::printf("  strace -f -c of a dry run (calls):");
    long stat = 0;
    for (const auto& [name, n] : counts)
        if (name.find("stat") != std::string::npos && name != "statfs" && name != "fstatfs")
            stat += n;
    const auto count = [&](const char* name) {
        const auto it = counts.find(name);
        return it == counts.end() ? 0L : it->second;
    };
    std::printf(" stat family %ld, fcntl %ld, flock %ld, openat %ld, getdents64 %ld, "
                "fsync %ld, fdatasync %ld, rename %ld, renameat %ld, renameat2 %ld, mkdir %ld, "
                "write %ld, pwrite64 %ld\n",
                stat, count("fcntl"), count("flock"), count("openat"), count("getdents64"),
                count("fsync"), count("fdatasync"), count("rename"), count("renameat"),
                count("renameat2"), count("mkdir"), count("write"), count("pwrite64"));
    std::string sample;
    const long touching = writesInFolder(s, sample);
    std::printf("  writing calls of a dry run that name the folder: %ld%s%s\n", touching,
                touching ? ", the first: " : "", sample.c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (isMeasureChild(argc, argv))
        return measureChildMain(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as it comes
    int tables = 600, runs = 3;
    fs::path makeOnly;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--tables" && i + 1 < argc)
            tables = std::atoi(argv[++i]);
        else if (a == "--runs" && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (a == "--make" && i + 1 < argc)
            makeOnly = argv[++i];
    }
    if (!makeOnly.empty()) {
        makeFolder(makeOnly, tables);
        return 0;
    }
    if (!fs::is_regular_file(programToTime())) {
        std::printf("the command line program %s is not built\n", programToTime().c_str());
        return 1;
    }
    const char* dir = std::getenv("QM_BENCH_DIR");
    Setup s;
    s.base = fs::path(dir && *dir ? dir : fs::temp_directory_path().string()) /
             ("qm-many-" + std::to_string(::getpid()));
    s.source = s.base / "source";
    s.work = s.base / "work";
    s.data = s.base / "data";
    s.temp = s.base / "temp";
    s.program = s.base / "app" / programToTime().filename();
    fs::create_directories(s.base);

    auto t0 = Clock::now();
    const std::uintmax_t largest = makeFolder(s.source, tables);
    const std::uintmax_t bytes = folderBytes(s.source);
    std::printf("%d tables in 40 folders, %.1f MB (made in %.1fs), the largest %.1f MB; "
                "find \"needle\" -> \"thread\"; medians of %d\n",
                tables, bytes / 1e6, since(t0), largest / 1e6, runs);

    const double load = loadAverage();
    const Timed cp =
        timeCommand(s, {"/bin/cp", "-r", s.source.string(), (s.base / "copy").string()}, runs);
    fs::remove_all(s.base / "copy");
    const Timed rm = timeCommand(s, {"/bin/rm", "-rf", s.work.string()}, runs);
    const double copy = median(cp.seconds);
    std::printf("  cp -r                 %7.3fs          (load %.2f)\n", copy, load);
    std::printf("  rm -rf                %7.3fs\n", median(rm.seconds));
    reportRuns(s, copy, largest, runs);
    if (fs::exists("/usr/bin/strace"))
        reportCalls(s);
    fs::remove_all(s.base);
    return 0;
}
