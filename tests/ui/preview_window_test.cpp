// The preview: the dry run of the main window, its hits listed with the changed parts marked.

#include "file_bytes.h"
#include "run_fixture.h"
#include "ui/preview_dialog.h"
#include "ui/search_options_panel.h"

namespace fs = std::filesystem;
using namespace qm;
using qm::test::RunWindowTest;

namespace {

struct Row {
    std::string table, column, record, before, after, note;
};

std::vector<Row> rows(const ui::PreviewDialog& d) {
    std::vector<Row> out;
    for (int i = 0; i < d.hitList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* it = d.hitList->topLevelItem(i);
        out.push_back({it->text(0).toStdString(), it->text(1).toStdString(),
                       it->text(2).toStdString(), it->text(3).toStdString(),
                       it->text(4).toStdString(), it->text(5).toStdString()});
    }
    return out;
}

} // namespace

TEST_F(RunWindowTest, PreviewListsTheHitsOfASetsRunAndWritesNothing) {
    ui::Form2& f = mainWindow({"PRODUCTS"});
    f.TabControl1->setCurrentIndex(1);
    f.sets().appendSet("grey", "gray");
    f.sets().appendSet("Folder", "A folder far too long for forty characters");
    const auto before = files(db);
    std::vector<Row> seen;
    std::string counts, summary;
    f.setPreviewHook([&](ui::PreviewDialog& d) {
        seen = rows(d);
        counts = d.countsLabel->text().toStdString();
        summary = d.summaryView->toPlainText().toStdString();
    });
    f.Preview_Click();

    EXPECT_EQ(files(db), before) << "a preview writes nothing";
    EXPECT_FALSE(fs::exists(log)) << "and makes no change-log line";
    // The run lock lives in the backup folder; no table's old files do.
    if (fs::exists(backups)) {
        for (const auto& e : fs::recursive_directory_iterator(backups)) {
            EXPECT_NE(e.path().filename(), "ORIGIN.txt") << "a preview makes no backup";
        }
    }
    EXPECT_TRUE(ui.boxes.empty()) << "the list is the report";
    ASSERT_EQ(seen.size(), 5u) << counts;
    // Record 1, "Folder, grey, A4": both sets hit; the first changes the value.
    EXPECT_EQ(seen[0].table, "PRODUCTS");
    EXPECT_EQ(seen[0].column, "Description");
    EXPECT_EQ(seen[0].record, "1");
    EXPECT_EQ(seen[0].before, "Folder, \u00abgrey\u00bb, A4");
    EXPECT_EQ(seen[0].after, "Folder, \u00abgray\u00bb, A4");
    EXPECT_EQ(seen[0].note, "");
    EXPECT_EQ(seen[1].record, "1");
    EXPECT_EQ(seen[1].before, "\u00abFolder\u00bb, grey, A4");
    EXPECT_EQ(seen[1].note, "an earlier set changed this value first");
    // Its memo: changed.
    EXPECT_EQ(seen[2].column, "Details");
    EXPECT_EQ(seen[2].after, "Recycled card, \u00abgray\u00bb colour throughout.");
    // Record 2, "Folder, red, A4": the new value outgrows the field.
    EXPECT_EQ(seen[3].record, "2");
    EXPECT_EQ(seen[3].after, "\u00abA folder far too long for forty characters\u00bb, red, A4");
    EXPECT_NE(seen[3].note.find("longer than the field's 40 characters"), std::string::npos)
        << seen[3].note;
    EXPECT_EQ(seen[4].record, "4");
    EXPECT_EQ(seen[4].after, "Notebook, \u00abgray\u00bb cover, 96 pages");
    EXPECT_EQ(counts, "5 hits in 1 table: 3 values would change, 1 would be left as they are.");
    EXPECT_NE(summary.find("PRODUCTS (" + db.string() +
                           "): 5 hits, 3 values would change, would be written back\n  refused: "
                           "1 value in column Description: "),
              std::string::npos)
        << summary;
    EXPECT_TRUE(f.PushButton1->isEnabled());
}

TEST(HitSample, KeepsTheFirstHitsAndCountsThemAll) {
    HitSample sample(100);
    RunHit hit{"T", "/f", "C", 1, "old", "new", "o", "n", ""};
    for (long i = 0; i < 1000005; ++i) {
        hit.record = i + 1;
        hit.refused = i % 2 ? "why" : "";
        sample.add(hit);
    }
    EXPECT_EQ(sample.total(), 1000005);
    EXPECT_EQ(sample.refused(), 500002);
    const auto kept = sample.kept();
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept.front().record, 1);
    EXPECT_EQ(kept.back().record, 100);
}

