// The main window's controls, their layout and their connections: what its constructor makes.

#include "ui/form2.h"

#include "app/settings.h"
#include "ui/search_options_panel.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QScrollArea>
#include <QVBoxLayout>

namespace qm::ui {

namespace {

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

Form2::Form2(StartWindow* start, UserInterface* ui) : start_(start) {
    if (!ui) {
        ownUi_ = std::make_unique<QtUserInterface>(this);
        ui = ownUi_.get();
    }
    ui_ = ui;
    setObjectName("Form2");
    resize(470, 680);

    createTableList();
    TabControl1 = new QTabWidget(this);
    TabControl1->setObjectName("TabControl1");
    QWidget* findTab = createFindTab();
    QWidget* setsTab = createSetsTab();
    TabControl1->addTab(findTab, "Find and replace");
    TabControl1->addTab(setsTab, "Multiple find and replace sets");
    PushButton1 = button(this, "PushButton1", "Start Replacing");
    SearchOptions1 = new SearchOptionsPanel(this);
    PreviewButton = button(this, "PreviewButton", "Preview");
    UndoButton = button(this, "UndoButton", "Undo Last Run");
    BackupsButton = button(this, "BackupsButton", "Backups...");
    QWidget* middle = layOutControls();

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
    connectButtons();
    connectCriteria();
}

void Form2::createTableList() {
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
}

QWidget* Form2::createFindTab() {
    auto* page = new QWidget;
    Label2 = label(page, "Label2", " Find what (exact case):");
    Text1 = new QLineEdit(page);
    Text1->setObjectName("Text1");
    Label5 = label(page, "Label5", " Replace with:");
    Text2 = new QLineEdit(page);
    Text2->setObjectName("Text2");
    auto* layout = new QVBoxLayout(page);
    for (QWidget* w : {static_cast<QWidget*>(Label2), static_cast<QWidget*>(Text1),
                       static_cast<QWidget*>(Label5), static_cast<QWidget*>(Text2)})
        layout->addWidget(w);
    layout->addStretch();
    return page;
}

QWidget* Form2::createSetsTab() {
    auto* page = new QWidget;
    Label7 = label(page, "Label7", " Find what (exact case):");
    Combo1 = new QComboBox(page);
    Combo1->setObjectName("Combo1");
    Label6 = label(page, "Label6", " Replace with:");
    Combo2 = new QComboBox(page);
    Combo2->setObjectName("Combo2");
    PushButton10 = button(page, "PushButton10", "Add Set");
    PushButton12 = button(page, "PushButton12", "Load Sets");
    PushButton13 = button(page, "PushButton13", "Save Sets");
    PushButton7 = button(page, "PushButton7", "Remove Selected Set");
    PushButton11 = button(page, "PushButton11", "Clear All Sets");
    auto* layout = new QGridLayout(page);
    layout->addWidget(Label7, 0, 0, 1, 4);
    layout->addWidget(Combo1, 1, 0, 1, 4);
    layout->addWidget(Label6, 2, 0, 1, 4);
    layout->addWidget(Combo2, 3, 0, 1, 4);
    layout->addWidget(PushButton10, 4, 0, 1, 2);
    layout->addWidget(PushButton12, 4, 2);
    layout->addWidget(PushButton13, 4, 3);
    layout->addWidget(PushButton7, 5, 0, 1, 2);
    layout->addWidget(PushButton11, 5, 2, 1, 2);
    return page;
}

// Only the table list grows with the window; the criteria keep their natural height. On a screen
// too small for everything (a large scale factor) the middle scrolls, and "< Back" and "Start
// Replacing" stay in reach. Returns the scrolled middle.
QWidget* Form2::layOutControls() {
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
    return middle;
}

void Form2::connectButtons() {
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
}

void Form2::connectCriteria() {
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

} // namespace qm::ui
