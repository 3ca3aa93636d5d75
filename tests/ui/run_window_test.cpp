// The main window's run: on a thread of its own with progress, cancel and close, and the report
// at its end.

#include "run_fixture.h"

#include <QTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace qm;
using qm::test::RunWindowTest;
using namespace std::chrono_literals;

namespace {

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

// Nanoseconds this thread has spent runnable but waiting for a core (the kernel's scheduler
// statistics), or -1 where the kernel keeps none. A gap in the event loop that the thread spent
// waiting for a core is the machine's load, not the window's doing; time it spent running or
// blocked is the window's.
long long waitingForACoreNs() {
    long long onCpu = 0, waiting = -1;
    if (FILE* f = std::fopen("/proc/thread-self/schedstat", "r")) {
        if (std::fscanf(f, "%lld %lld", &onCpu, &waiting) != 2)
            waiting = -1;
        std::fclose(f);
    }
    return waiting;
}

long recordsForTheGapTest() {
    if (const char* n = std::getenv("QM_GAP_RECORDS"))
        return std::atol(n);
    return 100000;
}

} // namespace

TEST_F(RunWindowTest, ARunShowsItsProgressAndTheWindowStaysResponsive) {
    const long n = recordsForTheGapTest();
    makeBigTable("BIG.DB", n);
    ui::Form2& f = mainWindow({"BIG"});
    // Every record holds the find text, so every record enters the working copy and is searched
    // there: the search lasts long enough to be seen part-way.
    f.Text1->setText("record");
    f.Text2->setText("entry");

    // What the window shows while the run goes on, sampled by its own event loop.
    using Clock = std::chrono::steady_clock;
    Clock::duration longest{};    // wall clock between two turns of the loop
    Clock::duration longestOwn{}; // the same, less the time the thread waited for a core
    Clock::time_point last{};
    long long lastWaiting = waitingForACoreNs();
    const bool schedulerStatistics = lastWaiting >= 0;
    bool sawRunning = false, inputBlocked = true, busy = false;
    QStringList tableTexts, recordTexts;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        const long long waiting = waitingForACoreNs();
        if (last != Clock::time_point{}) {
            longest = std::max(longest, now - last);
            const auto waited = std::chrono::nanoseconds(waiting - lastWaiting);
            longestOwn = std::max(longestOwn, now - last - (schedulerStatistics ? waited : 0ns));
        }
        last = now;
        lastWaiting = waiting;
        if (!f.runController().running())
            return;
        sawRunning = true;
        inputBlocked = inputBlocked && !f.ListView1->isEnabled() && !f.PushButton1->isEnabled() &&
                       !f.TabControl1->isEnabled() && !f.PushButton5->isEnabled();
        busy = busy || ui.pointer() == PointerState::Busy;
        if (!f.progressView()->isVisible())
            inputBlocked = false;
        tableTexts << f.progressView()->tableLabel->text();
        recordTexts << f.progressView()->recordsLabel->text();
    });
    tick.start();
    const auto started = Clock::now();
    f.PushButton1_Click();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    tick.stop();

    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    std::printf("%ld records: run %.1f s, longest event-loop gap %.1f ms, %.1f ms of it the "
                "window's own\n",
                n, seconds, ms(longest), ms(longestOwn));
    if (!schedulerStatistics)
        std::printf("the kernel keeps no scheduler statistics: the whole gap counts\n");
    EXPECT_LT(ms(longestOwn), 100.0) << "the window stopped answering for longer than 100 ms";
    EXPECT_TRUE(sawRunning);
    EXPECT_TRUE(inputBlocked) << "every other control is disabled while the run goes on";
    EXPECT_TRUE(busy);
    EXPECT_TRUE(tableTexts.contains("Table 1 of 1: BIG")) << tableTexts.join("|").toStdString();
    // Records searched of the table's total, part-way through.
    const QString total = QLocale::c().toString(static_cast<qlonglong>(n)).replace(',', ' ');
    const bool partWay = std::any_of(recordTexts.begin(), recordTexts.end(), [&](const QString& t) {
        return t.startsWith("Records searched: ") && t.endsWith(" of " + total) &&
               !t.startsWith("Records searched: 0 of") &&
               !t.startsWith("Records searched: " + total);
    });
    EXPECT_TRUE(partWay) << recordTexts.join("|").toStdString();

    ASSERT_EQ(f.lastRun().end, RunResult::End::Completed);
    ASSERT_FALSE(ui.boxes.empty());
    const std::string hits = std::to_string(n);
    EXPECT_EQ(ui.boxes.back().text, "Done.\r\n\r\n1 table: " + hits + " hits, " + hits +
                                        " values changed, 1 written back.");
    EXPECT_FALSE(f.progressView()->isVisible());
    EXPECT_TRUE(f.ListView1->isEnabled() && f.PushButton1->isEnabled());
    EXPECT_EQ(ui.pointer(), PointerState::Default);
}

