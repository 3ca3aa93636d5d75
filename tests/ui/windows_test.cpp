#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/form3.h"
#include "ui_fixture.h"

#include <QMouseEvent>

using namespace qm;
using namespace qm::ui;
using qm::test::WindowTest;

namespace {
std::vector<std::string> rowNames(Form2& f) {
    std::vector<std::string> names;
    for (const auto& [row, checked] : f.tableRows())
        names.push_back(row.name);
    return names;
}
} // namespace

TEST_F(WindowTest, FirstLaunchShowsTheStartWindowWithAnEmptyField) {
    Form1 form1(&ui);
    EXPECT_FALSE(form1.Form_Load());
    EXPECT_EQ(form1.Text1->text(), "");
    EXPECT_EQ(form1.windowTitle(), "Quillmend Studio");
    EXPECT_EQ(form1.mainWindow(), nullptr);
    EXPECT_TRUE(ui.boxes.empty());
    // The field wrote nothing, since its text did not change.
    EXPECT_EQ(settings::GetSetting(settings::key::Database, "<absent>"), "<absent>");
}

TEST_F(WindowTest, StoredExistingFolderOpensTheMainWindowWithItsTables) {
    auto dir = makeFolder("db", {"Orders.db", "~ORDERS.db"});
    makeFolder("db/sub", {"CUSTOMER.DB"});
    settings::SaveSetting(settings::key::Database, dir.string());
    Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    ASSERT_NE(form1.mainWindow(), nullptr);
    EXPECT_FALSE(form1.isVisible());
    Form2& form2 = *form1.mainWindow();
    EXPECT_TRUE(form2.isVisible());
    EXPECT_EQ(rowNames(form2), (std::vector<std::string>{"ORDERS", "CUSTOMER"}));
    EXPECT_EQ(form2.tableRows()[1].first.folder, (dir / "sub").string());
    EXPECT_EQ(form2.ListView1->headerItem()->text(0), "Select tables to find and replace within");
    EXPECT_EQ(form2.TabControl1->currentIndex(), 0);
    EXPECT_TRUE(ui.boxes.empty());

    // Closing the main window ends the program although the start window is only hidden.
    form2.close();
    EXPECT_TRUE(ended);
}

TEST_F(WindowTest, StoredDeletedFolderStaysInTheField) {
    std::string gone = (home.path() / "deleted since").string();
    settings::SaveSetting(settings::key::Database, gone);
    Form1 form1(&ui);
    EXPECT_FALSE(form1.Form_Load());
    EXPECT_EQ(form1.Text1->text().toStdString(), gone);
    EXPECT_EQ(settings::GetSetting(settings::key::Database), gone);
}

