#include "file_bytes.h"
#include "reference_decoder.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui_fixture.h"

#include <QTimer>
#include <QWindow>
#include <array>
#include <cstdio>
#include <sstream>

namespace fs = std::filesystem;
using qm::test::fileText;
using namespace qm;
using qm::test::WindowTest;

namespace {

// The reference decoder's dump of a table, one line per record after the header line.
std::string pxdump(const fs::path& table) {
    return qm::test::runReferenceDecoder(table).output;
}

struct ReplaceWindowTest : WindowTest {
    fs::path db;
    fs::path log;
    fs::path backups;
    void SetUp() override {
        WindowTest::SetUp();
        if (!fs::is_directory(QM_SAMPLES_DIR))
            GTEST_SKIP() << "the sample database was not built";
        db = home.path() / "Samples";
        fs::copy(QM_SAMPLES_DIR, db, fs::copy_options::recursive);
        log = home.path() / "backups.log";
        backups = home.path() / "backups";
        settings::SaveSetting(settings::key::Database, db.string());
    }
    RunOptions runOptions() const {
        RunOptions o;
        o.changeLog = log;
        o.backupRoot = backups;
        return o;
    }
};

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
