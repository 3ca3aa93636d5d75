// A long campaign of whole replace runs on damaged tables; not run by ctest. Each input is a
// small table family (from the corpus, or made by the tests' writer) damaged by a seeded
// generator, then replaced in twice, with the reduced working copy and with every record:
// both runs must refuse the table and leave its files alone, or write exactly the changes asked
// for, and agree with each other. Build it in a sanitizer build and run
//
//   QM_CAMPAIGN_INPUTS=3000 QM_CAMPAIGN_FIRST=0 QM_CAMPAIGN_KEEP=/tmp/kept ./damaged_run_campaign
//
// An input that broke a promise is printed with its seed and, with QM_CAMPAIGN_KEEP, kept there
// as the damaged family; QM_CAMPAIGN_FIRST=seed QM_CAMPAIGN_INPUTS=1 makes it again.

#include "../replace/damaged_family.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace qm::test::damage {
namespace {

long envNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

// Small corpus tables with memo files, indexes and several blocks.
const char* const kCorpusTables[] = {
    "leonhad__paradoxdriver/db/CUSTOMER.DB",        "leonhad__paradoxdriver/db/HERCULES.DB",
    "leonhad__paradoxdriver/db/AREACODE.DB",        "leonhad__paradoxdriver/db/ORDERS.DB",
    "leonhad__paradoxdriver/db/CONTACTS.DB",        "leonhad__paradoxdriver/db/AREACODES.DB",
    "celebithil__Rparadox/TypSammlung.DB",          "celebithil__Rparadox/biolife.db",
    "leonhad__paradoxdriver/fields/memo.db",        "leonhad__paradoxdriver/fields/fmemo.db",
    "teverett__paradoxReader/examples/HERCULES.DB", "leonhad__paradoxdriver/joins/fk4.db",
    "leonhad__paradoxdriver/db/SERVER.DB",          "celebithil__Rparadox/country.db",
};

void copyFamilyTo(const fs::path& db, const fs::path& to) {
    fs::create_directories(to);
    for (const auto& e : fs::directory_iterator(db.parent_path()))
        if (e.is_regular_file() && e.path().stem() == db.stem()) {
            fs::copy_file(e.path(), to / e.path().filename(), fs::copy_options::overwrite_existing);
            fs::permissions(to / e.path().filename(), fs::perms::owner_write,
                            fs::perm_options::add);
        }
}

class Campaign : public DamagedRun {};

TEST_F(Campaign, DamagedTablesAreRefusedOrChangedExactlyAsAsked) {
    std::vector<fs::path> sources = syntheticSources();
    if (haveCorpus())
        for (const char* t : kCorpusTables)
            if (fs::exists(corpusDir() / t))
                sources.push_back(corpusDir() / t);
    struct Clean {
        std::vector<nlohmann::json> rows;
        nlohmann::json header;
    };
    std::vector<Clean> clean;
    for (const auto& s : sources) {
        Clean c;
        c.rows = pxdump(s, &c.header);
        clean.push_back(std::move(c));
    }

    const long first = envNumber("QM_CAMPAIGN_FIRST", 0);
    const long inputs = envNumber("QM_CAMPAIGN_INPUTS", 200);
    const char* keep = std::getenv("QM_CAMPAIGN_KEEP");
    std::atomic<long> current{-1};
    std::atomic<bool> done{false};
    // A run that takes minutes on a table of a few kilobytes hangs.
    std::thread watchdog([&] {
        long seen = -2;
        int still = 0;
        while (!done) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long now = current;
            still = now == seen ? still + 1 : 0;
            seen = now;
            if (still > 120) {
                std::cerr << "input " << now << " hangs\n";
                std::abort();
            }
        }
    });

    long faults = 0, refused = 0, written = 0, carried = 0;
    for (long i = first; i < first + inputs; ++i) {
        current = i;
        const auto seed = static_cast<std::uint32_t>(i);
        const std::size_t which = static_cast<std::size_t>(i) % sources.size();
        const fs::path source = sources[which];
        std::mt19937 rng(seed * 2654435761u);
        const auto [find, replace] = findFor(clean[which].rows, clean[which].header, rng);

        const fs::path input = temp_.path() / "input";
        fs::remove_all(input);
        copyFamilyTo(source, input);
        std::vector<fs::path> donors;
        for (std::size_t k = 0; k < sources.size(); ++k)
            if (k != which)
                donors.push_back(sources[k]);
        Damager damager(seed, donors);
        const std::string what = damager.damage(input / source.filename());

        std::vector<Outcome> outcomes;
        for (const bool everyRecord : {false, true}) {
            const fs::path work = temp_.path() / "work";
            fs::remove_all(work);
            copyFamilyTo(input / source.filename(), work);
            outcomes.push_back(
                runAndCheck(work / source.filename(), find, replace, everyRecord, !everyRecord));
        }
        std::vector<std::string> problems = outcomes[0].problems;
        for (const auto& p : outcomes[1].problems)
            problems.push_back("every record: " + p);
        if (outcomes[0].summary != outcomes[1].summary)
            problems.push_back("the two copies disagree: " + outcomes[0].summary + " / " +
                               outcomes[1].summary);
        else if (outcomes[0].files != outcomes[1].files)
            problems.push_back("the two copies leave different files");
        (outcomes[0].summary.rfind("0 ", 0) == 0 ? written : refused) += 1;
        if (!outcomes[0].carried.empty()) {
            ++carried;
            std::cout << "note: input " << i << " (" << source.filename().string()
                      << ") written back with its damage carried over: " << outcomes[0].carried
                      << what;
        }
        if (!problems.empty()) {
            ++faults;
            std::cout << "=== input " << i << ": " << source.string() << "\n"
                      << what << "find '" << find << "' replace '" << replace << "'\n"
                      << "outcome: " << outcomes[0].summary << "\n";
            for (const auto& p : problems)
                std::cout << "  " << p << "\n";
            if (keep) {
                const fs::path to = fs::path(keep) / ("input-" + std::to_string(i));
                fs::remove_all(to);
                copyFamilyTo(input / source.filename(), to);
            }
            ADD_FAILURE() << "input " << i;
        }
        if ((i - first + 1) % 100 == 0)
            std::cout << "-- " << i - first + 1 << " inputs, " << faults << " with faults, "
                      << written << " written back (" << carried << " with damage carried over)"
                      << std::endl;
    }
    done = true;
    watchdog.join();
    std::cout << "inputs " << inputs << " from " << first << ": written " << written << " ("
              << carried << " with damage carried over)"
              << ", refused or unchanged " << refused << ", with faults " << faults << "\n";
}

} // namespace
} // namespace qm::test::damage