TEST_F(WindowTest, NextWithAMissingFolderDoesNothingVisible) {
    Form1 form1(&ui);
    form1.Form_Load();
    form1.Text1->setText(QString::fromStdString((home.path() / "nowhere").string()));
    form1.PushButton3_Click();
    EXPECT_EQ(form1.mainWindow(), nullptr);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(WindowTest, TestConnectionAnswersWithWhyAndRestoresThePointer) {
    auto dir = makeFolder("tables", {"X.DB"});
    auto empty = makeFolder("empty", {"README.TXT"});
    const std::string missing = (home.path() / "nowhere").string();
    const std::string file = (empty / "README.TXT").string();
    Form1 form1(&ui);
    form1.Form_Load();
    const std::pair<std::string, std::string> cases[] = {
        {"", "Could not connect.\r\n\r\nNo folder is given: type the folder"},
        {missing, "Could not connect.\r\n\r\nThe folder " + missing + " does not exist."},
        {file, "Could not connect.\r\n\r\n" + file + " is not a folder."},
        {empty.string(), "Could not connect.\r\n\r\nThe folder " + empty.string() +
                             " and its subfolders hold no Paradox tables (.db files)."},
        {dir.string(), "Connection successful."},
    };
    for (const auto& [folder, said] : cases) {
        ui.boxes.clear();
        form1.Text1->setText(QString::fromStdString(folder));
        form1.PushButton2_Click();
        ASSERT_EQ(ui.boxes.size(), 1u) << folder;
        EXPECT_EQ(ui.boxes[0].text.substr(0, said.size()), said) << folder;
        EXPECT_EQ(ui.boxes[0].title, "Quillmend");
        EXPECT_EQ(ui.boxes[0].icon, Icon::None);
        EXPECT_EQ(form1.support().pointerState(), PointerState::Default);
    }
}

TEST_F(WindowTest, BrowseAndSampleFillTheField) {
    Form1 form1(&ui);
    form1.Form_Load();
    settings::SaveSetting(settings::key::LastFolderDot, "/somewhere");
    form1.PushButton5_Click(); // cancelled
    ASSERT_EQ(ui.folderRequests.size(), 1u);
    EXPECT_EQ(ui.folderRequests[0].first, "Please select folder:");
    EXPECT_EQ(ui.folderRequests[0].second, "/somewhere");
    EXPECT_EQ(form1.Text1->text(), "");
    ui.folderAnswers.push_back(home.path().string());
    form1.PushButton5_Click();
    EXPECT_EQ(form1.get(), home.path().string());
    EXPECT_EQ(settings::GetSetting(settings::key::LastFolderDot), "/somewhere");

    form1.PushButton1_Click();
    EXPECT_EQ(form1.get(), appFolder.path().string() + "/Samples");
    EXPECT_EQ(settings::GetSetting(settings::key::Database), form1.get());
}

// The pointer over the controls of the three windows: the hand over a button, the arrow over a
// field or the table list, and over any other control what it was. A busy pointer stays busy.
TEST_F(WindowTest, ThePointerOverEachControlOfTheThreeWindows) {
    auto dir = makeFolder("db", {"Orders.db"});
    settings::SaveSetting(settings::key::Database, dir.string());
    Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    ASSERT_NE(form1.mainWindow(), nullptr);
    Form2& form2 = *form1.mainWindow();
    Form3 form3(&form2, form2.sets(), &ui);
    form3.Form_Load();
    form3.show();
    enum class Over { Hand, Arrow, Unchanged };
    struct Case {
        WindowSupport& window;
        QWidget* control;
        Over over;
    };
    const std::vector<Case> cases = {
        {form1.support(), form1.PushButton1, Over::Hand},
        {form1.support(), form1.PushButton2, Over::Hand},
        {form1.support(), form1.PushButton3, Over::Hand},
        {form1.support(), form1.PushButton5, Over::Hand},
        {form1.support(), form1.Text1, Over::Arrow},
        {form1.support(), form1.Label2, Over::Unchanged},
        {form2.support(), form2.PushButton1, Over::Hand},
        {form2.support(), form2.PushButton5, Over::Hand},
        {form2.support(), form2.PushButton7, Over::Hand},
        {form2.support(), form2.PushButton8, Over::Hand},
        {form2.support(), form2.PushButton9, Over::Hand},
        {form2.support(), form2.PushButton10, Over::Hand},
        {form2.support(), form2.PushButton11, Over::Hand},
        {form2.support(), form2.PushButton12, Over::Hand},
        {form2.support(), form2.PushButton13, Over::Hand},
        {form2.support(), form2.ListView1->viewport(), Over::Arrow},
        {form2.support(), form2.Combo1, Over::Unchanged},
        {form3.support(), form3.PushButton1, Over::Hand},
        {form3.support(), form3.PushButton2, Over::Hand},
        {form3.support(), form3.PushButton3, Over::Hand},
        {form3.support(), form3.PushButton16, Over::Hand},
        {form3.support(), form3.Text1, Over::Unchanged},
    };
    const auto after = [](const Case& c, PointerState before) {
        c.window.setPointerState(before);
        QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), QPointF(2, 2), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(c.control, &move);
        return c.window.pointerState();
    };
    for (const auto& c : cases) {
        const std::string name = c.control->objectName().toStdString();
        EXPECT_EQ(after(c, PointerState::Default),
                  c.over == Over::Hand ? PointerState::Custom : PointerState::Default)
            << name;
        EXPECT_EQ(after(c, PointerState::Custom),
                  c.over == Over::Arrow ? PointerState::Default : PointerState::Custom)
            << name;
        EXPECT_EQ(after(c, PointerState::Busy), PointerState::Busy) << name;
        c.window.setPointerState(PointerState::Default);
    }
}

TEST_F(WindowTest, MainWindowRestoresItsCriteria) {
    auto dir = makeFolder("db", {});
    settings::SaveSetting(settings::key::Database, dir.string());
    settings::SaveSetting(settings::key::TabControl1, "1");
    settings::SaveSetting(settings::key::FindText, "cat");
    settings::SaveSetting(settings::key::ReplaceText, "dog");
    Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    Form2& form2 = *form1.mainWindow();
    EXPECT_EQ(form2.TabControl1->currentIndex(), 1);
    EXPECT_EQ(form2.Text1->text(), "cat");
    EXPECT_EQ(form2.Text2->text(), "dog");
    form2.Text1->setText("bird");
    form2.TabControl1->setCurrentIndex(0);
    EXPECT_EQ(settings::GetSetting(settings::key::FindText), "bird");
    EXPECT_EQ(settings::GetSetting(settings::key::TabControl1), "0");
    EXPECT_EQ(settings::GetSetting(settings::key::LoadSeparator), "::");
}

