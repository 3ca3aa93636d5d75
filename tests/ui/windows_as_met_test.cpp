// The windows as a user meets them: what the list, the set lists, the captions and the pointer
// show, read from what the platform would put on the screen.
#include "file_bytes.h"
#include "replace/run_report.h"
#include "sets/set_files.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/form3.h"
#include "ui/run_report_dialog.h"
#include "ui_fixture.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QWindow>
#include <cstdio>
#include <sstream>

namespace fs = std::filesystem;
using qm::test::fileText;
using namespace qm;
using namespace qm::ui;
using qm::test::WindowTest;

namespace {

// The caption the platform shows: Qt adds the application display name, when one was set, to
// every caption that does not already end with it.
QString shownCaption(QWidget& w) {
    const QString saved = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("qm-probe"));
    const QString display = QGuiApplication::applicationDisplayName();
    QCoreApplication::setApplicationName(saved);
    QString title = w.windowTitle();
    if (display != QStringLiteral("qm-probe") && !title.endsWith(display))
        title += QString::fromUtf8(" \u2014 ") + display;
    return title;
}

// The pointer the platform shows over a window: the application's override, else the cursor
// Qt handed to the window (a disabled window is handed none).
Qt::CursorShape shownPointer(QWidget& w) {
    if (const QCursor* over = QGuiApplication::overrideCursor())
        return over->shape();
    return w.window()->windowHandle()->cursor().shape();
}

