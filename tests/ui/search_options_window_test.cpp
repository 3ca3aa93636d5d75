#include "file_bytes.h"
#include "paradox/table.h"
#include "run_fixture.h"
#include "ui/search_options_panel.h"

#include <sstream>

namespace fs = std::filesystem;
using qm::test::fileText;
using namespace qm;

namespace {

struct SearchOptionsWindowTest : qm::test::RunWindowTest {
    ui::Form2& open(ui::Form1& form1) {
        EXPECT_TRUE(form1.Form_Load());
        ui::Form2& f = *form1.mainWindow();
        f.setRunOptions(runOptions());
        return f;
    }
    static QTreeWidgetItem* item(ui::Form2& f, const char* table) {
        const auto found = f.ListView1->findItems(table, Qt::MatchExactly);
        return found.size() == 1 ? found[0] : nullptr;
    }
    static std::vector<std::pair<std::string, bool>> columns(ui::Form2& f) {
        std::vector<std::pair<std::string, bool>> out;
        for (int i = 0; i < f.SearchOptions1->Columns->count(); ++i) {
            const auto* it = f.SearchOptions1->Columns->item(i);
            out.emplace_back(it->text().toStdString(), it->checkState() == Qt::Checked);
        }
        return out;
    }
    // The values of a table's rows as the reader sees them, column by name.
    std::vector<std::string> column(const char* file, const char* name) {
        const auto t = paradox::Table::open(db / file);
        std::size_t k = 0;
        while (k < t.fields().size() && t.fields()[k].name != name)
            ++k;
        std::vector<std::string> out;
        t.forEachRecord([&](const paradox::Record& r) {
            out.push_back(paradox::textForm(t.fields()[k], r.value(k)));
        });
        return out;
    }
};

} // namespace

TEST_F(SearchOptionsWindowTest, OptionsStartAsTheExactSearchAndAreRemembered) {
    {
        ui::Form1 form1(&ui);
        ui::Form2& f = open(form1);
        auto& p = *f.SearchOptions1;
        EXPECT_TRUE(p.MatchCase->isChecked());
        EXPECT_FALSE(p.WholeWord->isChecked());
        EXPECT_FALSE(p.RegularExpression->isChecked());
        EXPECT_TRUE(p.options().plain());
        EXPECT_EQ(settings::GetSetting(settings::key::MatchCase, "absent"), "absent")
            << "loading writes nothing";
        EXPECT_EQ(f.Label2->text(), " Find what (exact case):");
        EXPECT_EQ(p.title(), " Search options");
        p.MatchCase->setChecked(false);
        p.RegularExpression->setChecked(true);
        EXPECT_EQ(settings::GetSetting(settings::key::MatchCase, ""), "0");
        EXPECT_EQ(settings::GetSetting(settings::key::RegularExpression, ""), "1");
        // The labels say how the find text is met, on both tabs.
        EXPECT_EQ(f.Label2->text(), " Find what (any case, regular expression):");
        EXPECT_EQ(f.Label7->text(), f.Label2->text());
    }
    ui::Form1 again(&ui);
    ui::Form2& f = open(again);
    EXPECT_FALSE(f.SearchOptions1->MatchCase->isChecked());
    EXPECT_FALSE(f.SearchOptions1->WholeWord->isChecked());
    EXPECT_TRUE(f.SearchOptions1->RegularExpression->isChecked());
    EXPECT_EQ(f.SearchOptions1->options().describe(), "ignore case, regular expression");
    // Options that came back are said where they are, and so are their labels.
    EXPECT_EQ(f.SearchOptions1->title(), " Search options (as you left them last time)");
    EXPECT_EQ(f.Label2->text(), " Find what (any case, regular expression):");
    f.SearchOptions1->WholeWord->setChecked(true);
    EXPECT_EQ(f.SearchOptions1->title(), " Search options");
    EXPECT_EQ(f.Label7->text(), " Find what (any case, whole words, regular expression):");
}

