#include "ui/form2.h"

#include "app/common.h"
#include "app/error_report.h"
#include "app/settings.h"
#include "paradox/table.h"
#include "replace/replace_run.h"
#include "sets/set_files.h"
#include "ui/backups_dialog.h"
#include "ui/form1.h"
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
        try {
            return QString::number(
                paradox::Table::open(fs::path(row.folder) / row.fileName).recordCount());
        } catch (const std::exception&) {
            // The run says why a table cannot be read; the list only shows that it could not.
            return QStringLiteral("-");
        }
    }

    QTreeWidget* view_;
    std::string chosen_;
};

QPushButton* button(QWidget* parent, const char* name, const char* caption) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    return b;
}

QLabel* label(QWidget* parent, const char* name, const char* caption) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(name);
    return l;
}

} // namespace

Form2::Form2(Form1* start, UserInterface* ui) : start_(start) {
    if (!ui) {
        ownUi_ = std::make_unique<QtUserInterface>(this);
        ui = ownUi_.get();
    }
    ui_ = ui;
    setObjectName("Form2");
    resize(470, 680);

    PushButton5 = button(this, "PushButton5", "< Back");
    FolderLabel = label(this, "FolderLabel", "");
    FolderLabel->setWordWrap(true);
    FolderLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ListView1 = new QTreeWidget(this);
    ListView1->setObjectName("ListView1");
    ListView1->setRootIsDecorated(false);
    ListView1->setColumnCount(3);
    ListView1->header()->setStretchLastSection(false);
    PushButton8 = button(this, "PushButton8", "Select All");
    PushButton9 = button(this, "PushButton9", "Deselect All");

    TabControl1 = new QTabWidget(this);
    TabControl1->setObjectName("TabControl1");
    auto* page0 = new QWidget;
    Label2 = label(page0, "Label2", " Find what (exact case):");
    Text1 = new QLineEdit(page0);
    Text1->setObjectName("Text1");
    Label5 = label(page0, "Label5", " Replace with:");
    Text2 = new QLineEdit(page0);
    Text2->setObjectName("Text2");
    auto* l0 = new QVBoxLayout(page0);
    for (QWidget* w : {static_cast<QWidget*>(Label2), static_cast<QWidget*>(Text1),
                       static_cast<QWidget*>(Label5), static_cast<QWidget*>(Text2)})
        l0->addWidget(w);
    l0->addStretch();

    auto* page1 = new QWidget;
    Label7 = label(page1, "Label7", " Find what (exact case):");
    Combo1 = new QComboBox(page1);
    Combo1->setObjectName("Combo1");
    Label6 = label(page1, "Label6", " Replace with:");
    Combo2 = new QComboBox(page1);
    Combo2->setObjectName("Combo2");
    PushButton10 = button(page1, "PushButton10", "Add Set");
    PushButton12 = button(page1, "PushButton12", "Load Sets");
    PushButton13 = button(page1, "PushButton13", "Save Sets");
    PushButton7 = button(page1, "PushButton7", "Remove Selected Set");
    PushButton11 = button(page1, "PushButton11", "Clear All Sets");
    auto* l1 = new QGridLayout(page1);
    l1->addWidget(Label7, 0, 0, 1, 4);
    l1->addWidget(Combo1, 1, 0, 1, 4);
    l1->addWidget(Label6, 2, 0, 1, 4);
    l1->addWidget(Combo2, 3, 0, 1, 4);
    l1->addWidget(PushButton10, 4, 0, 1, 2);
    l1->addWidget(PushButton12, 4, 2);
    l1->addWidget(PushButton13, 4, 3);
    l1->addWidget(PushButton7, 5, 0, 1, 2);
    l1->addWidget(PushButton11, 5, 2, 1, 2);
    TabControl1->addTab(page0, "Find and replace");
    TabControl1->addTab(page1, "Multiple find and replace sets");

    PushButton1 = button(this, "PushButton1", "Start Replacing");
    SearchOptions1 = new SearchOptionsPanel(this);
    PreviewButton = button(this, "PreviewButton", "Preview");
    UndoButton = button(this, "UndoButton", "Undo Last Run");
    BackupsButton = button(this, "BackupsButton", "Backups...");

    // Only the table list grows with the window; the criteria keep their natural height. On a
    // screen too small for everything (a large scale factor) the middle scrolls, and "< Back"
    // and "Start Replacing" stay in reach.
    auto* middle = new QWidget;
    auto* grid = new QGridLayout(middle);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(FolderLabel, 0, 0, 1, 2);
    grid->addWidget(ListView1, 1, 0, 1, 2);
    grid->addWidget(PushButton8, 2, 0);
    grid->addWidget(PushButton9, 2, 1);
    grid->addWidget(TabControl1, 3, 0, 1, 2);
    grid->addWidget(SearchOptions1, 4, 0, 1, 2);
    grid->setRowStretch(1, 1);
    TabControl1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    SearchOptions1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    ListView1->setMinimumHeight(ListView1->fontMetrics().height() * 4);
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName("Form2Middle");
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidget(middle);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(PushButton5);
    outer->addWidget(scroll_, 1);
    progressView_ = new RunProgressView(this);
    auto* startRow = new QHBoxLayout;
    startRow->addWidget(PushButton1, 1);
    startRow->addWidget(PreviewButton);
    startRow->addWidget(UndoButton);
    startRow->addWidget(BackupsButton);
    outer->addLayout(startRow);
    outer->addWidget(progressView_);

    QWidget* order[] = {ListView1,    PushButton8, PushButton9,  PushButton10, PushButton12,
                        PushButton13, PushButton7, PushButton11, PushButton5,  PushButton1,
                        Text1,        Text2,       TabControl1,  Combo2,       Combo1};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    support_ = new WindowSupport(this, "Form2");
    if (ownUi_)
        ownUi_->setPointerSink([this](PointerState s) { support_->setPointerState(s); });
    support_->watchHovers();
    // The scrolled middle's own surface is the window's surface.
    support_->watchAsWindow(scroll_->viewport());
    support_->watchAsWindow(middle);
    fitToScreen(*this);
    runUi_ = std::make_unique<WindowRunInterface>(*ui_, *support_);
    runController_ = new RunController(this, *runUi_, progressView_);

    connect(PushButton1, &QPushButton::clicked, this, &Form2::PushButton1_Click);
    connect(PreviewButton, &QPushButton::clicked, this, &Form2::Preview_Click);
    connect(UndoButton, &QPushButton::clicked, this, &Form2::Undo_Click);
    connect(BackupsButton, &QPushButton::clicked, this, &Form2::Backups_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form2::PushButton5_Click);
    connect(PushButton7, &QPushButton::clicked, this, &Form2::PushButton7_Click);
    connect(PushButton8, &QPushButton::clicked, this, &Form2::PushButton8_Click);
    connect(PushButton9, &QPushButton::clicked, this, &Form2::PushButton9_Click);
    connect(PushButton10, &QPushButton::clicked, this, &Form2::PushButton10_Click);
    connect(PushButton11, &QPushButton::clicked, this, &Form2::PushButton11_Click);
    connect(PushButton12, &QPushButton::clicked, this, &Form2::PushButton12_Click);
    connect(PushButton13, &QPushButton::clicked, this, &Form2::PushButton13_Click);
    connect(TabControl1, &QTabWidget::currentChanged, this,
            [](int index) { settings::SaveTabIndex(index); });
    connect(Text1, &QLineEdit::textChanged, this, [](const QString& t) {
        settings::SaveSetting(settings::key::FindText, t.toStdString());
    });
    connect(Text2, &QLineEdit::textChanged, this, [](const QString& t) {
        settings::SaveSetting(settings::key::ReplaceText, t.toStdString());
    });
    // The find labels say how the find text will be met.
    connect(SearchOptions1, &SearchOptionsPanel::optionsChanged, this, [this] {
        Label2->setText(SearchOptions1->findLabel());
        Label7->setText(SearchOptions1->findLabel());
    });
    // The column list follows the table selected in the list.
    connect(ListView1, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        const int i = item ? ListView1->indexOfTopLevelItem(item) : -1;
        const auto rows = tableRows();
        SearchOptions1->showColumnsOf(i >= 0 && i < static_cast<int>(rows.size())
                                          ? &rows[static_cast<std::size_t>(i)].first
                                          : nullptr);
    });
    // Either list's choice moves the other one to the same set.
    connect(Combo1, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (syncing_)
            return;
        sets_.selectFind(i);
        refreshSetLists();
    });
    connect(Combo2, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (syncing_)
            return;
        sets_.selectReplace(i);
        refreshSetLists();
    });
}

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
    trap.step(100, [&] { start_->show(); });
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
    Form1::endProgram();
}

} // namespace qm::ui
