#include "ui/form2.h"

#include "app/common.h"
#include "app/error_report.h"
#include "app/settings.h"
#include "db/table_facts.h"
#include "replace/replace_run.h"
#include "replace/run_recovery.h"
#include "sets/set_files.h"
#include "ui/backups_dialog.h"
#include "ui/form3.h"
#include "ui/search_options_panel.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

namespace qm::ui {

namespace fs = std::filesystem;

namespace {

constexpr int kFolderRole = Qt::UserRole + 1;
constexpr int kFileRole = Qt::UserRole + 2;

// The catalogue fills the list view through this; the rows keep where their file was found
// and show it beside the name, with the record count, so that same-named tables of two
// folders can be told apart.
class ListViewTableList : public TableList {
  public:
    ListViewTableList(QTreeWidget* view, std::string chosen)
        : view_(view), chosen_(std::move(chosen)) {}
    void clear() override { view_->clear(); }
    void appendUnchecked(const TableRow& row) override {
        auto* item = new QTreeWidgetItem(view_, {QString::fromStdString(row.name),
                                                 QString::fromStdString(shownFolder(row.folder)),
                                                 recordCount(row)});
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
        item->setData(0, kFolderRole, QString::fromStdString(row.folder));
        item->setData(0, kFileRole, QString::fromStdString(row.fileName));
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    }

  private:
    std::string shownFolder(const std::string& folder) const {
        fs::path relative = fs::path(folder).lexically_normal().lexically_relative(
            fs::path(chosen_).lexically_normal());
        std::string text = relative.string();
        while (text.size() > 1 && text.back() == kSeparator)
            text.pop_back();
        // A folder reached through a link may lie outside the chosen one: then its whole path.
        if (text.empty() || text.starts_with(".."))
            return folder;
        return text;
    }
    static QString recordCount(const TableRow& row) {
        // The run says why a table cannot be read; the list only shows that it could not.
        const db::TableFacts facts = db::tableFacts(fs::path(row.folder) / row.fileName);
        return facts.read ? QString::number(facts.records) : QStringLiteral("-");
    }

    QTreeWidget* view_;
    std::string chosen_;
};

} // namespace

Form2::~Form2() = default;

void Form2::Form_Load() {
    Trap trap(*ui_, where::form2("Form_Load"));
    trap.step(100, [&] { SetFormBackColors(*support_); });
    trap.step(102, [&] { setWindowIcon(applicationIcon()); });
    if (trap.test(104, [&] { return FileExistsByDate(handCursorFile().toStdString()); }))
        trap.step(106, [&] { support_->loadCustomPointer(handCursorFile()); });
    trap.step(108, [&] { setWindowTitle(kProductName); });
    trap.step(110, [&] {
        ListView1->setHeaderLabels(
            {"Select tables to find and replace within", "Folder", "Records"});
    });
    // The name column takes what the folder and count leave: a fixed width would give the
    // list a horizontal scrollbar in a narrow window.
    trap.step(112, [&] {
        QHeaderView* header = ListView1->header();
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
        header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    });
    trap.step(114, [&] { fillTableList(); });
    trap.step(116, [&] {
        int index = settings::GetTabIndex();
        if (index < 0 || index >= TabControl1->count())
            throw Error(380, "Invalid property value");
        TabControl1->setCurrentIndex(index);
    });
    trap.step(118, [&] {
        Text1->setText(QString::fromStdString(settings::GetSetting(settings::key::FindText, "")));
    });
    trap.step(120, [&] {
        Text2->setText(
            QString::fromStdString(settings::GetSetting(settings::key::ReplaceText, "")));
    });
    trap.step(122, [&] { SearchOptions1->load(); });
}

void Form2::fillTableList() {
    // A table a run killed meanwhile left aside must not be missing from the list.
    recoverInterruptedRuns(*ui_, runOptions_.backupRoot);
    filledFrom_ = start_->get();
    showListFolder();
    ListViewTableList list(ListView1, filledFrom_);
    AddTablesToParadoxListbox(*ui_, *start_, list);
    if (ListView1->topLevelItemCount() == 0)
        ui_->messageBox("There are no Paradox tables in " + filledFrom_ +
                            " or its subfolders: the list is empty. Choose another folder with "
                            "< Back.",
                        Buttons::Ok, Icon::Exclamation, "");
}

void Form2::showListFolder() {
    // The whole path, breakable after each separator so that a long one wraps instead of
    // widening the window.
    const auto breakable = [](const std::string& path) {
        QString text = QString::fromStdString(path);
        text.replace(QChar(kSeparator), QString(QChar(kSeparator)) + QChar(0x200B));
        return text;
    };
    QString text = "Tables in " + breakable(filledFrom_);
    if (const std::string original = start_->copiedFrom(filledFrom_); !original.empty())
        text += "\nThis folder is a copy of " + breakable(original) +
                "; a run changes the copy, not that folder.";
    FolderLabel->setText(text);
    FolderLabel->setToolTip(QString::fromStdString(filledFrom_));
}

void Form2::Form_Show() {
    // Coming back to the folder the list was filled from keeps the rows and their ticks;
    // another folder gets its own list, so that a run never works on a folder the user left.
    std::string current = start_->get();
    if (sameFolder(current, filledFrom_))
        return;
    Trap trap(*ui_, where::form2("Form_Load"));
    trap.step(114, [&] { fillTableList(); });
}

bool Form2::sameFolder(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec))
        return fs::equivalent(a, b, ec) && !ec;
    auto normal = [](const std::string& p) {
        std::string t = fs::path(p).lexically_normal().string();
        while (t.size() > 1 && t.back() == kSeparator)
            t.pop_back();
        return t;
    };
    return normal(a) == normal(b);
}

