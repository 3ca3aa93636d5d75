#pragma once

// What the benchmarks share: the table they work on, clocks, memory figures, the machine's load,
// and child processes timed with their peak memory.

#include "paradox/table.h"
#include "paradox/writer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qm::paradox::FieldType;

inline double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Processor time of this process: on a machine shared with other work, wall time also counts
// the waits for a processor.
inline double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A memory figure of /proc/self/status ("VmHWM:", "VmRSS:"), in bytes.
inline long long memoryFigure(const std::string& key) {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(key, 0) == 0)
            return std::atoll(line.c_str() + key.size()) * 1024;
    return -1;
}
inline long long peakRss() { // since the last reset
    return memoryFigure("VmHWM:");
}
inline long long rss() {
    return memoryFigure("VmRSS:");
}
inline void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The one-minute load average: figures taken on a busy machine say so beside them.
inline double loadAverage() {
    double one = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &one) != 1)
            one = -1;
        std::fclose(f);
    }
    return one;
}

inline std::uintmax_t freeBytes(const fs::path& folder) {
    struct statvfs s {};
    if (::statvfs(folder.c_str(), &s) != 0)
        return 0;
    return static_cast<std::uintmax_t>(s.f_bavail) * s.f_frsize;
}

inline std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            n += e.file_size();
    return n;
}

// The benchmark's table: two Alpha fields, a memo (two records in three hold a text longer than
// its leader), a number, a date and a long; one record in ten holds "needle" in its first field.
inline const std::vector<qm::paradox::FieldSpec>& benchFields() {
    static const std::vector<qm::paradox::FieldSpec> fields = {
        {"First", FieldType::Alpha, 40}, {"Second", FieldType::Alpha, 40},
        {"Notes", FieldType::Memo, 30},  {"Amount", FieldType::Number, 0},
        {"Day", FieldType::Date, 0},     {"Id", FieldType::Long, 0}};
    return fields;
}

inline void makeBenchTable(const fs::path& db, long n) {
    const auto& fields = benchFields();
    qm::paradox::TableSpec shape;
    shape.fields = fields;
    // 65,535 blocks at most: ten million records need blocks of 32 KiB, which level 7 has.
    if (n > 5000000) {
        shape.blockSizeKiB = 32;
        shape.level = 12;
    }
    qm::paradox::TableWriter w(qm::paradox::familyPathsFor(db), shape);
    std::vector<qm::paradox::Value> rec(fields.size());
    for (long i = 0; i < n; ++i) {
        const bool hit = i % 10 == 0;
        rec[0] = qm::paradox::valueFromText(
            fields[0], (hit ? "record with needle " : "record number ") + std::to_string(i));
        rec[1] = qm::paradox::valueFromText(fields[1], "second value " + std::to_string(i % 977));
        rec[2] = qm::paradox::valueFromText(
            fields[2],
            i % 3 == 0 ? "" : "a memo that outgrows its leader, number " + std::to_string(i));
        rec[3] = qm::paradox::valueFromText(fields[3], std::to_string(i) + ".25");
        rec[4] = qm::paradox::valueFromText(fields[4], "2021-08-31");
        rec[5] = qm::paradox::valueFromText(fields[5], std::to_string(i));
        w.add(rec);
    }
    w.finish();
}

struct ChildRun {
    double seconds = 0;      // wall time from its start to its end
    double cpu = 0;          // its user and system time
    long long peakBytes = 0; // its peak resident memory
    int status = -1;         // exit status; -1 when it did not exit normally
};

// A child's peak memory counts the pages of the process that forked it (the kernel keeps the
// larger of the two across exec), so children are started by a fresh, small copy of this
// program: the benchmark's main() hands "--measure-child" to measureChildMain() first.
//   --measure-child RESULT OUTPUT [NAME=VALUE ...] -- PROGRAM ARGS...
inline bool isMeasureChild(int argc, char** argv) {
    return argc > 1 && std::string(argv[1]) == "--measure-child";
}

inline int measureChildMain(int argc, char** argv) {
    if (argc < 5)
        return 2;
    const std::string result = argv[2], output = argv[3];
    int at = 4;
    for (; at < argc && std::string(argv[at]) != "--"; ++at)
        ::putenv(argv[at]);
    if (at + 1 >= argc)
        return 2;
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        if (!std::freopen(output.c_str(), "w", stdout) || ::dup2(::fileno(stdout), 2) < 0)
            ::_exit(126);
        ::execv(argv[at + 1], argv + at + 1);
        ::_exit(127);
    }
    int status = 0;
    rusage use{};
    if (::wait4(pid, &status, 0, &use) != pid)
        return 2;
    const double seconds = since(t0);
    const double cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                       static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    FILE* f = std::fopen(result.c_str(), "w");
    if (!f)
        return 2;
    std::fprintf(f, "%.6f %.6f %ld %d\n", seconds, cpu, use.ru_maxrss,
                 WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return std::fclose(f) == 0 ? 0 : 2;
}

// Runs argv (argv[0] a full path) as a child process with these variables added to its
// environment, its standard output and error sent to outputFile (empty: /dev/null).
inline ChildRun runChild(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         const fs::path& outputFile = {}) {
    ChildRun r;
    const fs::path result =
        fs::temp_directory_path() / ("qm-bench-child-" + std::to_string(::getpid()));
    std::vector<std::string> all = {"/proc/self/exe", "--measure-child", result.string(),
                                    outputFile.empty() ? "/dev/null" : outputFile.string()};
    all.insert(all.end(), environment.begin(), environment.end());
    all.push_back("--");
    all.insert(all.end(), argv.begin(), argv.end());
    const pid_t pid = ::fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : all)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv("/proc/self/exe", args.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return r;
    std::ifstream in(result);
    long maxrssKiB = 0;
    in >> r.seconds >> r.cpu >> maxrssKiB >> r.status;
    r.peakBytes = static_cast<long long>(maxrssKiB) * 1024;
    std::error_code ec;
    fs::remove(result, ec);
    return r;
}

// The fastest of three copies: a single copy of a small table is mostly noise.
inline double timeCopy(const fs::path& table, const fs::path& target) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        fs::remove_all(target);
        ::sync();
        const ChildRun cp = runChild({"/bin/cp", "-r", table.string(), target.string()}, {});
        if (cp.status != 0) {
            std::printf("cp -r failed\n");
            std::exit(1);
        }
        best = std::min(best, cp.seconds);
    }
    fs::remove_all(target);
    return best;
}

} // namespace bench