TEST_F(WindowTest, BadStoredTabIsReportedAndTheTextsStillLoad) {
    auto dir = makeFolder("db", {"A.DB"});
    settings::SaveSetting(settings::key::Database, dir.string());
    settings::SaveSetting(settings::key::TabControl1, "7");
    settings::SaveSetting(settings::key::FindText, "cat");
    Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].text.find("in Quillworks2021/08/31.Form2.Form_Load at line 116\r\r"),
              std::string::npos);
    EXPECT_EQ(form1.mainWindow()->Text1->text(), "cat");
}

TEST_F(WindowTest, SetButtonsKeepBothListsInStep) {
    auto dir = makeFolder("db", {"A.DB"});
    settings::SaveSetting(settings::key::Database, dir.string());
    Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    Form2& f = *form1.mainWindow();
    ui.inputs = {"cat::dog", "black::white", "no separator"};
    f.PushButton10_Click();
    f.PushButton10_Click();
    f.PushButton10_Click();
    ASSERT_EQ(f.Combo1->count(), 2);
    EXPECT_EQ(f.Combo2->itemText(1), "white");
    ASSERT_EQ(ui.boxes.size(), 1u) << "the refusal of a text without ::";

    f.Combo2->setCurrentIndex(1);
    EXPECT_EQ(f.Combo1->currentIndex(), 1);
    f.PushButton7_Click();
    ASSERT_EQ(f.Combo1->count(), 1);
    EXPECT_EQ(f.Combo1->itemText(0), "cat");
    EXPECT_EQ(f.Combo2->itemText(0), "dog");
    EXPECT_EQ(f.sets().findSelection(), f.sets().replaceSelection());

    ui.answers.push_back(Answer::Yes); // Clear All Sets asks first
    f.PushButton11_Click();
    EXPECT_EQ(f.Combo1->count(), 0);
    EXPECT_EQ(f.Combo2->count(), 0);
}

TEST_F(WindowTest, LoadSetsDialogRefusesThenLoads) {
    auto dir = makeFolder("db", {});
    settings::SaveSetting(settings::key::Database, dir.string());
    Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    Form2& f = *form1.mainWindow();
    auto setFile = home.path() / "sets.txt";
    std::ofstream(setFile, std::ios::binary) << "hi,hello\r\npeter,pete\r\nodd line\r\n";

    int openings = 0;
    f.setLoadSetsHook([&](Form3& d) {
        ++openings;
        EXPECT_EQ(d.windowTitle(), "Load Sets");
        EXPECT_EQ(d.Text1->text(), "");
        if (openings == 1) {
            EXPECT_EQ(d.Text2->text(), "::");
            d.Text2->setText("");
            d.Text1->setText(QString::fromStdString(setFile.string()));
            d.PushButton1_Click();
            EXPECT_EQ(ui.boxes.back().text, "You must enter separating character(s).");
            EXPECT_EQ(d.Text1->text().toStdString(), setFile.string());
            d.Text2->setText(",");
            d.Text1->setText("missing.txt");
            d.PushButton1_Click();
            EXPECT_EQ(ui.boxes.back().text, "missing.txt not found.");
            d.PushButton3_Click();
            EXPECT_EQ(ui.boxes.back().text, Form3::helpText());
            d.PushButton2_Click();
        } else {
            EXPECT_EQ(d.Text2->text(), ",") << "the separator is remembered";
            d.Text1->setText(QString::fromStdString(setFile.string()));
            d.PushButton1_Click();
            EXPECT_EQ(d.result(), QDialog::Accepted);
        }
    });
    f.PushButton12_Click();
    EXPECT_EQ(f.Combo1->count(), 0);
    f.PushButton12_Click();
    ASSERT_EQ(f.Combo1->count(), 2);
    EXPECT_EQ(f.Combo1->itemText(1), "peter");
    EXPECT_EQ(f.Combo2->itemText(1), "pete");
    EXPECT_EQ(settings::GetSetting(settings::key::ReplaceText, "<absent>"), "<absent>");
}

TEST(LoadSetsHelp, EighteenLinesWithoutATrailingBreak) {
    std::string text = Form3::helpText();
    int breaks = 0;
    for (std::size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2))
        ++breaks;
    EXPECT_EQ(breaks, 17);
    EXPECT_EQ(text.substr(text.size() - 11), "peter::pete");
    EXPECT_EQ(text.rfind("If the text file you are loading looks like this:\r\n\r\nhi::hello", 0),
              0u);
}