std::vector<std::pair<TableRow, bool>> Form2::tableRows() const {
    std::vector<std::pair<TableRow, bool>> rows;
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ListView1->topLevelItem(i);
        TableRow row{item->text(0).toStdString(),
                     item->data(0, kFolderRole).toString().toStdString(),
                     item->data(0, kFileRole).toString().toStdString()};
        rows.emplace_back(row, item->checkState(0) == Qt::Checked);
    }
    return rows;
}

void Form2::setAllChecks(bool checked, const char* procedure) {
    Trap trap(*ui_, where::form2(procedure));
    int count = 0;
    trap.step(100, [&] {
        count = ListView1->topLevelItemCount();
        // The row counter is a signed 16-bit number, as the error report's "Overflow" says.
        if (count > 32767)
            throw Error(6, "Overflow");
    });
    for (int i = 0; i < count; ++i) {
        trap.step(102, [&] {
            ListView1->topLevelItem(i)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
        });
        trap.line(104);
    }
}

void Form2::PushButton8_Click() {
    setAllChecks(true, "PushButton8_Click");
}
void Form2::PushButton9_Click() {
    setAllChecks(false, "PushButton9_Click");
}

void Form2::PushButton5_Click() {
    Trap trap(*ui_, where::form2("PushButton5_Click"));
    trap.step(100, [&] { start_->showAgain(); });
    trap.step(102, [&] { hide(); });
}

void Form2::refreshSetLists() {
    syncing_ = true;
    auto fill = [](QComboBox* box, const std::vector<std::string>& items, int selection) {
        QStringList texts;
        for (const auto& s : items)
            texts << QString::fromStdString(s);
        QStringList current;
        for (int i = 0; i < box->count(); ++i)
            current << box->itemText(i);
        if (current != texts) {
            box->clear();
            box->addItems(texts);
        }
        box->setCurrentIndex(selection);
    };
    fill(Combo1, sets_.findList(), sets_.findSelection());
    fill(Combo2, sets_.replaceList(), sets_.replaceSelection());
    syncing_ = false;
}

void Form2::showLastAddedSet(int countBefore) {
    // A set that went in shows in both lists; otherwise they would look as if nothing
    // happened.
    if (sets_.count() > countBefore)
        sets_.selectFind(sets_.count() - 1);
    refreshSetLists();
}

void Form2::PushButton10_Click() {
    int before = sets_.count();
    AddSet(*ui_, sets_);
    showLastAddedSet(before);
}

void Form2::PushButton7_Click() {
    const int removed = sets_.findSelection();
    RemoveSelectedSet(*ui_, sets_);
    // The set that took the removed one's place is shown, not two empty fields while sets
    // are left.
    if (sets_.count() > 0 && sets_.findSelection() == -1)
        sets_.selectFind(std::clamp(removed, 0, sets_.count() - 1));
    refreshSetLists();
}

void Form2::PushButton11_Click() {
    if (sets_.count() == 0)
        return;
    const std::string question =
        "Remove all " + std::to_string(sets_.count()) + " find and replace sets from the lists?";
    if (ui_->messageBox(question, Buttons::YesNoDefaultNo, Icon::Question, "") != Answer::Yes)
        return;
    ClearAllSets(*ui_, sets_);
    refreshSetLists();
}

void Form2::PushButton12_Click() {
    Trap trap(*ui_, where::form2("PushButton12_Click"));
    int before = sets_.count();
    trap.step(100, [&] {
        Form3 dialog(this, sets_, ownUi_ ? nullptr : ui_, start_->get());
        dialog.Form_Load();
        if (loadSetsHook_)
            loadSetsHook_(dialog);
        else
            dialog.exec();
    });
    showLastAddedSet(before);
}

void Form2::PushButton13_Click() {
    SaveSets(*ui_, sets_, start_->get());
}

RunInputs Form2::runInputs() const {
    RunInputs inputs;
    for (const auto& [row, ticked] : tableRows())
        inputs.rows.push_back({row, ticked});
    inputs.selectedTab = TabControl1->currentIndex();
    inputs.findText = Text1->text().toStdString();
    inputs.replaceText = Text2->text().toStdString();
    inputs.setFind = sets_.findList();
    inputs.setReplace = sets_.replaceList();
    inputs.search = SearchOptions1->options();
    std::vector<TableRow> listed;
    for (const auto& r : inputs.rows)
        listed.push_back(r.table);
    inputs.rowColumns = SearchOptions1->columnChoices(listed);
    inputs.copyFolder = filledFrom_;
    inputs.copiedFrom = start_->copiedFrom(filledFrom_);
    return inputs;
}

void Form2::Backups_Click() {
    BackupsDialog dialog(this, *ui_, runOptions_.backupRoot);
    if (backupsHook_)
        backupsHook_(dialog);
    else
        dialog.exec();
}

void Form2::closeEvent(QCloseEvent* event) {
    if (runController_->running()) {
        // A long job is not ended by a stray click without a word.
        if (!closeAfterRun_ &&
            ui_->messageBox("A run is going on. Stop it at its next safe point and close the "
                            "program?",
                            Buttons::YesNoDefaultNo, Icon::Question, "") != Answer::Yes) {
            event->ignore();
            return;
        }
        // No run goes on without its window: it stops at its next safe point, and the program
        // ends when it has.
        closeAfterRun_ = true;
        runController_->cancelForClose();
        event->ignore();
        return;
    }
    event->accept();
    StartWindow::endProgram();
}

} // namespace qm::ui
