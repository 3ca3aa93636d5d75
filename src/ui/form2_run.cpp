// The main window's buttons that start work on the tables: Start Replacing, Preview and Undo
// Last Run, and what is refused before any of them starts.

#include "ui/form2.h"

#include "replace/hit_sample.h"
#include "replace/replace_run.h"
#include "replace/run_history.h"
#include "replace/run_search.h"
#include "ui/backups_dialog.h"
#include "ui/preview_dialog.h"
#include "ui/search_options_panel.h"

#include <algorithm>

namespace qm::ui {

bool Form2::readyToRun(const RunInputs& inputs) {
    // What the run would refuse is said before its progress view appears.
    const auto refuse = [&](const std::string& why, Icon icon) {
        ui_->messageBox(why, Buttons::Ok, icon, "");
        return false;
    };
    if (inputs.rows.empty())
        return refuse("There are no tables to work on: " + filledFrom_ +
                          " and its subfolders hold no Paradox tables.",
                      Icon::Exclamation);
    if (std::none_of(inputs.rows.begin(), inputs.rows.end(),
                     [](const auto& r) { return r.ticked; }))
        return refuse("Please select a table", Icon::None);
    if (inputs.selectedTab == 1 && std::min(inputs.setFind.size(), inputs.setReplace.size()) == 0)
        return refuse("There are no find and replace sets, so nothing would be searched for. Add "
                      "a set or load sets first.",
                      Icon::Exclamation);
    if (const std::string why = checkSearch(inputs); !why.empty())
        return refuse("The run cannot start: " + why + ".", Icon::Exclamation);
    return true;
}

void Form2::Preview_Click() {
    const RunInputs inputs = runInputs();
    if (!readyToRun(inputs))
        return;
    // The dry run of the command line: nothing written, no change log, no backup.
    RunOptions options = runOptions_;
    options.dryRun = true;
    options.endOfRunBox = false;
    HitSample hits;
    const auto watcher = options.onHit;
    options.onHit = [&hits, watcher](const RunHit& hit) {
        if (watcher)
            watcher(hit);
        hits.add(hit);
    };
    const RunResult result = runController_->run(inputs, options);
    if (closeAfterRun_) {
        StartWindow::endProgram();
        return;
    }
    if (result.end == RunResult::End::EmptyList || result.end == RunResult::End::NoneTicked)
        return;
    PreviewDialog dialog(this, hits, result, inputs.search);
    if (previewHook_)
        previewHook_(dialog);
    else
        dialog.exec();
}

void Form2::PushButton1_Click() {
    const RunInputs inputs = runInputs();
    if (!readyToRun(inputs))
        return;
    // The run works on a thread of its own; the window repaints and offers Cancel meanwhile,
    // and takes no other input.
    lastRun_ = runController_->run(inputs, runOptions_);
    if (!lastRun_.runRecord.empty())
        applyBackupRetention(*ui_, runOptions_.backupRoot);
    if (closeAfterRun_)
        StartWindow::endProgram();
}

void Form2::Undo_Click() {
    const RunRecord last = lastUndoableRun(runOptions_.backupRoot);
    if (last.id.empty()) {
        ui_->messageBox("There is no run to undo: no run that wrote a table back is recorded, "
                        "or every one was undone already.",
                        Buttons::Ok, Icon::Information, "");
        return;
    }
    // The person sees which tables go back before any does.
    std::string question = "Put back the tables of the run " + last.id;
    if (!last.what.empty())
        question += " (" + last.what + ")";
    question += " as they were before it?\r\n";
    // The box names the first tables and counts the rest; the details name every one, so that
    // a large run's question still fits the screen.
    constexpr std::size_t kTablesInQuestion = 8;
    std::string every;
    std::size_t named = 0;
    for (const auto& t : last.tables) {
        if (t.undone)
            continue;
        const std::string line = t.db.filename().string() + " in " + t.db.parent_path().string();
        every += line + "\r\n";
        if (++named <= kTablesInQuestion)
            question += "\r\n" + line;
    }
    if (named > kTablesInQuestion)
        question += "\r\n... and " + std::to_string(named - kTablesInQuestion) + " more tables.";
    question += "\r\n\r\nA table changed since that run is left as it is.";
    if (ui_->detailedBox(question, named > kTablesInQuestion ? every : "", Buttons::YesNo,
                         Icon::Question, "") != Answer::Yes)
        return;

    UndoOptions options;
    options.backupRoot = runOptions_.backupRoot;
    UndoResult result;
    runController_->work(QString::fromStdString("Undoing the run " + last.id + "..."),
                         [&](const CancelToken& cancel) {
                             options.cancel = &cancel;
                             result = undoRun(last.id, options);
                         });
    lastUndo_ = result;
    if (closeAfterRun_) {
        StartWindow::endProgram();
        return;
    }
    // The first paragraph and the counts in the box, every table in its details.
    const std::string report = undoReport(result);
    std::string text = report;
    if (const auto first = report.find("\n\n"); first != std::string::npos)
        text = report.substr(0, report.find("\n\n", first + 2));
    const auto crlf = [](std::string s) {
        for (auto at = s.find('\n'); at != std::string::npos; at = s.find('\n', at + 2))
            s.replace(at, 1, "\r\n");
        return s;
    };
    ui_->detailedBox(crlf(text), crlf(report), Buttons::Ok,
                     result.clean() ? Icon::Information : Icon::Exclamation, "");
}

} // namespace qm::ui