TEST_F(RunWindowTest, CancelInTheMiddleOfATableLeavesItAsItWasAndNamesTheTablesNotReached) {
    ui::Form2& f = mainWindow();
    f.Text1->setText("grey");
    f.Text2->setText("gray");
    const auto before = files(db);
    RunOptions o = runOptions();
    std::atomic<int> hitsSeen{0};
    // The first hit is in the middle of the first table: its copy is changed, its files not yet.
    o.onHit = [&](const RunHit&) {
        if (hitsSeen++ == 0)
            f.runController().cancel();
    };
    f.setRunOptions(o);
    f.PushButton1_Click();

    const RunResult& r = f.lastRun();
    ASSERT_EQ(r.end, RunResult::End::Cancelled);
    EXPECT_EQ(hitsSeen.load(), 1) << "the run stops at the record after the cancel";
    EXPECT_EQ(files(db), before) << "every table exactly as it was";
    ASSERT_EQ(r.tables.size(), 3u);
    EXPECT_TRUE(r.tables[0].reached);
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_NE(r.tables[0].reason.find("cancelled before it was written back"), std::string::npos);
    EXPECT_NE(r.tables[0].reason.find("the change log holds 1 line(s)"), std::string::npos)
        << r.tables[0].reason;
    EXPECT_FALSE(r.tables[1].reached);
    EXPECT_FALSE(r.tables[2].reached);
    ASSERT_FALSE(ui.boxes.empty());
    const std::string& text = ui.boxes.back().text;
    EXPECT_EQ(text.rfind("The run was cancelled.", 0), 0u) << text;
    EXPECT_NE(text.find("Not reached, left as they were: " + r.tables[1].table.name + ", " +
                        r.tables[2].table.name + "."),
              std::string::npos)
        << text;
    EXPECT_NE(ui.boxes.back().details.find("The run was cancelled."), std::string::npos);
    EXPECT_TRUE(f.PushButton1->isEnabled());
    EXPECT_FALSE(f.progressView()->isVisible());
    EXPECT_EQ(ui.pointer(), PointerState::Default);
}

TEST_F(RunWindowTest, CancelDuringAWriteBackLetsItFinishAndStopsBeforeTheNextTable) {
    ui::Form2& f = mainWindow();
    f.Text1->setText("grey");
    f.Text2->setText("gray");
    const auto before = files(db);
    std::map<std::string, std::string> dumps;
    for (const auto& [name, bytes] : before)
        if (fs::path(name).extension() == ".db" || fs::path(name).extension() == ".DB")
            dumps[name] = pxdump(db / name);
    RunOptions o = runOptions();
    o.onProgress = [&](const RunProgress& p) {
        if (p.phase == RunProgress::Phase::WritingBack && p.table == 1)
            f.runController().cancel();
    };
    f.setRunOptions(o);
    f.PushButton1_Click();

    const RunResult& r = f.lastRun();
    ASSERT_EQ(r.end, RunResult::End::Cancelled);
    ASSERT_EQ(r.tables.size(), 3u);
    ASSERT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written) << r.tables[0].reason;
    const std::string first = r.tables[0].table.fileName;
    // Exactly what the run meant: every "grey" of the first table is "gray", nothing else moved.
    EXPECT_EQ(pxdump(db / first), replaced(dumps.at(first), "grey", "gray"));
    for (const auto& [name, bytes] : before) {
        if (fs::path(name).stem() != fs::path(first).stem()) {
            EXPECT_EQ(files(db).at(name), bytes) << name << " was not reached";
        }
    }
    EXPECT_FALSE(r.tables[1].reached);
    EXPECT_FALSE(r.tables[2].reached);
}

