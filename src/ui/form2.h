#pragma once

#include "db/catalogue.h"
#include "replace/replace_run.h"
#include "replace/run_history.h"
#include "sets/set_lists.h"
#include "ui/qt_user_interface.h"
#include "ui/run_controller.h"
#include "ui/run_progress_view.h"
#include "ui/start_window.h"
#include "ui/window_support.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWidget>
#include <memory>

namespace qm::ui {

class SearchOptionsPanel;

// The main window: the table list, the criteria on two tabs and the replace run.
class Form2 : public QWidget {
    Q_OBJECT
  public:
    // ui: the boxes of this window; nullptr makes real Qt ones.
    Form2(StartWindow* start, UserInterface* ui = nullptr);
    ~Form2() override;

    void Form_Load();
    // The start window shows this window again: the list follows a change of folder.
    void Form_Show();

    void PushButton1_Click();  // Start Replacing
    void PushButton5_Click();  // < Back
    void PushButton7_Click();  // Remove Selected Set
    void PushButton8_Click();  // Select All
    void PushButton9_Click();  // Deselect All
    void PushButton10_Click(); // Add Set
    void PushButton11_Click(); // Clear All Sets
    void PushButton12_Click(); // Load Sets
    void PushButton13_Click(); // Save Sets
    void Preview_Click();      // Preview: the run without writing anything, its hits listed
    void Undo_Click();         // Undo Last Run: the tables of the newest run put back
    void Backups_Click();      // Backups...: their size, older ones removed, the retention

    SetLists& sets() { return sets_; }
    // Where the run keeps its change log and backups; tests point them at temporary folders.
    void setRunOptions(RunOptions options) { runOptions_ = std::move(options); }
    const RunResult& lastRun() const { return lastRun_; }
    const UndoResult& lastUndo() const { return lastUndo_; }
    // The run in progress: its progress view and the controller that cancels it.
    RunProgressView* progressView() const { return progressView_; }
    RunController& runController() { return *runController_; }
    // Puts the set lists into the two drop-down lists, with their selections.
    void refreshSetLists();
    // The table rows as the list holds them, with their check marks.
    std::vector<std::pair<TableRow, bool>> tableRows() const;
    WindowSupport& support() { return *support_; }
    UserInterface& userInterface() { return *ui_; }
    // What the Load Sets dialog does when it opens; tests drive the dialog through it.
    void setLoadSetsHook(std::function<void(class Form3&)> hook) {
        loadSetsHook_ = std::move(hook);
    }
    // What the preview does with its dialog instead of showing it; tests read the rows.
    void setPreviewHook(std::function<void(class PreviewDialog&)> hook) {
        previewHook_ = std::move(hook);
    }
    // What Backups... does with its dialog instead of showing it; tests drive it.
    void setBackupsHook(std::function<void(class BackupsDialog&)> hook) {
        backupsHook_ = std::move(hook);
    }

    QPushButton* PushButton5;
    QLabel* FolderLabel; // the folder the table list comes from, whole
    QTreeWidget* ListView1;
    QPushButton* PushButton8;
    QPushButton* PushButton9;
    QTabWidget* TabControl1;
    QLabel* Label2;
    QLineEdit* Text1;
    QLabel* Label5;
    QLineEdit* Text2;
    QLabel* Label7;
    QComboBox* Combo1;
    QLabel* Label6;
    QComboBox* Combo2;
    QPushButton* PushButton10;
    QPushButton* PushButton12;
    QPushButton* PushButton13;
    QPushButton* PushButton7;
    QPushButton* PushButton11;
    QPushButton* PushButton1;
    SearchOptionsPanel* SearchOptions1; // match case, whole words, expression, columns
    QPushButton* PreviewButton;
    QPushButton* UndoButton;
    QPushButton* BackupsButton;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // The constructor's steps (form2_layout.cpp), in the order the controls are made.
    void createTableList();
    QWidget* createFindTab();
    QWidget* createSetsTab();
    QWidget* layOutControls();
    void connectButtons();
    void connectCriteria();

    void setAllChecks(bool checked, const char* procedure);
    void fillTableList();
    void showListFolder();
    void showLastAddedSet(int countBefore);
    static bool sameFolder(const std::string& a, const std::string& b);
    // The table rows and criteria as the run reads them when a button is clicked.
    RunInputs runInputs() const;
    // False, with the reason said, when the run would refuse to start.
    bool readyToRun(const RunInputs& inputs);

    StartWindow* start_;
    QScrollArea* scroll_ = nullptr;
    std::string filledFrom_;
    std::unique_ptr<QtUserInterface> ownUi_;
    UserInterface* ui_;
    WindowSupport* support_;
    SetLists sets_;
    RunOptions runOptions_;
    RunResult lastRun_;
    UndoResult lastUndo_;
    RunProgressView* progressView_;
    std::unique_ptr<WindowRunInterface> runUi_;
    RunController* runController_;
    bool closeAfterRun_ = false;
    bool syncing_ = false;
    std::function<void(class Form3&)> loadSetsHook_;
    std::function<void(class PreviewDialog&)> previewHook_;
    std::function<void(class BackupsDialog&)> backupsHook_;
};

} // namespace qm::ui
