// The whole round trip on large tables, as a person meets it and phase by phase:
//
//   1. `cp -r` of the table's files (the yardstick);
//   2. `quillmend replace FOLDER --all --find needle --replace thread` on a fresh copy, the whole
//      process, with its peak memory;
//   3. the same run inside this process (runReplace), told apart into its phases: import,
//      search with its UPDATEs, write-back.
//
//   bench_round_trip [--no-phases] [records ...]   (default: 100000 1000000 10000000)
//   bench_round_trip --make FOLDER RECORDS         (only writes the table, FOLDER/BENCH.DB)
//   QM_BENCH_DIR    where the tables go (default: the temporary folder)
//   QM_BENCH_FIND   the find text (default: needle, in one record in ten)
//
// A size whose tables would not fit on the disk is skipped, and it says so. Every figure carries
// the machine's one-minute load average: on a shared machine, wall times grow with it. Prints
// what it measures; asserts nothing beyond each run having ended cleanly.

#include "bench_support.h"

#include "app/common.h"
#include "app/pump_throttle.h"
#include "db/connection.h"
#include "replace/replace_run.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

using namespace bench;

namespace {

#ifndef QM_CLI_PROGRAM
#define QM_CLI_PROGRAM ""
#endif

// The window's event pump as the Qt side does it: events run at most every few milliseconds.
class BenchUi : public qm::UserInterface {
  public:
    qm::Answer messageBox(const std::string& text, qm::Buttons, qm::Icon,
                          const std::string&) override {
        lastBox = text;
        return qm::Answer::Ok;
    }
    std::string inputBox(const std::string&, const std::string&, const std::string&) override {
        return {};
    }
    std::string fileDialog(const qm::FileDialogRequest&) override { return {}; }
    std::string browseForFolder(const std::string&, const std::string&) override { return {}; }
    void setPointer(qm::PointerState) override {}
    void processEvents() override {
        ++pumps;
        if (!pump.due())
            return;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    qm::PumpThrottle pump;
    long long pumps = 0;
    std::string lastBox;
};

std::string findText() {
    const char* find = std::getenv("QM_BENCH_FIND");
    return find && *find ? find : "needle";
}

void copyFolder(const fs::path& from, const fs::path& to) {
    fs::remove_all(to);
    fs::create_directories(to);
    for (const auto& e : fs::directory_iterator(from))
        fs::copy_file(e.path(), to / e.path().filename());
}

// The program and a fresh working database in a folder of their own, so that the run shares
// its working database and run locks with nobody.
fs::path installProgram(const fs::path& app) {
    const fs::path program(QM_CLI_PROGRAM);
    fs::remove_all(app);
    fs::create_directories(app);
    fs::copy_file(program, app / program.filename());
    fs::copy_file(program.parent_path() / "dbTemp.mdb", app / "dbTemp.mdb");
    return app / program.filename();
}

struct Figures {
    long records = 0;
    std::uintmax_t tableBytes = 0;
    double copy = 0, copyLoad = 0;
    ChildRun whole;
    double wholeLoad = 0;
    std::string summary;
};

ChildRun wholeProcess(const fs::path& base, const fs::path& table, std::string& summary) {
    const fs::path program = installProgram(base / "app");
    const fs::path work = base / "work", data = base / "data", temp = base / "temp";
    copyFolder(table, work);
    fs::remove_all(data);
    fs::remove_all(temp);
    fs::create_directories(temp);
    ::sync();
    const fs::path out = base / "run.txt";
    const ChildRun run = runChild({program.string(), "replace", work.string(), "--all", "--find",
                                   findText(), "--replace", "thread"},
                                  {"TEMP=" + temp.string(), "XDG_DATA_HOME=" + data.string()}, out);
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);)
        summary += "    | " + line + "\n";
    fs::remove_all(work);
    fs::remove_all(data);
    fs::remove_all(temp);
    fs::remove_all(base / "app");
    return run;
}