TEST_F(SearchOptionsWindowTest, TheColumnListOfTheSelectedTableNarrowsTheRun) {
    ui::Form1 form1(&ui);
    ui::Form2& f = open(form1);
    EXPECT_FALSE(f.SearchOptions1->Columns->isEnabled()) << "no table selected yet";
    QTreeWidgetItem* products = item(f, "PRODUCTS");
    ASSERT_NE(products, nullptr);
    f.ListView1->setCurrentItem(products);
    using Cols = std::vector<std::pair<std::string, bool>>;
    EXPECT_EQ(columns(f), (Cols{{"Code", true},
                                {"Description", true},
                                {"Price", true},
                                {"Details", true},
                                {"In Stock", true}}));
    f.SearchOptions1->Columns->item(3)->setCheckState(Qt::Unchecked);
    // Another table and back: the choice stays with its table.
    f.ListView1->setCurrentItem(item(f, "ORDERS"));
    EXPECT_EQ(columns(f).size(), 6u);
    EXPECT_EQ(columns(f).back(), (std::pair<std::string, bool>{"Remarks", true}));
    f.ListView1->setCurrentItem(products);
    EXPECT_EQ(columns(f)[3], (std::pair<std::string, bool>{"Details", false}));

    const auto detailsBefore = column("Products.db", "Details");
    products->setCheckState(0, Qt::Checked);
    f.Text1->setText("GREY");
    f.Text2->setText("gray");
    f.SearchOptions1->MatchCase->setChecked(false);
    f.PushButton1_Click();
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text.rfind("Done.\r\n", 0), 0u) << ui.boxes.back().text;
    EXPECT_EQ(
        column("Products.db", "Description"),
        (std::vector<std::string>{"Folder, gray, A4", "Folder, red, A4", "Fountain pen, black",
                                  "Notebook, gray cover, 96 pages", "Stapler, desk"}));
    EXPECT_EQ(column("Products.db", "Details"), detailsBefore) << "the unticked column";
    // The end report says how the run searched, as the command line prints it.
    EXPECT_NE(ui.boxes.back().details.find("Searched with: ignore case; PRODUCTS skipping "
                                           "Details.\n"),
              std::string::npos)
        << ui.boxes.back().details;
    const std::string lines = fileText(log);
    EXPECT_NE(lines.find("] - GREY was replace to gray at table (PRODUCTS) and column "
                         "(Description) (ignore case)\r\n"),
              std::string::npos)
        << lines;
}

TEST_F(SearchOptionsWindowTest, AnInvalidExpressionIsABoxBeforeAnythingRuns) {
    ui::Form1 form1(&ui);
    ui::Form2& f = open(form1);
    item(f, "ORDERS")->setCheckState(0, Qt::Checked);
    f.SearchOptions1->RegularExpression->setChecked(true);
    f.Text1->setText("(grey");
    f.Text2->setText("gray");
    const std::string before = fileText(db / "ORDERS.DB");
    f.PushButton1_Click();
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].text.find("\"(grey\" is not a valid regular expression"),
              std::string::npos)
        << ui.boxes[0].text;
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_TRUE(ui.pointers.empty()) << "no busy pointer: nothing ran";
    EXPECT_TRUE(f.isEnabled());
    EXPECT_EQ(fileText(db / "ORDERS.DB"), before);
    EXPECT_FALSE(fs::exists(log));

    // An empty find text, of the pair or of a set, in a run or a preview: it would hit every
    // value, change none and log every hit.
    const auto refused = [&](const std::string& why) {
        ui.boxes.clear();
        f.PushButton1_Click();
        f.Preview_Click();
        ASSERT_EQ(ui.boxes.size(), 2u) << why;
        for (const auto& box : ui.boxes)
            EXPECT_EQ(box.text, "The run cannot start: " + why +
                                    "the find text is empty; an empty find text hits every "
                                    "value and changes none.");
        EXPECT_TRUE(ui.pointers.empty()) << "nothing ran";
        EXPECT_FALSE(fs::exists(log));
    };
    f.SearchOptions1->RegularExpression->setChecked(false);
    f.Text1->clear();
    refused("");
    f.TabControl1->setCurrentIndex(1);
    f.sets().appendSet("grey", "gray");
    f.sets().appendSet("", "x");
    refused("set 2: ");
    f.TabControl1->setCurrentIndex(0);
    f.Text1->setText("(grey");

    // The same expression without the option is plain text, and finds nothing.
    f.SearchOptions1->RegularExpression->setChecked(false);
    f.PushButton1_Click();
    EXPECT_EQ(ui.boxes.back().text.rfind("No value held the find text \"(grey\".", 0), 0u)
        << ui.boxes.back().text;
    EXPECT_FALSE(fs::exists(log));
}
