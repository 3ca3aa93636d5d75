// The whole round trip on a large table: read, import, run with one pair, write-back, beside a
// plain copy of the table's files. Prints what it measures; asserts nothing.
//
//   bench_round_trip [records ...]      (default: 100000 1000000)
//
// Peak memory is the process's high-water mark: sizes run smallest first, so each figure is that
// size's own peak (the kernel may refuse to reset the mark between sizes).

#include "app/common.h"
#include "app/pump_throttle.h"
#include "db/connection.h"
#include "paradox/table.h"
#include "paradox/writer.h"
#include "replace/replace_run.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qm::paradox::FieldType;

namespace {

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A memory figure of /proc/self/status ("VmHWM:", "VmRSS:"), in bytes.
long long memoryFigure(const std::string& key) {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(key, 0) == 0)
            return std::atoll(line.c_str() + key.size()) * 1024;
    return -1;
}
long long peakRss() { // since the last reset
    return memoryFigure("VmHWM:");
}
long long rss() {
    return memoryFigure("VmRSS:");
}
void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

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

const std::vector<qm::paradox::FieldSpec> kFields = {
    {"First", FieldType::Alpha, 40}, {"Second", FieldType::Alpha, 40},
    {"Notes", FieldType::Memo, 30},  {"Amount", FieldType::Number, 0},
    {"Day", FieldType::Date, 0},     {"Id", FieldType::Long, 0}};

void makeTable(const fs::path& db, long n) {
    qm::paradox::TableSpec spec;
    spec.fields = kFields;
    qm::paradox::TableWriter w(qm::paradox::familyPathsFor(db), spec);
    std::vector<qm::paradox::Value> rec(kFields.size());
    for (long i = 0; i < n; ++i) {
        const bool hit = i % 10 == 0;
        rec[0] = qm::paradox::valueFromText(
            kFields[0], (hit ? "record with needle " : "record number ") + std::to_string(i));
        rec[1] = qm::paradox::valueFromText(kFields[1], "second value " + std::to_string(i % 977));
        rec[2] = qm::paradox::valueFromText(
            kFields[2],
            i % 3 == 0 ? "" : "a memo that outgrows its leader, number " + std::to_string(i));
        rec[3] = qm::paradox::valueFromText(kFields[3], std::to_string(i) + ".25");
        rec[4] = qm::paradox::valueFromText(kFields[4], "2021-08-31");
        rec[5] = qm::paradox::valueFromText(kFields[5], std::to_string(i));
        w.add(rec);
    }
    w.finish();
}

std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t n = 0;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file())
            n += e.file_size();
    return n;
}

void bench(long n, const fs::path& base) {
    const fs::path app = base / "app", paradox = base / "paradox", copy = base / "copy",
                   backups = base / "backups";
    fs::remove_all(base);
    fs::create_directories(app);
    fs::create_directories(paradox);
    fs::create_directories(copy);
    std::ofstream(app / "dbTemp.mdb").close();
    qm::setApplicationFolder(app.string());

    auto t0 = Clock::now();
    makeTable(paradox / "BENCH.DB", n);
    const double make = since(t0);
    const std::uintmax_t size = folderBytes(paradox);
    ::sync();
    resetPeakRss();
    const long long baseline = rss();

    t0 = Clock::now();
    for (const auto& e : fs::directory_iterator(paradox))
        fs::copy_file(e.path(), copy / e.path().filename());
    ::sync();
    const double copySeconds = since(t0);

    t0 = Clock::now();
    std::size_t bytes = 0;
    {
        qm::db::Connection p;
        p.open(qm::db::paradoxConnectionString(paradox.string()));
        qm::db::Recordset rs;
        rs.open("SELECT * FROM `BENCH`", p);
        for (; !rs.eof(); rs.moveNext())
            for (int i = 0; i < rs.fieldCount(); ++i)
                bytes += rs.value(i).toString().size();
    }
    const double read = since(t0);

    // The phases of the one run, told apart by its progress calls: the first comes when the
    // search of the working copy begins, the last when it ends. No statement log is installed,
    // as in the program itself, so the import builds no statement text for it.
    Clock::time_point runStart{}, writeStart{};
    BenchUi ui;
    qm::RunInputs in;
    in.rows.push_back({{"BENCH", paradox.string(), "BENCH.DB"}, true});
    const char* find = std::getenv("QM_BENCH_FIND");
    in.findText = find && *find ? find : "needle";
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
    t0 = Clock::now();
    const qm::RunResult result = qm::runReplace(ui, in, options);
    const auto end = Clock::now();
    const long long peak = peakRss();

    const auto secs = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double>(b - a).count();
    };
    const double import = secs(t0, runStart);
    const double run = secs(runStart, writeStart);
    const double write = secs(writeStart, end);
    const double total = secs(t0, end);
    const double work = total; // import + run + write-back, with the checks around them
    std::printf("\n== %ld records, table files %.1f MB (written in %.2fs)\n", n, size / 1e6, make);
    std::printf("copy of the files      %8.3fs\n", copySeconds);
    std::printf("reading the table      %8.3fs  %6.1fx copy  (%zu bytes of text)\n", read,
                read / copySeconds, bytes);
    std::printf("import (and checks)    %8.3fs  %6.1fx copy\n", import, import / copySeconds);
    std::printf("run with one pair      %8.3fs  %6.1fx copy  (%lld hits)\n", run, run / copySeconds,
                result.tables.empty() ? 0 : result.tables[0].hits);
    std::printf("write-back             %8.3fs  %6.1fx copy  (%lld values changed)\n", write,
                write / copySeconds, result.tables.empty() ? 0 : result.tables[0].valuesChanged);
    std::printf("import+run+write-back  %8.3fs  %6.1fx copy\n", work, work / copySeconds);
    std::printf("peak memory            %8.1f MB  %6.2fx the table on disk\n", peak / 1e6,
                static_cast<double>(peak) / static_cast<double>(size));
    std::printf("  of which before the run %6.1f MB  (the process and its libraries)\n",
                baseline / 1e6);
    std::printf("event pumps asked for  %lld;  end box: %s\n", ui.pumps,
                ui.lastBox == "Done." ? "Done." : "a report");
    fs::remove_all(base);
}

// What one call of the event pump costs when nothing is pending.
void pumpCost() {
    BenchUi ui;
    constexpr long kCalls = 10000000;
    const auto t0 = Clock::now();
    for (long i = 0; i < kCalls; ++i)
        ui.processEvents();
    const double s = since(t0);
    std::printf("\nevent pump with nothing pending: %.1f ns a call (%ld calls in %.3fs)\n",
                s / kCalls * 1e9, kCalls, s);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<long> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atol(argv[i]));
    if (sizes.empty())
        sizes = {100000, 1000000};
    const char* tmp = std::getenv("QM_BENCH_DIR");
    const fs::path base = fs::path(tmp && *tmp ? tmp : fs::temp_directory_path().string()) /
                          ("qm-bench-" + std::to_string(::getpid()));
    for (long n : sizes)
        bench(n, base);
    pumpCost();
    return 0;
}
