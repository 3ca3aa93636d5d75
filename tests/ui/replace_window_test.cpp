#include "file_bytes.h"
#include "run_fixture.h"

#include <QTimer>
#include <QWindow>
#include <array>
#include <cstdio>
#include <sstream>

namespace fs = std::filesystem;
using qm::test::fileText;
using namespace qm;

namespace {

// The main window's run as a whole, on the sample database.
struct ReplaceWindowTest : qm::test::RunWindowTest {};

} // namespace

TEST_F(ReplaceWindowTest, FullRunFromTheMainWindowRewritesTheTickedTable) {
    ui::Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    ui::Form2& f = *form1.mainWindow();
    f.setRunOptions(runOptions());
    ASSERT_EQ(f.ListView1->topLevelItemCount(), 3);
    auto found = f.ListView1->findItems("PRODUCTS", Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    std::string ordersBefore = fileText(db / "ORDERS.DB");
    std::string productsBefore = pxdump(db / "Products.db");
    found[0]->setCheckState(0, Qt::Checked);
    f.Text1->setText("grey");
    f.Text2->setText("gray");

    f.PushButton1_Click();

    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text,
              "Done.\r\n\r\n1 table: 3 hits, 3 values changed, 1 written back.");
    EXPECT_EQ(ui.boxes.back().buttons, Buttons::Ok);
    // An empty title asks the seam for the application title.
    EXPECT_TRUE(ui.boxes.back().title.empty() || ui.boxes.back().title == appTitle());
    EXPECT_TRUE(f.isEnabled());
    EXPECT_EQ(ui.pointer(), PointerState::Default);

    // Two descriptions and one memo held "grey": three lines, one per hit.
    std::string lines = fileText(log);
    std::size_t count = 0;
    for (std::size_t p =
             lines.find("] - grey was replace to gray at table (PRODUCTS) and column (");
         p != std::string::npos;
         p = lines.find("] - grey was replace to gray at table (PRODUCTS)", p + 1))
        ++count;
    EXPECT_EQ(count, 3u) << lines;
    EXPECT_NE(lines.find("and column (Description)\r\n"), std::string::npos);
    EXPECT_NE(lines.find("and column (Details)\r\n"), std::string::npos);

    std::string after = pxdump(db / "Products.db");
    std::string expected = productsBefore;
    for (std::size_t p = expected.find("grey"); p != std::string::npos; p = expected.find("grey"))
        expected.replace(p, 4, "gray");
    EXPECT_EQ(after, expected);
    EXPECT_EQ(fileText(db / "ORDERS.DB"), ordersBefore) << "an unticked table is not touched";
    EXPECT_TRUE(fs::exists(db / "Products.db")) << "the file keeps the case of its name";
}

TEST_F(ReplaceWindowTest, HourglassShowsOverTheDisabledWindowDuringTheRun) {
    ui::Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    ui::Form2& f = *form1.mainWindow();
    f.setRunOptions(runOptions());
    f.show();
    f.PushButton8_Click();
    f.Text1->setText("grey");
    f.Text2->setText("gray");
    int busyPumps = 0;
    int hourglassShown = 0;
    // The run works on a thread of its own; the window's own event loop samples what it shows.
    QTimer tick;
    tick.setInterval(2);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        // The run's last moments come after it reset the pointer.
        if (f.support().pointerState() != PointerState::Busy)
            return;
        ++busyPumps;
        // What the platform shows: the application's override, else the window's own.
        const QCursor* over = QGuiApplication::overrideCursor();
        Qt::CursorShape shown = over ? over->shape() : f.windowHandle()->cursor().shape();
        if (shown == Qt::WaitCursor && !f.ListView1->isEnabled() && !f.PushButton1->isEnabled())
            ++hourglassShown;
    });
    tick.start();
    f.PushButton1_Click();
    tick.stop();
    EXPECT_GT(busyPumps, 2);
    EXPECT_EQ(hourglassShown, busyPumps);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(f.windowHandle()->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(f.support().pointerState(), PointerState::Default);
}

TEST_F(ReplaceWindowTest, NothingTickedAsksForATable) {
    ui::Form1 form1(&ui);
    ASSERT_TRUE(form1.Form_Load());
    ui::Form2& f = *form1.mainWindow();
    f.setRunOptions(runOptions());
    f.PushButton1_Click();
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Please select a table");
    EXPECT_TRUE(ui.pointers.empty());
    EXPECT_FALSE(fs::exists(log));
}

// A folder whose path holds a blank: the copy question keeps its text with "No" the default;
// after Yes each copy gets a folder of its own; the main window shows the folder its list comes
// from; the end box says the run changed a copy, and where.
TEST_F(ReplaceWindowTest, AFolderCopyIsAskedWithNoAsDefaultAndNeverLooksLikeTheRealTables) {
    const fs::path blanks = home.path() / "My Samples";
    fs::copy(db, blanks, fs::copy_options::recursive);
    const fs::path root = home.path() / "root";
    fs::create_directory(root);
    ui::Form1 form1(&ui);
    form1.setCopyRoot(root.string() + "/");
    ASSERT_TRUE(form1.Form_Load());
    ui::Form2& f = *form1.mainWindow();
    f.setRunOptions(runOptions());
    const auto shownFolder = [&] {
        return f.FolderLabel->text().remove(QChar(0x200B)).toStdString();
    };
    EXPECT_EQ(shownFolder(), "Tables in " + db.string());
    const auto next = [&](const fs::path& folder) {
        f.PushButton5_Click();
        form1.Text1->setText(QString::fromStdString(folder.string()));
        form1.PushButton3_Click();
    };

    next(blanks); // no answer: the default button
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text,
              "In some cases the software needs to use a folder without spaces.\r\n"
              "Is it OK to create the folder " +
                  (root / "TestDB").string() + " and put Your db files in it?");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::YesNoDefaultNo);
    EXPECT_FALSE(fs::exists(root / "TestDB"));
    EXPECT_EQ(shownFolder(), "Tables in " + blanks.string()) << "our driver opens it as it is";

    ui.answers.push_back(Answer::Yes);
    next(blanks);
    EXPECT_EQ(shownFolder(), "Tables in " + (root / "TestDB").string() +
                                 "\nThis folder is a copy of " + blanks.string() +
                                 "; a run changes the copy, not that folder.");
    const auto originals = files(blanks);
    f.ListView1->findItems("PRODUCTS", Qt::MatchExactly)[0]->setCheckState(0, Qt::Checked);
    f.Text1->setText("grey");
    f.Text2->setText("gray");
    f.PushButton1_Click();
    const std::string& box = ui.boxes.back().text;
    EXPECT_EQ(box.rfind("Done.", 0), 0u) << box;
    EXPECT_TRUE(box.ends_with("These tables are a copy: the run worked on the tables in " +
                              (root / "TestDB").string() + ", made from " + blanks.string() +
                              ", which was not changed."))
        << box;
    EXPECT_EQ(files(blanks), originals);
    const auto changedCopy = files(root / "TestDB");

    // A second copy goes to a folder of its own: the first copy keeps its changes.
    ui.answers.push_back(Answer::Yes);
    next(blanks);
    EXPECT_NE(ui.boxes.back().text.find((root / "TestDB2").string()), std::string::npos);
    EXPECT_EQ(form1.get(), (root / "TestDB2").string());
    EXPECT_EQ(files(root / "TestDB"), changedCopy);
    EXPECT_EQ(files(root / "TestDB2"), originals);
}