void moveOver(QWidget* w) {
    QMouseEvent move(QEvent::MouseMove, QPointF(3, 3), w->mapToGlobal(QPointF(3, 3)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

struct Row {
    QString name, folder, records;
    bool operator==(const Row&) const = default;
};

std::vector<Row> shownRows(Form2& f) {
    std::vector<Row> rows;
    for (int i = 0; i < f.ListView1->topLevelItemCount(); ++i) {
        auto* item = f.ListView1->topLevelItem(i);
        rows.push_back({item->text(0), item->text(1), item->text(2)});
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return std::tie(a.folder, a.name) < std::tie(b.folder, b.name);
    });
    return rows;
}

struct MetTest : WindowTest {
    std::unique_ptr<Form1> form1;
    Form2* openMainWindow(const fs::path& folder) {
        settings::SaveSetting(settings::key::Database, folder.string());
        form1 = std::make_unique<Form1>(&ui);
        if (!form1->Form_Load())
            return nullptr;
        return form1->mainWindow();
    }
};

} // namespace

TEST_F(MetTest, TableListTellsSameNamedTablesApartByFolderAndCount) {
    if (!fs::is_directory(QM_SAMPLES_DIR))
        GTEST_SKIP() << "the sample database was not built";
    auto db = home.path() / "db";
    fs::copy(QM_SAMPLES_DIR, db, fs::copy_options::recursive);
    fs::create_directories(db / "old");
    fs::copy(QM_SAMPLES_DIR, db / "old" / "2019", fs::copy_options::recursive);
    makeFolder("db/old/broken", {"ORDERS.DB"});
    Form2* f = openMainWindow(db);
    ASSERT_NE(f, nullptr);
    std::vector<Row> expected{{"CUSTOMER", ".", "4"},       {"ORDERS", ".", "3"},
                              {"PRODUCTS", ".", "5"},       {"CUSTOMER", "old/2019", "4"},
                              {"ORDERS", "old/2019", "3"},  {"PRODUCTS", "old/2019", "5"},
                              {"ORDERS", "old/broken", "-"}};
    std::sort(expected.begin(), expected.end(), [](const Row& a, const Row& b) {
        return std::tie(a.folder, a.name) < std::tie(b.folder, b.name);
    });
    EXPECT_EQ(shownRows(*f), expected);
    EXPECT_EQ(f->ListView1->headerItem()->text(0), "Select tables to find and replace within");
    // Each row still names its own table for the run.
    for (const auto& [row, ticked] : f->tableRows())
        EXPECT_TRUE(fs::exists(fs::path(row.folder) / row.fileName)) << row.folder;

    // A narrow window: the name column gives way instead of scrolling sideways.
    f->resize(300, 500);
    f->show();
    QApplication::processEvents();
    EXPECT_EQ(f->ListView1->horizontalScrollBar()->maximum(), 0);
}

TEST_F(MetTest, ListFollowsTheFolderTheUserComesBackWith) {
    auto first = makeFolder("first", {"A.db"});
    auto second = makeFolder("second", {"B.db", "C.db"});
    Form2* f = openMainWindow(first);
    ASSERT_NE(f, nullptr);
    f->PushButton8_Click();
    f->PushButton5_Click();

    // The same folder written another way keeps the list and its ticks.
    form1->Text1->setText(QString::fromStdString(first.string() + "/"));
    form1->PushButton3_Click();
    ASSERT_EQ(f->tableRows().size(), 1u);
    EXPECT_TRUE(f->tableRows()[0].second) << "the tick survives";

    f->PushButton5_Click();
    form1->Text1->setText(QString::fromStdString(second.string()));
    form1->PushButton3_Click();
    EXPECT_EQ(form1->mainWindow(), f);
    auto rows = f->tableRows();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& [row, ticked] : rows) {
        EXPECT_EQ(row.folder, second.string()) << "a run works on the folder the user chose";
        EXPECT_FALSE(ticked);
    }
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(MetTest, SetsShowWhatWasAddedAndFilesAreFoundAgain) {
    auto db = makeFolder("db", {});
    Form2* f = openMainWindow(db);
    ASSERT_NE(f, nullptr);
    ASSERT_FALSE(ui.boxes.empty()) << "an empty list is said";
    EXPECT_EQ(ui.boxes[0].text.rfind("There are no Paradox tables in " + db.string(), 0), 0u);
    ui.inputs = {"cat::dog", "black::white"};
    f->PushButton10_Click();
    EXPECT_EQ(f->Combo1->currentText(), "cat");
    f->PushButton10_Click();
    EXPECT_EQ(f->Combo1->currentText(), "black");
    EXPECT_EQ(f->Combo2->currentText(), "white");
    EXPECT_EQ(f->Combo1->count(), 2);

    // Saving under a bare name gives a text file, in the database folder's dialog.
    ui.fileAnswers.push_back((home.path() / "mysets").string());
    f->PushButton13_Click();
    ASSERT_EQ(ui.fileDialogs.size(), 1u);
    EXPECT_EQ(ui.fileDialogs[0].directory, db.string());
    EXPECT_EQ(fileText(home.path() / "mysets.txt"), "cat::dog\r\nblack::white\r\n");
    EXPECT_FALSE(fs::exists(home.path() / "mysets"));
    ui.fileAnswers.push_back((home.path() / "my.sets").string());
    f->PushButton13_Click();
    EXPECT_TRUE(fs::exists(home.path() / "my.sets")) << "a name with a suffix stays as given";

    auto commas = home.path() / "commas.txt";
    std::ofstream(commas, std::ios::binary) << "hi,hello\r\na note\r\npeter,pete\r\n";
    std::ofstream(home.path() / "empty.txt").flush();
    int opening = 0;
    f->setLoadSetsHook([&](Form3& d) {
        ++opening;
        if (opening == 1) {
            // The browser offers every file too, in the database folder.
            d.PushButton16_Click();
            ASSERT_FALSE(ui.fileDialogs.empty());
            EXPECT_EQ(ui.fileDialogs.back().directory, db.string());
            EXPECT_EQ(QtUserInterface::qtFilter(ui.fileDialogs.back().filter),
                      "Text Files (*.txt);;All Files (*)");
            // A separator no line holds: the user is told and may try again.
            d.Text1->setText(QString::fromStdString(commas.string()));
            d.PushButton1_Click();
            EXPECT_EQ(ui.boxes.back().text, "No set was loaded: no line of " + commas.string() +
                                                " holds the separator ::");
            EXPECT_EQ(ui.boxes.back().title, "Quillmend");
            d.Text1->setText(QString::fromStdString((home.path() / "empty.txt").string()));
            d.PushButton1_Click();
            EXPECT_EQ(ui.boxes.back().text,
                      "No set was loaded: " + (home.path() / "empty.txt").string() + " is empty.");
            EXPECT_NE(d.result(), QDialog::Accepted);
            d.Text1->setText(QString::fromStdString(commas.string()));
            d.Text2->setText(",");
            d.PushButton1_Click();
            EXPECT_EQ(d.result(), QDialog::Accepted);
            EXPECT_EQ(ui.boxes.back().text, "2 set(s) loaded; 1 line(s) of " + commas.string() +
                                                " without the separator , were skipped.");
        } else {
            // Escape closes the dialog.
            d.show();
            QTest::keyClick(d.Text1, Qt::Key_Escape);
            EXPECT_FALSE(d.isVisible());
        }
    });
    f->PushButton12_Click();
    EXPECT_EQ(f->Combo1->count(), 4);
    EXPECT_EQ(f->Combo1->currentText(), "peter");
    EXPECT_EQ(f->Combo2->currentText(), "pete");
    EXPECT_EQ(f->sets().findSelection(), 3);
    EXPECT_EQ(f->sets().replaceSelection(), 3);
    f->PushButton12_Click();
    EXPECT_EQ(opening, 2);
    EXPECT_EQ(f->Combo1->count(), 4);

    // Removing the last set shows the one now last, not two empty fields.
    f->PushButton7_Click();
    EXPECT_EQ(f->Combo1->count(), 3);
    EXPECT_EQ(f->Combo1->currentText(), "hi");
    EXPECT_EQ(f->Combo2->currentText(), "hello");
    // Clear All Sets asks, "No" the default.
    const std::size_t boxes = ui.boxes.size();
    f->PushButton11_Click();
    ASSERT_EQ(ui.boxes.size(), boxes + 1);
    EXPECT_EQ(ui.boxes.back().text, "Remove all 3 find and replace sets from the lists?");
    EXPECT_EQ(ui.boxes.back().buttons, Buttons::YesNoDefaultNo);
    EXPECT_EQ(f->Combo1->count(), 3);
    ui.answers.push_back(Answer::Yes);
    f->PushButton11_Click();
    EXPECT_EQ(f->Combo1->count(), 0);
}

TEST_F(MetTest, CaptionsAreTheProductNameAlone) {
    auto db = makeFolder("db", {});
    Form2* f = openMainWindow(db);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(shownCaption(*form1), "Quillmend Studio");
    EXPECT_EQ(shownCaption(*f), "Quillmend Studio");
    Form3 dialog(f, f->sets(), &ui);
    dialog.Form_Load();
    EXPECT_EQ(shownCaption(dialog), "Load Sets");
}

TEST_F(MetTest, PointerIsTheArrowOverTheTableListAndEnterGoesOn) {
    fs::copy_file(fs::path(QM_SOURCE_DIR) / "resources" / "HAND-M.CUR",
                  appFolder.path() / "HAND-M.CUR");
    auto db = makeFolder("db", {"A.db", "B.db"});
    form1 = std::make_unique<Form1>(&ui);
    EXPECT_FALSE(form1->Form_Load());
    form1->show();
    // Enter in the folder field is "Next >".
    form1->Text1->setText(QString::fromStdString(db.string()));
    QTest::keyClick(form1->Text1, Qt::Key_Return);
    ASSERT_NE(form1->mainWindow(), nullptr);
    Form2& f = *form1->mainWindow();
    EXPECT_TRUE(f.isVisible());
    ASSERT_TRUE(f.support().hasCustomPointer());

    moveOver(f.PushButton8);
    EXPECT_EQ(f.support().pointerState(), PointerState::Custom);
    EXPECT_EQ(shownPointer(f), Qt::BitmapCursor);
    moveOver(f.ListView1->viewport());
    EXPECT_EQ(f.support().pointerState(), PointerState::Default);
    EXPECT_EQ(shownPointer(f), Qt::ArrowCursor);
    moveOver(f.PushButton9);
    moveOver(f.ListView1->header()->viewport());
    EXPECT_EQ(shownPointer(f), Qt::ArrowCursor);

    // Busy and disabled, as during a run: the hourglass shows all the same and a hover
    // leaves it.
    f.support().setPointerState(PointerState::Busy);
    f.setEnabled(false);
    moveOver(f.PushButton8);
    EXPECT_EQ(shownPointer(f), Qt::WaitCursor);
    f.setEnabled(true);
    f.support().setPointerState(PointerState::Default);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(shownPointer(f), Qt::ArrowCursor);
}

TEST_F(MetTest, ExtraHeightGoesToTheTableList) {
    auto db = makeFolder("db", {"A.db"});
    Form2* f = openMainWindow(db);
    ASSERT_NE(f, nullptr);
    f->TabControl1->setCurrentIndex(0);
    // Tall enough for the criteria and the search options without scrolling.
    f->resize(470, 640);
    QApplication::processEvents();
    int listBefore = f->ListView1->height();
    int tabsBefore = f->TabControl1->height();
    f->resize(470, 940);
    QApplication::processEvents();
    EXPECT_EQ(f->ListView1->height(), listBefore + 300);
    EXPECT_EQ(f->TabControl1->height(), tabsBefore);
}

// At scale factor 2 on an 800 x 600 screen (the offscreen platform's) the main window must
// fit, with "Start Replacing" on it. The scale factor is read when the application starts, so
// a second process runs the check.
TEST(ScaledScreen, MainWindowFitsAtScaleTwo) {
    if (std::getenv("QM_SCALE_CHILD"))
        GTEST_SKIP() << "the child itself";
    std::string command = "env QM_SCALE_CHILD=1 QT_SCALE_FACTOR=2 QT_QPA_PLATFORM=offscreen '" +
                          fs::read_symlink("/proc/self/exe").string() +
                          "' --gtest_filter=MetTest.ScaledChild 2>&1";
    FILE* child = ::popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, child))
        output.append(buffer, n);
    EXPECT_EQ(::pclose(child), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST_F(MetTest, ScaledChild) {
    if (!std::getenv("QM_SCALE_CHILD"))
        GTEST_SKIP() << "run by ScaledScreen.MainWindowFitsAtScaleTwo";
    auto db = makeFolder("db", {"A.db", "B.db", "C.db", "D.db", "E.db", "F.db"});
    Form2* f = openMainWindow(db);
    ASSERT_NE(f, nullptr);
    f->TabControl1->setCurrentIndex(1);
    QApplication::processEvents();
    ASSERT_EQ(f->devicePixelRatio(), 2.0) << "the scale factor did not take";
    QRect area = f->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(f->geometry()))
        << area.width() << "x" << area.height() << " vs " << f->width() << "x" << f->height();
    for (QPushButton* b : {f->PushButton1, f->PushButton5}) {
        EXPECT_TRUE(b->isVisible());
        QRect onWindow(b->mapTo(f, QPoint(0, 0)), b->size());
        EXPECT_TRUE(f->rect().contains(onWindow)) << b->text().toStdString();
    }
    // The rest is in reach by scrolling.
    EXPECT_TRUE(f->PushButton11->isVisibleTo(f));
}