TEST_F(RunWindowTest, ClosingTheWindowMidRunCancelsItAndThenEndsTheProgram) {
    ui::Form2& f = mainWindow();
    f.Text1->setText("grey");
    f.Text2->setText("gray");
    const auto before = files(db);
    RunOptions o = runOptions();
    std::atomic<bool> closed{false};
    std::atomic<int> hitsSeen{0};
    o.onHit = [&](const RunHit&) {
        if (hitsSeen++ != 0)
            return;
        // The person closes the window while the run is in the middle of its first table.
        QMetaObject::invokeMethod(
            &f,
            [&] {
                f.close();
                closed = true;
            },
            Qt::QueuedConnection);
        for (int i = 0; i < 500 && !closed; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    f.setRunOptions(o);
    ui.answers.push_back(Answer::Yes);
    f.PushButton1_Click();

    ASSERT_TRUE(closed);
    EXPECT_TRUE(ended) << "the program ends once the run has stopped";
    EXPECT_EQ(f.lastRun().end, RunResult::End::Cancelled);
    EXPECT_EQ(hitsSeen.load(), 1);
    EXPECT_EQ(files(db), before);
    ASSERT_EQ(ui.boxes.size(), 1u) << "no report for a run whose window was closed";
    EXPECT_EQ(ui.boxes[0].text.rfind("A run is going on.", 0), 0u) << "the person was asked";
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::YesNoDefaultNo);
}

TEST_F(RunWindowTest, TheEndReportCountsAMixedRunAndGivesEveryTableInItsDetails) {
    // A second listing of ORDERS whose name leads to another file is never written back; the
    // long replacement outgrows the Alpha fields of PRODUCTS and ORDERS, not the memos.
    fs::copy_file(db / "ORDERS.DB", db / "A.DB");
    fs::copy_file(db / "ORDERS.DB", db / "A.DB.DB");
    ui::Form2& f = mainWindow();
    ASSERT_EQ(f.ListView1->topLevelItemCount(), 5);
    const std::string longer = "grey, the colour of a rainy sky over the harbour";
    f.Text1->setText("grey");
    f.Text2->setText(QString::fromStdString(longer));
    f.PushButton1_Click();

    const RunResult& r = f.lastRun();
    ASSERT_EQ(r.end, RunResult::End::Completed);
    ASSERT_FALSE(ui.boxes.empty());
    const auto& box = ui.boxes.back();
    EXPECT_EQ(box.icon, Icon::Exclamation);
    // The last progress the window showed agrees with the report's counts.
    EXPECT_EQ(f.progressView()->countsLabel->text().toStdString(), "Hits: 7    Values changed: 3");
    // CUSTOMER 2 memo hits; PRODUCTS 2 refused Alpha hits and 1 memo; ORDERS and A 1 refused
    // Alpha hit each; the A.DB.DB row is not worked on.
    EXPECT_NE(box.text.find("5 tables: 7 hits, 3 values changed, 2 written back, 1 not written "
                            "back, 4 values left unchanged."),
              std::string::npos)
        << box.text;
    EXPECT_EQ(box.text.find("Done."), std::string::npos);
    EXPECT_NE(box.text.find("A: not written back, its name A leads to the file A.DB"),
              std::string::npos)
        << box.text;
    EXPECT_NE(box.text.find("PRODUCTS: 2 values left unchanged (column Description: "),
              std::string::npos)
        << box.text;
    // The details: one line per table as the command line prints it, then the places.
    const std::string& d = box.details;
    const std::string folder = " (" + db.string() + "): ";
    EXPECT_NE(d.find("CUSTOMER" + folder + "2 hits, 2 values changed, written back (old files in " +
                     backups.string()),
              std::string::npos)
        << d;
    EXPECT_NE(d.find("ORDERS" + folder +
                     "1 hit, 0 values changed, nothing to write back\n"
                     "  refused: 1 value in column Remarks: "),
              std::string::npos)
        << d;
    EXPECT_NE(d.find("PRODUCTS" + folder + "3 hits, 1 value changed, written back"),
              std::string::npos);
    EXPECT_NE(d.find("  refused: 2 values in column Description: "), std::string::npos);
    EXPECT_NE(d.find("A" + folder + "0 hits, 0 values changed, not written back: its name A"),
              std::string::npos);
    EXPECT_NE(d.find("5 tables, 2 written back, 2 needing no change, 1 not written back, 4 values "
                     "refused."),
              std::string::npos)
        << d;
    EXPECT_NE(d.find("Change log: " + log.string() + "\n"), std::string::npos);
    EXPECT_NE(d.find("Old files of the tables written back: " + backups.string() + "\n"),
              std::string::npos);
}

TEST_F(RunWindowTest, ARunThatFindsNothingSaysSoAndQuotesTheFindText) {
    ui::Form2& f = mainWindow();
    const auto before = files(db);
    // A trailing blank that the person did not mean.
    f.Text1->setText("gray ");
    f.Text2->setText("grey");
    f.PushButton1_Click();
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text, "No value held the find text \"gray \".\r\n\r\n3 tables: 0 "
                                    "hits, 0 values changed, 0 written back. Nothing was changed.");
    EXPECT_EQ(ui.boxes.back().icon, Icon::Information);
    EXPECT_EQ(files(db), before);

    // Sets: each find text quoted.
    f.TabControl1->setCurrentIndex(1);
    f.sets().appendSet("gray ", "grey");
    f.sets().appendSet(" blue", "green");
    f.PushButton1_Click();
    EXPECT_EQ(
        ui.boxes.back().text.rfind("No value held any of the find texts \"gray \", \" blue\".", 0),
        0u)
        << ui.boxes.back().text;
}
