// Whole replace runs on damaged tables: whatever the damage, the run refuses the table and
// leaves every file of its family as it was, or writes it back with exactly the changes asked
// for, and the reduced working copy comes to the same as the full one. The long campaign over
// many more damages lives beside the fuzz targets (tests/fuzz/damaged_run_campaign.cpp).

#include "damaged_family.h"

namespace qm::test::damage {
namespace {

class DamagedTableRun : public DamagedRun {
  protected:
    void copyInto(const fs::path& db, const fs::path& to) {
        fs::remove_all(to);
        fs::create_directories(to);
        for (const auto& e : fs::directory_iterator(db.parent_path()))
            if (e.path().stem() == db.stem())
                fs::copy_file(e.path(), to / e.path().filename());
    }

    // Both copies of the run on the damaged family in input; returns the reduced copy's outcome.
    Outcome expectSound(const fs::path& input, const std::string& find,
                        const std::string& replace) {
        std::vector<Outcome> outcomes;
        for (const bool everyRecord : {false, true}) {
            const fs::path work = temp_.path() / "work";
            copyInto(input, work);
            // The full copy needs no decoding of its own: its outcome and files must be the
            // checked reduced copy's.
            outcomes.push_back(
                runAndCheck(work / input.filename(), find, replace, everyRecord, !everyRecord));
            for (const auto& p : outcomes.back().problems)
                ADD_FAILURE() << (everyRecord ? "every record: " : "") << p;
        }
        EXPECT_EQ(outcomes[0].summary, outcomes[1].summary);
        EXPECT_TRUE(outcomes[0].files == outcomes[1].files);
        return outcomes[0];
    }
};

// Lays bytes over a record's field, as damage would.
void overwriteField(const fs::path& db, std::size_t record, const std::string& field,
                    const std::string& bytes) {
    std::uint64_t at = 0;
    {
        const auto t = paradox::Table::open(db);
        std::size_t i = 0;
        t.forEachRecord([&](const paradox::Record& r) {
            if (i++ == record)
                at = r.fileOffset();
        });
        for (const auto& f : t.fields())
            if (f.name == field)
                at += f.offset;
    }
    Bytes all = fileText(db);
    all.replace(at, bytes.size(), bytes);
    writeFileText(db, all);
}

// Values a table holds that no program would write: a date or timestamp past the year 9999 (its
// text has five digits of year, and the reference decoder reads it so too), a Number that is not
// a number or is infinite, a BCD digit above 9. Whether or not a find text hits their record, the
// table comes out the same with the reduced working copy as with the full one, and the values stay
// as they were.
TEST_F(DamagedTableRun, OddValuesDoNotSplitTheTwoCopies) {
    using paradox::FieldType;
    // Day 15,990,000 is in the year 43,779; a timestamp of that day in milliseconds too.
    const std::pair<std::string, std::string> odd[] = {
        {"Day", std::string("\x80\xF3\xFC\xF0", 4)},
        {"Stamp", std::string("\xC3\x13\xA1\xFF\xAA\x19\x00\x00", 8)},
        {"Amount", std::string("\xFF\xF8\x00\x00\x00\x00\x00\x00", 8)}, // NaN
        {"Amount", std::string("\xFF\xF0\x00\x00\x00\x00\x00\x00", 8)}, // infinity
        {"Amount", std::string("\x00\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 8)}, // -infinity
        // 1.2 and a nibble above 9, as the BDE leaves past a BCD's precision.
        {"Exact", std::string("\xC2") + std::string(14, '\0') + std::string("\x01\x2F", 2)},
    };
    for (const bool hitInDamaged : {false, true}) {
        SCOPED_TRACE(hitInDamaged ? "a hit in the damaged record" : "no hit in it");
        for (const auto& [field, bytes] : odd) {
            SCOPED_TRACE(field);
            fs::remove_all(paradoxDir);
            fs::create_directories(paradoxDir);
            const fs::path db =
                makeTable("ODD.DB",
                          {{"Name", FieldType::Alpha, 20},
                           {"Day", FieldType::Date, 0},
                           {"Stamp", FieldType::Timestamp, 0},
                           {"Amount", FieldType::Number, 0},
                           {"Exact", FieldType::Bcd, 2}},
                          {{"needle one", "2021-08-31", "2021-08-31 10:00:00", "1.5", "1.23"},
                           {hitInDamaged ? "needle two" : "plain", "2021-08-31",
                            "2021-08-31 10:00:00", "2.5", "1.23"},
                           {"needle three", "", "", "", ""}});
            overwriteField(db, 1, field, bytes);
            const Outcome o = expectSound(db, "needle", "pin");
            EXPECT_EQ(o.summary.rfind("0 ", 0), 0u) << o.summary;
        }
    }
}

// Two fields of one name (a header whose names were damaged): the working copy cannot be made.
// The run says so the same way whichever records it would copy, and counts none as copied.
TEST_F(DamagedTableRun, ATableWhoseCopyCannotBeMadeCountsNoRecordCopied) {
    using paradox::FieldType;
    const fs::path db =
        makeTable("TWICE.DB", {{"Name", FieldType::Alpha, 20}, {"Nome", FieldType::Alpha, 20}},
                  {{"needle one", "a"}, {"plain", "b"}, {"other", "c"}});
    Bytes all = fileText(db);
    const auto at = all.find(std::string("Nome\0", 5));
    ASSERT_NE(at, std::string::npos);
    all[at + 1] = 'a';
    writeFileText(db, all);
    for (const char* find : {"needle", "qm never there"}) {
        SCOPED_TRACE(find);
        const Outcome o = expectSound(db, find, "pin");
        EXPECT_NE(o.summary.find("(0 of 3 records were copied)"), std::string::npos) << o.summary;
    }
}

// A header naming more key fields than the table has: the table is refused when it is read, with
// its own name and the counts, and nothing is written.
TEST_F(DamagedTableRun, MoreKeyFieldsThanFieldsIsRefusedAtOnce) {
    using paradox::FieldType;
    const fs::path db =
        makeTable("KEYS.DB", {{"Code", FieldType::Alpha, 8}, {"Name", FieldType::Alpha, 20}},
                  {{"a1", "needle one"}, {"a2", "plain"}, {"a3", "needle three"}}, 1);
    Bytes all = fileText(db);
    put16(all, 0x23, 0xFFFF);
    writeFileText(db, all);
    const Outcome o = expectSound(db, "needle", "pin");
    EXPECT_NE(o.summary.find("KEYS.DB"), std::string::npos) << o.summary;
    EXPECT_NE(o.summary.find("65535 key fields"), std::string::npos) << o.summary;
}

// Two key fields where the primary index was built for one: a change in the second field is
// taken for a key change, and the index cannot be rebuilt. The table is refused at its write-back
// with a reason that names no temporary file, the same reason whichever copy the run made.
TEST_F(DamagedTableRun, AKeyWiderThanItsIndexIsRefusedWithoutATemporaryName) {
    using paradox::FieldType;
    const fs::path db =
        makeTable("KEYS.DB", {{"Code", FieldType::Alpha, 8}, {"Name", FieldType::Alpha, 20}},
                  {{"a1", "needle one"}, {"a2", "plain"}, {"a3", "needle three"}}, 1);
    Bytes all = fileText(db);
    put16(all, 0x23, 2);
    writeFileText(db, all);
    const Outcome o = expectSound(db, "needle", "pin");
    EXPECT_EQ(o.summary.find("~qm"), std::string::npos) << o.summary;
    EXPECT_NE(o.summary.find("primary index"), std::string::npos) << o.summary;
}

TEST_F(DamagedTableRun, SeededDamagesAreRefusedOrChangedExactlyAsAsked) {
    const std::vector<fs::path> sources = syntheticSources();
    std::vector<std::pair<std::vector<nlohmann::json>, nlohmann::json>> clean;
    for (const auto& s : sources) {
        nlohmann::json header;
        auto rows = pxdump(s, &header);
        ASSERT_FALSE(rows.empty()) << s;
        clean.push_back({std::move(rows), std::move(header)});
    }
    int written = 0, refused = 0;
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        const std::size_t which = seed % sources.size();
        std::mt19937 rng(seed * 2654435761u);
        const auto [find, replace] = findFor(clean[which].first, clean[which].second, rng);
        const fs::path input = temp_.path() / "input";
        copyInto(sources[which], input);
        Damager damager(seed, {sources[(which + 1) % sources.size()]});
        const std::string what = damager.damage(input / sources[which].filename());
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + what + "find '" + find +
                     "' replace '" + replace + "'");
        const Outcome o = expectSound(input / sources[which].filename(), find, replace);
        (o.summary.rfind("0 ", 0) == 0 ? written : refused) += 1;
    }
    // Both ways out are taken, or the damage says nothing about one of them.
    EXPECT_GT(written, 0);
    EXPECT_GT(refused, 0);
}

} // namespace
} // namespace qm::test::damage