// The end box of a cancelled run over many tables, two folders holding tables of one name: the
// box names the first tables by name and folder and counts the rest, in whole items, and the
// dialog shows every line of it on the screen with its buttons in reach.
TEST_F(MetTest, EndBoxEndsOnWholeItemsNamesFoldersAndFitsTheScreen) {
    RunResult result;
    result.end = RunResult::End::Cancelled;
    for (int i = 0; i < 15; ++i) {
        TableOutcome t;
        t.table = {i < 2 ? "ZIPCODES" : "TABLE" + std::to_string(i), i % 2 ? "/data/b" : "/data/a",
                   ""};
        t.reached = i < 1;
        t.writeBack = TableOutcome::WriteBack::Written;
        result.tables.push_back(t);
    }
    const std::string text = endOfRunText(result, RunInputs{}, false);
    EXPECT_NE(text.find("Not reached, left as they were: ZIPCODES (/data/b), TABLE2, TABLE3, "
                        "TABLE4, TABLE5, TABLE6 and 8 more."),
              std::string::npos)
        << text;
    EXPECT_TRUE(text.ends_with("The details name every table.")) << text;

    // Forty lines of details and a text that wraps: nothing of the text is cut, the box fits.
    std::string details;
    for (int i = 0; i < 40; ++i)
        details += "TABLE" + std::to_string(i) + " (/data/a): 0 hits, 0 values changed\n";
    std::string longText = text + "\r\n\r\n";
    for (int i = 0; i < 120; ++i)
        longText += "wrapping ";
    longText += "end.";
    RunReportDialog box(nullptr, "Quillmend",
                        QString::fromStdString(longText).replace("\r\n", "\n"),
                        QString::fromStdString(details), Icon::Exclamation, Buttons::Ok);
    box.show();
    QApplication::processEvents();
    const QRect area = box.screen()->availableGeometry();
    for (int open = 0; open < 2; ++open) {
        EXPECT_TRUE(area.contains(box.frameGeometry())) << "details open: " << open;
        EXPECT_FALSE(box.textArea->verticalScrollBar()->isVisible()) << "the text is cut";
        EXPECT_GE(box.textLabel->height(), box.textLabel->heightForWidth(box.textLabel->width()));
        EXPECT_TRUE(box.rect().contains(
            QRect(box.buttonBox->mapTo(&box, QPoint(0, 0)), box.buttonBox->size())));
        box.toggleDetails();
        QApplication::processEvents();
    }
}
