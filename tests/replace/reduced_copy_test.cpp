// The working copy holds only the records a find text hits (candidates.h). Every run here is
// made twice on twin copies of a folder, once with every record copied and once with the
// candidates alone, and everything a person or another program can observe must agree: the
// outcome of each table, the change log, the operations asked for the copied records, and the
// bytes of every file.

#include "replace_fixture.h"

#include "paradox/writer.h"

#include <algorithm>
#include <random>

namespace qm::test {
namespace {

using paradox::FieldSpec;
using paradox::FieldType;

struct Observed {
    RunResult result;
    std::vector<std::string> log; // lines without their date and time
    std::map<std::string, std::string> files;
    std::vector<std::string> operations;
    std::vector<std::string> hits; // as a preview lists them, with the record's number
};

class ReducedCopy : public ReplaceFixture {
  protected:
    // Runs in (its rows naming paradoxDir) on a twin of paradoxDir made for the run.
    Observed runOn(const std::string& name, RunInputs in, bool everyRecord) {
        // The same folder for both runs: its name is in the export.
        const fs::path folder = temp_.path() / "work";
        fs::remove_all(folder);
        fs::create_directories(folder);
        for (const auto& e : fs::directory_iterator(paradoxDir))
            fs::copy_file(e.path(), folder / e.path().filename());
        for (auto& r : in.rows)
            r.table.folder = folder.string();
        // A fresh working database: a table an earlier run did not write back leaves its copy.
        fs::remove(appDir / "dbTemp.mdb");
        std::ofstream(appDir / "dbTemp.mdb").close();
        options.copyEveryRecord = everyRecord;
        options.changeLog = temp_.path() / (name + ".log");
        options.backupRoot = temp_.path() / (name + "-backups");
        operations.clear();
        Observed o;
        options.onHit = [&o](const RunHit& h) {
            o.hits.push_back(h.table + "|" + h.column + "|" + std::to_string(h.record) + "|" +
                             h.oldValue + "|" + h.newValue + "|" + h.find + "|" + h.refused);
        };
        o.result = run(in);
        for (const auto& op : operations)
            o.operations.push_back(describe(op));
        for (std::string line : logLines()) {
            const auto cut = line.find("] - ");
            o.log.push_back(cut == std::string::npos ? line : line.substr(cut + 4));
        }
        o.files = files(folder);
        return o;
    }

    // The two runs of in agree; returns how many records the reduced copy left out.
    long long expectSameRun(const RunInputs& in, const std::string& what) {
        SCOPED_TRACE(what);
        const Observed every = runOn("every" + std::to_string(round_), in, true);
        const Observed reduced = runOn("reduced" + std::to_string(round_), in, false);
        ++round_;
        EXPECT_EQ(every.result.end, reduced.result.end);
        EXPECT_EQ(every.result.clean(), reduced.result.clean());
        EXPECT_EQ(endOfRunReport(every.result), endOfRunReport(reduced.result));
        EXPECT_EQ(every.result.tables.size(), reduced.result.tables.size());
        for (std::size_t i = 0;
             i < std::min(every.result.tables.size(), reduced.result.tables.size()); ++i) {
            const auto& a = every.result.tables[i];
            const auto& b = reduced.result.tables[i];
            EXPECT_EQ(a.hits, b.hits);
            EXPECT_EQ(a.valuesChanged, b.valuesChanged);
            EXPECT_EQ(a.writeBack, b.writeBack);
            EXPECT_EQ(a.reason, b.reason);
            EXPECT_EQ(a.leftUnchanged.size(), b.leftUnchanged.size());
        }
        EXPECT_EQ(every.log, reduced.log);
        EXPECT_EQ(every.hits, reduced.hits);
        EXPECT_EQ(every.files, reduced.files);

        // The operations: the same, in the same order, but for the copies of the records left
        // out and the count of the export, which is the copy's own.
        const auto isInsert = [](const std::string& s) { return s.starts_with("copy "); };
        std::vector<std::string> restA, restB;
        std::vector<std::string> insertsA, insertsB;
        for (const auto& s : every.operations)
            isInsert(s) ? insertsA.push_back(s) : restA.push_back(s);
        for (const auto& s : reduced.operations)
            isInsert(s) ? insertsB.push_back(s) : restB.push_back(s);
        const auto exportCount = [](std::string s) {
            if (s.starts_with("export "))
                s = s.substr(0, s.find(' ', 7)) + " N" + s.substr(s.find(','));
            return s;
        };
        EXPECT_EQ(restA.size(), restB.size());
        for (std::size_t i = 0; i < std::min(restA.size(), restB.size()); ++i)
            EXPECT_EQ(exportCount(restA[i]), exportCount(restB[i]));
        // Each INSERT of the reduced copy is one of the full copy's, in the same order.
        std::size_t at = 0;
        for (const auto& s : insertsB) {
            while (at < insertsA.size() && insertsA[at] != s)
                ++at;
            EXPECT_LT(at, insertsA.size()) << "an INSERT the full copy never sent: " << s;
            ++at;
        }
        return static_cast<long long>(insertsA.size() - insertsB.size());
    }

