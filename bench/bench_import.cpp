// The import path alone on a large table: reading the table through the Paradox connection,
// the import into the working database, 200 replacements in the copy, and the same rows copied
// in by the working database alone, each beside a plain copy of the table's files. Prints what
// it measures; asserts nothing.
//
//   bench_import [records ...]      (default: 1000000 100000)
//   QM_BENCH_DIR                    where to build the tables (default: a folder under /tmp)

#include "bench_support.h"

#include "app/common.h"
#include "app/current_folder.h"
#include "app/user_interface.h"
#include "db/connection.h"
#include "db/import.h"
#include "db/working_database.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using namespace bench;

class QuietUi : public qm::UserInterface {
  public:
    qm::Answer messageBox(const std::string& text, qm::Buttons, qm::Icon,
                          const std::string&) override {
        ++boxes;
        std::fprintf(stderr, "message: %s\n", text.c_str());
        return qm::Answer::Ok;
    }
    std::string inputBox(const std::string&, const std::string&, const std::string&) override {
        return {};
    }
    std::string fileDialog(const qm::FileDialogRequest&) override { return {}; }
    std::string browseForFolder(const std::string&, const std::string&) override { return {}; }
    void setPointer(qm::PointerState) override {}
    void processEvents() override {}
    int boxes = 0;
};

struct Figures {
    double copy = 0, read = 0, import = 0, readCpu = 0, importCpu = 0;
    double replacements = 0, inserts = 0;
};

// 200 replacements in the imported copy, each of a value a thousandth of the rows hold, then
// the table's rows copied into a new copy by the working database alone, in one transaction.
void measureWorkingDatabase(long n, Figures& f) {
    qm::db::Connection c;
    c.setMode(qm::db::adModeReadWrite);
    c.open(qm::db::workingDatabaseConnectionString());
    qm::db::WorkingDatabase working(c);
    auto t0 = Clock::now();
    for (int k = 0; k < 200; ++k)
        working.replaceValue("BENCH", "Second", "changed " + std::to_string(k),
                             "second value " + std::to_string(k));
    f.replacements = since(t0);

    using qm::db::JetType;
    working.createCopy("RAW", {{"First", JetType::Text, 40},
                               {"Second", JetType::Text, 40},
                               {"Notes", JetType::Memo, 0},
                               {"Amount", JetType::Double, 0},
                               {"Day", JetType::DateTime, 0},
                               {"Id", JetType::Long, 0}});
    std::vector<qm::db::Params> rows;
    rows.reserve(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i)
        rows.push_back({"record number " + std::to_string(i),
                        "second value " + std::to_string(i % 977),
                        "a memo that outgrows its leader, number " + std::to_string(i),
                        std::to_string(i) + ".25", "2021-08-31", std::to_string(i)});
    t0 = Clock::now();
    c.beginTrans();
    for (long i = 0; i < n; ++i)
        working.insertRecordValues("RAW", rows[static_cast<std::size_t>(i)],
                                   static_cast<std::uint64_t>(i) * 100);
    c.commitTrans();
    f.inserts = since(t0);
    working.dropCopy("RAW");
}

Figures measure(long n, const fs::path& base) {
    const fs::path app = base / "app", paradox = base / "paradox", copy = base / "copy";
    fs::remove_all(base);
    fs::create_directories(app);
    fs::create_directories(paradox);
    fs::create_directories(copy);
    std::ofstream(app / "dbTemp.mdb").close();
    qm::setApplicationFolder(app.string());
    makeBenchTable(paradox / "BENCH.DB", n);
    const std::uintmax_t size = folderBytes(paradox);
    ::sync();
    resetPeakRss();

    Figures f;
    auto t0 = Clock::now();
    for (const auto& e : fs::directory_iterator(paradox))
        fs::copy_file(e.path(), copy / e.path().filename());
    ::sync();
    f.copy = since(t0);

    t0 = Clock::now();
    double c0 = cpuSeconds();
    std::size_t bytes = 0;
    {
        qm::db::Connection p;
        p.open(qm::db::paradoxConnectionString(paradox.string()));
        qm::db::Recordset rs;
        rs.attach(qm::db::ParadoxFolder(p).openTable("BENCH"));
        for (; !rs.eof(); rs.moveNext())
            for (int i = 0; i < rs.fieldCount(); ++i) {
                const qm::Variant v = rs.value(i);
                bytes += v.isText() ? v.text().size() : 0;
            }
    }
    f.read = since(t0);
    f.readCpu = cpuSeconds() - c0;
    const long long readPeak = peakRss();
    resetPeakRss();

    QuietUi ui;
    qm::FixedFolder folder(paradox.string());
    t0 = Clock::now();
    c0 = cpuSeconds();
    const auto status = qm::db::sendTableToAccess(ui, folder, "BENCH");
    f.import = since(t0);
    f.importCpu = cpuSeconds() - c0;
    const long long importPeak = peakRss();

    std::printf("records %ld, table files %.1f MB, working database %.1f MB\n", n, size / 1e6,
                fs::file_size(app / "dbTemp.mdb") / 1e6);
    std::printf("  copy of the files   %7.3fs\n", f.copy);
    std::printf("  reading alone       %7.3fs (%.1fx copy, processor %.3fs), %zu text bytes, "
                "peak %.1f MB\n",
                f.read, f.read / f.copy, f.readCpu, bytes, readPeak / 1e6);
    std::printf("  import              %7.3fs (%.1fx copy, processor %.3fs), peak %.1f MB "
                "(%.2fx table), complete %d, messages %d\n",
                f.import, f.import / f.copy, f.importCpu, importPeak / 1e6,
                static_cast<double>(importPeak) / static_cast<double>(size),
                status.complete() ? 1 : 0, ui.boxes);
    std::fflush(stdout);
    measureWorkingDatabase(n, f);
    std::printf("  200 replacements    %7.3fs\n", f.replacements);
    std::printf("  inserts alone       %7.3fs (%.1fx copy)\n", f.inserts, f.inserts / f.copy);
    std::fflush(stdout);
    return f;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<long> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atol(argv[i]));
    if (sizes.empty())
        sizes = {1000000, 100000};
    const char* dir = std::getenv("QM_BENCH_DIR");
    const fs::path base =
        dir ? fs::path(dir)
            : fs::temp_directory_path() / ("qm-bench-import-" + std::to_string(::getpid()));
    std::vector<Figures> all;
    for (long n : sizes)
        all.push_back(measure(n, base));
    if (all.size() == 2)
        std::printf("import %ld / %ld records: %.3f (processor %.3f)\n", sizes[1], sizes[0],
                    all[1].import / all[0].import, all[1].importCpu / all[0].importCpu);
    fs::remove_all(base);
    return 0;
}
