// The preview: the dry run of the main window, its hits listed with the changed parts marked.

#include "run_fixture.h"
#include "ui/preview_dialog.h"

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