    int round_ = 0;
};

RunInputs withSets(RunInputs in, const std::vector<std::pair<std::string, std::string>>& sets) {
    in.selectedTab = 1;
    for (const auto& [f, r] : sets) {
        in.setFind.push_back(f);
        in.setReplace.push_back(r);
    }
    return in;
}

// A table of the benchmark's shape and a keyed one, with repeated values, apostrophes, chains of
// sets and text forms to meet.
TEST_F(ReducedCopy, SyntheticTablesComeOutTheSameWhateverTheFindsAndOptions) {
    std::mt19937 rng(5);
    const std::vector<std::string> words = {
        "needle", "grey cat", "Grey",        "GREY", "O'Hara",       "black cat", "dog",
        "Sports", "a",        "b",           "über", "ÜBER",         "cat's",     "catalog",
        "plain",  "x",        "Sports Club", "2021", "needle thread"};
    std::vector<std::vector<std::string>> rows, keyed;
    for (int i = 0; i < 600; ++i) {
        const std::string w = words[rng() % words.size()];
        const std::string v = words[rng() % words.size()];
        rows.push_back({w + (i % 3 ? " " + std::to_string(i % 17) : ""), // repeats often
                        i % 4 ? v : "", i % 5 ? "a memo that is longer than its leader: " + v : "",
                        std::to_string(i) + ".25", i % 7 ? "2021-08-31" : "", std::to_string(i)});
        keyed.push_back({"k" + std::to_string(i) + (i % 9 == 0 ? " cat" : ""), v});
    }
    makeTable("BENCH.DB",
              {{"First", FieldType::Alpha, 40},
               {"Second", FieldType::Alpha, 40},
               {"Notes", FieldType::Memo, 30},
               {"Amount", FieldType::Number, 0},
               {"Day", FieldType::Date, 0},
               {"Id", FieldType::Long, 0}},
              rows);
    makeTable("KEYED.DB", {{"Code", FieldType::Alpha, 20}, {"Label", FieldType::Alpha, 30}}, keyed,
              1);
    const std::vector<TableRow> both = {row("BENCH.DB"), row("KEYED.DB")};

    long long leftOut = 0;
    leftOut += expectSameRun(pair(both, "needle", "thread"), "one pair");
    leftOut += expectSameRun(pair(both, "O'Hara", "O'Brien"), "apostrophes");
    leftOut += expectSameRun(pair(both, "2021", "2022"), "a find in the text form of a date");
    leftOut += expectSameRun(pair(both, "cat", "cat"), "a replacement that changes nothing");
    // Chains: a set's replacement holds a later set's find text, or gives an earlier one's.
    leftOut += expectSameRun(withSets(pair(both, "", ""), {{"cat", "dog"}, {"dog", "cat"}}),
                             "two sets that swap");
    leftOut += expectSameRun(
        withSets(pair(both, "", ""), {{"a", "b"}, {"b", "c"}, {"Sports", "Sports Club"}}),
        "a chain of sets");
    leftOut += expectSameRun(withSets(pair(both, "", ""), {{"grey", "black"}, {"black", "white"}}),
                             "a set whose replacement is the next set's find");
    for (bool matchCase : {true, false})
        for (bool whole : {false, true}) {
            RunInputs in =
                withSets(pair(both, "", ""),
                         {{"grey", "gray"}, {"über", "uber"}, {"cat", "dog"}, {"dog", "cat"}});
            in.search.matchCase = matchCase;
            in.search.wholeWord = whole;
            leftOut += expectSameRun(in, in.search.describe());
        }
    RunInputs regex = pair(both, "gr(e|a)y", "gr$1$1y");
    regex.search.regex = true;
    leftOut += expectSameRun(regex, "a regular expression");
    RunInputs columns = pair(both, "cat", "dog");
    columns.columns.skip = {"Second"};
    leftOut += expectSameRun(columns, "a column left out");
    // The comparisons above mean something only when records were left out.
    EXPECT_GT(leftOut, 5000);
}

std::vector<fs::path> corpusTables() {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(corpusDir())) {
        std::string ext = e.path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (e.is_regular_file() && ext == ".DB")
            out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Finds taken from a table's own text: pieces of values of a few records, so that some
// records hold them and most do not, with a chain between two of them.
std::vector<std::pair<std::string, std::string>> findsFrom(const fs::path& db) {
    std::vector<std::string> pieces;
    try {
        const auto t = paradox::Table::open(db);
        std::size_t n = 0;
        t.forEachRecordWhile([&](const paradox::Record& r) {
            for (std::size_t k = 0; k < t.fields().size() && pieces.size() < 3; ++k) {
                const auto type = t.fields()[k].type;
                if (type != FieldType::Alpha && type != FieldType::Memo)
                    continue;
                const auto text = t.text(k, r.bytes());
                if (text && text->size() >= 4 && (n++ % 7) == 0)
                    pieces.push_back(text->substr(text->size() / 2 - 1, 3));
            }
            return pieces.size() < 3;
        });
    } catch (const std::exception&) {
    }
    std::vector<std::pair<std::string, std::string>> sets;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        sets.push_back({pieces[i], i + 1 < pieces.size() ? pieces[i + 1] : "'"});
    return sets;
}

TEST_F(ReducedCopy, EveryCorpusTableComesOutTheSame) {
    if (!haveCorpus())
        GTEST_SKIP() << "corpus folder absent";
    std::size_t tables = 0;
    long long leftOut = 0;
    for (const fs::path& original : corpusTables()) {
        fs::remove_all(paradoxDir);
        fs::create_directories(paradoxDir);
        copyFamily(original);
        const auto sets = findsFrom(paradoxDir / original.filename());
        if (sets.empty())
            continue;
        ++tables;
        const TableRow r{TableNameFromFile(original.filename().string()), paradoxDir.string(),
                         original.filename().string()};
        leftOut += expectSameRun(withSets(pair({r}, "", ""), sets), original.string());
        RunInputs caseless = pair({r}, sets[0].first, "ZZ");
        caseless.search.matchCase = false;
        leftOut += expectSameRun(caseless, original.string() + " ignoring case");
    }
    EXPECT_GT(tables, 30u);
    EXPECT_GT(leftOut, 1000);
}

} // namespace
} // namespace qm::test
