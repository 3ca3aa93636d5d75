// Undo Last Run and Backups... in the main window: the tables of the newest run put back, a table
// changed since that run left alone and named; the backups of older runs removed after asking.

#include "lock_holder.h"
#include "run_fixture.h"

#include "replace/run_lock.h"
#include "ui/backups_dialog.h"

namespace fs = std::filesystem;
using namespace qm;
using qm::test::RunWindowTest;

namespace {

// Another program edits a text of the table in place: "gray" becomes "GRAY" in the first of
// its files that holds it. False when none does.
bool editInPlace(const fs::path& folder, const std::string& table) {
    for (const char* ext : {".DB", ".MB"}) {
        const fs::path file = folder / (table + ext);
        std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(io), std::istreambuf_iterator<char>()};
        const auto at = bytes.find("gray");
        if (at == std::string::npos)
            continue;
        io.clear();
        io.seekp(static_cast<std::streamoff>(at));
        io.write("GRAY", 4);
        return static_cast<bool>(io);
    }
    return false;
}

} // namespace

TEST_F(RunWindowTest, UndoLastRunPutsTheTablesBackAndLeavesOneChangedSince) {
    ui::Form2& f = mainWindow();
    f.Undo_Click();
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text.rfind("There is no run to undo", 0), 0u) << ui.boxes[0].text;

    f.Text1->setText("grey");
    f.Text2->setText("gray");
    const auto before = files(db);
    f.PushButton1_Click();
    ASSERT_EQ(f.lastRun().end, RunResult::End::Completed);
    ASSERT_FALSE(f.lastRun().runRecord.empty());
    EXPECT_NE(ui.boxes.back().details.find("Undo Last Run (or quillmend undo " +
                                           f.lastRun().runRecord + ") puts these tables back."),
              std::string::npos)
        << ui.boxes.back().details;
    const auto written = files(db);
    ASSERT_TRUE(editInPlace(db, "CUSTOMER"));
    const auto edited = files(db);

    // A question names the tables first; "No" leaves everything.
    ui.boxes.clear();
    ui.answers.push_back(Answer::No);
    f.Undo_Click();
    ASSERT_EQ(ui.boxes.size(), 1u);
    const std::string question = ui.boxes[0].text;
    EXPECT_EQ(question.rfind("Put back the tables of the run " + f.lastRun().runRecord +
                                 " (find \"grey\", replace with \"gray\") as they were before it?",
                             0),
              0u)
        << question;
    for (const char* t : {"CUSTOMER.DB in ", "ORDERS.DB in ", "Products.db in "})
        EXPECT_NE(question.find(t), std::string::npos) << t << question;
    EXPECT_TRUE(files(db) == edited);

    // While another run (a quillmend's, say) holds the run lock, nothing is put back.
    {
        test::LockHolder other(RunLock::backupLockFile(backups), test::LockHolder::Kind::Flock);
        ui.boxes.clear();
        ui.answers.push_back(Answer::Yes);
        f.Undo_Click();
        ASSERT_EQ(ui.boxes.size(), 2u);
        EXPECT_EQ(ui.boxes[1].text.rfind("Nothing was put back: Another run is in progress", 0), 0u)
            << ui.boxes[1].text;
        EXPECT_EQ(f.lastUndo().end, UndoResult::End::Busy);
        EXPECT_TRUE(files(db) == edited);
    }

    ui.boxes.clear();
    ui.answers.push_back(Answer::Yes);
    f.Undo_Click();
    ASSERT_EQ(ui.boxes.size(), 2u);
    const auto& report = ui.boxes[1];
    EXPECT_EQ(report.text, "Not every table of the run could be put back.\r\n\r\nRun " +
                               f.lastRun().runRecord +
                               " (find \"grey\", replace with \"gray\"): 2 put back, 1 left as "
                               "it is.")
        << report.text;
    EXPECT_NE(report.details.find("CUSTOMER.DB: not put back, its file CUSTOMER.DB changed after "
                                  "the run wrote it; it was left as it is"),
              std::string::npos)
        << report.details;
    EXPECT_FALSE(f.lastUndo().clean());
    const auto now = files(db);
    for (const auto& [name, bytes] : now) {
        if (fs::path(name).stem() == "CUSTOMER")
            EXPECT_TRUE(bytes == edited.at(name))
                << name << " is left as the other program left it";
        else
            EXPECT_TRUE(bytes == before.at(name)) << name << " is back as before the run";
    }
    EXPECT_TRUE(now != written);
    EXPECT_FALSE(f.progressView()->isVisible());
    EXPECT_TRUE(f.UndoButton->isEnabled() && f.PushButton1->isEnabled());
    EXPECT_EQ(ui.pointer(), PointerState::Default);

    // The run is offered again for the table it still has; undone once the edit is gone.
    ui.boxes.clear();
    {
        std::ofstream out(db / "CUSTOMER.DB", std::ios::binary | std::ios::trunc);
        out << written.at("CUSTOMER.DB");
    }
    if (written.count("CUSTOMER.MB")) {
        std::ofstream out(db / "CUSTOMER.MB", std::ios::binary | std::ios::trunc);
        out << written.at("CUSTOMER.MB");
    }
    ui.answers.push_back(Answer::Yes);
    f.Undo_Click();
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].text.find("ORDERS.DB"), std::string::npos) << "put back already";
    EXPECT_EQ(ui.boxes[1].text.rfind("Undone.", 0), 0u) << ui.boxes[1].text;
    EXPECT_TRUE(f.lastUndo().clean());
    EXPECT_TRUE(files(db) == before);
}

TEST_F(RunWindowTest, BackupsRemovesOlderRunsAfterAskingAndARetentionPrunesAfterEachRun) {
    ui::Form2& f = mainWindow();
    const auto runWith = [&](const char* find, const char* with) {
        f.Text1->setText(find);
        f.Text2->setText(with);
        f.PushButton1_Click();
        ASSERT_FALSE(f.lastRun().runRecord.empty());
    };
    runWith("grey", "gray");
    EXPECT_NE(ui.boxes.back().details.find("Backups: the old files of this run take "),
              std::string::npos)
        << ui.boxes.back().details;
    runWith("gray", "silver");
    ASSERT_EQ(recordedRuns(backups).size(), 2u);

    bool shown = false;
    f.setBackupsHook([&](ui::BackupsDialog& d) {
        shown = true;
        EXPECT_NE(d.summaryLabel->text().toStdString().find("2 runs are recorded"),
                  std::string::npos);
        EXPECT_FALSE(d.retentionBox->isChecked()) << "no retention unless it is set";
        d.keepBox->setValue(1);
        // Asked first; "No" removes nothing.
        ui.boxes.clear();
        ui.answers.push_back(Answer::No);
        d.Remove_Click();
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(
            ui.boxes[0].text.rfind("Remove the backups of the runs older than the newest 1?", 0),
            0u)
            << ui.boxes[0].text;
        EXPECT_EQ(recordedRuns(backups).size(), 2u);
        ui.answers.push_back(Answer::Yes);
        d.Remove_Click();
        ASSERT_EQ(ui.boxes.size(), 3u);
        EXPECT_NE(ui.boxes[2].text.find("Removed 1 run, gave back "), std::string::npos)
            << ui.boxes[2].text;
        EXPECT_EQ(recordedRuns(backups).size(), 1u);
        d.retentionBox->setChecked(true);
    });
    f.Backups_Click();
    EXPECT_TRUE(shown);

    // The retention set, every run that writes tables back leaves the newest run alone.
    runWith("silver", "gold");
    const auto runs = recordedRuns(backups);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].id, f.lastRun().runRecord);
}