// The same run inside this process, its phases told apart by its progress calls: the first
// comes when the search of the working copy begins, the last when it ends.
void phases(const fs::path& base, const fs::path& table, std::uintmax_t size, double copy) {
    const fs::path app = base / "app", paradox = base / "phases", backups = base / "backups";
    installProgram(app);
    qm::setApplicationFolder(app.string());
    copyFolder(table, paradox);
    ::sync();
    resetPeakRss();
    const long long baseline = rss();
    const double load = loadAverage();

    Clock::time_point runStart{}, writeStart{};
    BenchUi ui;
    qm::RunInputs in;
    in.rows.push_back({{"BENCH", paradox.string(), "BENCH.DB"}, true});
    in.findText = findText();
    in.replaceText = "thread";
    qm::RunOptions options;
    options.changeLog = base / "backups.log";
    options.backupRoot = backups;
    options.progress = [&](const std::string&, long long done, long long total) {
        if (done == 0 && runStart == Clock::time_point{})
            runStart = Clock::now();
        if (done == total)
            writeStart = Clock::now();
    };
    const auto t0 = Clock::now();
    const double c0 = cpuSeconds();
    const qm::RunResult result = qm::runReplace(ui, in, options);
    const auto end = Clock::now();
    const double cpu = cpuSeconds() - c0;
    const long long peak = peakRss();
    const auto secs = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double>(b - a).count();
    };
    const double import = secs(t0, runStart), run = secs(runStart, writeStart),
                 write = secs(writeStart, end), total = secs(t0, end);
    const auto& t = result.tables;
    std::printf("  in this process (load %.2f):\n", load);
    std::printf("    import (and checks)    %8.3fs  %6.1fx copy\n", import, import / copy);
    std::printf("    search and UPDATEs     %8.3fs  %6.1fx copy  (%lld hits)\n", run, run / copy,
                t.empty() ? 0 : t[0].hits);
    std::printf("    write-back             %8.3fs  %6.1fx copy  (%lld values changed)\n", write,
                write / copy, t.empty() ? 0 : t[0].valuesChanged);
    std::printf("    the run                %8.3fs  %6.1fx copy  (processor %.3fs)\n", total,
                total / copy, cpu);
    std::printf("    peak memory            %8.1f MB  %5.2fx the table (%.1f MB before the run)\n",
                peak / 1e6, static_cast<double>(peak) / static_cast<double>(size), baseline / 1e6);
    // A clean run's box begins "Done." and goes on with the counts.
    const bool done = ui.lastBox.rfind("Done.", 0) == 0 && result.clean();
    std::printf("    end box: %s\n", done ? "Done." : ("a report:\n" + ui.lastBox).c_str());
    fs::remove_all(paradox);
    fs::remove_all(backups);
    fs::remove_all(app);
    fs::remove(base / "backups.log");
}

} // namespace

int main(int argc, char** argv) {
    if (isMeasureChild(argc, argv))
        return measureChildMain(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "--make") {
        fs::create_directories(argv[2]);
        makeBenchTable(fs::path(argv[2]) / "BENCH.DB", std::atol(argv[3]));
        return 0;
    }
    QCoreApplication app(argc, argv);
    bool withPhases = true;
    std::vector<long> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-phases")
            withPhases = false;
        else
            sizes.push_back(std::atol(argv[i]));
    }
    if (sizes.empty())
        sizes = {100000, 1000000, 10000000};
    std::sort(sizes.begin(), sizes.end());
    if (!fs::is_regular_file(QM_CLI_PROGRAM)) {
        std::printf("the command line program %s is not built\n", QM_CLI_PROGRAM);
        return 1;
    }
    const char* dir = std::getenv("QM_BENCH_DIR");
    const fs::path base = fs::path(dir && *dir ? dir : fs::temp_directory_path().string()) /
                          ("qm-bench-" + std::to_string(::getpid()));
    fs::create_directories(base);
    std::printf("find \"%s\" -> \"thread\"; the copy is the fastest of three `cp -r`\n",
                findText().c_str());

    std::vector<Figures> all;
    for (long n : sizes) {
        // About 170 bytes a record on disk; the table, a copy of it, the working database and
        // the new files besides.
        const std::uintmax_t need = static_cast<std::uintmax_t>(n) * 170 * 6;
        if (freeBytes(base) < need) {
            std::printf("\n== %ld records: skipped, the disk has %.1f GB free and this size needs "
                        "about %.1f GB\n",
                        n, freeBytes(base) / 1e9, need / 1e9);
            continue;
        }
        Figures f;
        f.records = n;
        const fs::path table = base / "table";
        fs::create_directories(table);
        auto t0 = Clock::now();
        makeBenchTable(table / "BENCH.DB", n);
        const double made = since(t0);
        f.tableBytes = folderBytes(table);
        f.copyLoad = loadAverage();
        f.copy = timeCopy(table, base / "copy");
        f.wholeLoad = loadAverage();
        f.whole = wholeProcess(base, table, f.summary);
        std::printf("\n== %ld records, table files %.1f MB (made in %.1fs)\n", n,
                    f.tableBytes / 1e6, made);
        std::printf("  cp -r                    %8.3fs             (load %.2f)\n", f.copy,
                    f.copyLoad);
        std::printf("  quillmend replace        %8.3fs  %6.1fx copy  (load %.2f, processor "
                    "%.3fs, status %d)\n",
                    f.whole.seconds, f.whole.seconds / f.copy, f.wholeLoad, f.whole.cpu,
                    f.whole.status);
        std::printf("    peak memory            %8.1f MB  %5.2fx the table\n",
                    f.whole.peakBytes / 1e6,
                    static_cast<double>(f.whole.peakBytes) / static_cast<double>(f.tableBytes));
        std::printf("%s", f.summary.c_str());
        std::fflush(stdout);
        if (withPhases)
            phases(base, table, f.tableBytes, f.copy);
        std::fflush(stdout);
        fs::remove_all(table);
        all.push_back(f);
    }
    std::printf("\n== summary\n");
    for (const auto& f : all)
        std::printf("  %9ld records: %7.3fs, %5.1fx cp -r, peak %.0f%% of the table (load %.2f)\n",
                    f.records, f.whole.seconds, f.whole.seconds / f.copy,
                    100.0 * static_cast<double>(f.whole.peakBytes) /
                        static_cast<double>(f.tableBytes),
                    f.wholeLoad);
    for (std::size_t i = 1; i < all.size(); ++i)
        std::printf("  %ld -> %ld records: %.2fx the time\n", all[i - 1].records, all[i].records,
                    all[i].whole.seconds / all[i - 1].whole.seconds);
    fs::remove_all(base);
    return 0;
}