TEST_F(RunWindowTest, PreviewMarksWhatIgnoreCaseFoundAndAReadOnlyFolderShowsItsHits) {
    ui::Form2& f = mainWindow({"PRODUCTS"});
    f.Text1->setText("GREY");
    f.Text2->setText("gray");
    f.SearchOptions1->MatchCase->setChecked(false);
    // The owner made the folder and its files read-only: a preview reads, and needs no more.
    const auto readOnly = [&](bool on) {
        for (const auto& e : fs::directory_iterator(db))
            fs::permissions(e.path(), fs::perms::owner_write | fs::perms::group_write,
                            on ? fs::perm_options::remove : fs::perm_options::add);
        fs::permissions(db, fs::perms::owner_write | fs::perms::group_write,
                        on ? fs::perm_options::remove : fs::perm_options::add);
    };
    readOnly(true);
    const auto before = files(db);
    std::vector<Row> seen;
    std::string counts;
    f.setPreviewHook([&](ui::PreviewDialog& d) {
        seen = rows(d);
        counts = d.countsLabel->text().toStdString();
        // The chosen hit's values whole, one above the other.
        EXPECT_EQ(d.valuesView->toPlainText().toStdString(),
                  "Old value: " + seen[0].before + "\nNew value: " + seen[0].after);
    });
    f.Preview_Click();
    ASSERT_EQ(seen.size(), 3u) << counts;
    EXPECT_EQ(seen[0].before, "Folder, \u00abgrey\u00bb, A4")
        << "what was found, not the find text";
    EXPECT_EQ(seen[0].after, "Folder, \u00abgray\u00bb, A4");
    EXPECT_NE(seen[0].note.find("the table is not written back: "), std::string::npos)
        << seen[0].note;
    EXPECT_EQ(counts, "3 hits in 1 table: 0 values would change, 3 would be left as they are.");

    // The run says which table it could not write and how many hits it held.
    f.PushButton1_Click();
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_NE(ui.boxes.back().text.find("PRODUCTS: not written back, "), std::string::npos)
        << ui.boxes.back().text;
    EXPECT_NE(ui.boxes.back().text.find(" (3 hits not replaced)."), std::string::npos)
        << ui.boxes.back().text;
    EXPECT_EQ(files(db), before);
    EXPECT_EQ(test::fileText(log).find("was replace to"), std::string::npos)
        << "no change-log line for a change that did not happen";
    readOnly(false);
}

TEST(PreviewMarks, WhatEachOptionFoundAndWhatReplacedIt) {
    SearchOptions anyCase, regex, wholeWord;
    anyCase.matchCase = false;
    regex.regex = true;
    wholeWord.wholeWord = true;
    const struct {
        SearchOptions options;
        RunHit hit;
        std::string before, after;
    } cases[] = {
        {anyCase,
         {"T", "/f", "C", 1, "GREY or grey", "gray or gray", "grey", "gray", ""},
         "\u00abGREY\u00bb or \u00abgrey\u00bb",
         "\u00abgray\u00bb or \u00abgray\u00bb"},
        {regex,
         {"T", "/f", "C", 1, "folders and Fold", "Xs and X", "(F|f)old(er)?", "X", ""},
         "\u00abfolder\u00bbs and \u00abFold\u00bb",
         "\u00abX\u00bbs and \u00abX\u00bb"},
        {regex,
         {"T", "/f", "C", 1, "mail bob@home now", "mail home at bob now", "(\\w+)@(\\w+)",
          "$2 at $1", ""},
         "mail \u00abbob@home\u00bb now",
         "mail \u00abhome at bob\u00bb now"},
        {wholeWord,
         {"T", "/f", "C", 1, "cat catalog cat", "dog catalog dog", "cat", "dog", ""},
         "\u00abcat\u00bb catalog \u00abcat\u00bb",
         "\u00abdog\u00bb catalog \u00abdog\u00bb"},
    };
    for (const auto& c : cases) {
        const auto [before, after] = ui::markedChange(c.hit, c.options);
        EXPECT_EQ(before.toStdString(), c.before) << c.hit.find;
        EXPECT_EQ(after.toStdString(), c.after) << c.hit.find;
    }
}

TEST(PreviewMarks, EveryReplacedPartOrTheChangedStretch) {
    RunHit h{"T", "/f", "C", 1, "a cat, a cat", "a dog, a dog", "cat", "dog", ""};
    EXPECT_EQ(ui::markedChange(h), std::make_pair(QString("a \u00abcat\u00bb, a \u00abcat\u00bb"),
                                                  QString("a \u00abdog\u00bb, a \u00abdog\u00bb")));
    // A replacement by nothing still shows where the text went.
    h = {"T", "/f", "C", 1, "grey owl", " owl", "grey", "", ""};
    EXPECT_EQ(ui::markedChange(h).second, QString("\u00ab\u00bb owl"));
    // A value the find text does not give back (a search the text alone does not explain):
    // the stretch between the common ends.
    h = {"T", "/f", "C", 1, "Grey owl", "Gray owl", "grey", "gray", ""};
    EXPECT_EQ(ui::markedChange(h),
              std::make_pair(QString("Gr\u00abe\u00bby owl"), QString("Gr\u00aba\u00bby owl")));
}
