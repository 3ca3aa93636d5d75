#include "ui/form1.h"

#include "app/common.h"
#include "app/error_report.h"
#include "app/installation.h"
#include "app/settings.h"
#include "db/catalogue.h"
#include "db/folder_copy.h"
#include "db/folders.h"
#include "ui/form2.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QGridLayout>
#include <QTimer>
#include <QVBoxLayout>
#include <filesystem>

namespace qm::ui {

Form1::Form1(UserInterface* ui) {
    if (!ui) {
        ownUi_ = std::make_unique<QtUserInterface>(this);
        ui = ownUi_.get();
    }
    ui_ = ui;
    setObjectName("Form1");
    resize(520, 190);

    Frame1 = new QGroupBox("Paradox Database", this);
    Frame1->setObjectName("Frame1");
    Label2 = new QLabel("Paradox Folder:", Frame1);
    Label2->setObjectName("Label2");
    Text1 = new QLineEdit(Frame1);
    Text1->setObjectName("Text1");
    PushButton5 = new QPushButton("...", Frame1);
    PushButton5->setObjectName("PushButton5");
    PushButton5->setFixedWidth(32);
    PushButton1 = new QPushButton("Load Sample/Example Database", Frame1);
    PushButton1->setObjectName("PushButton1");
    PushButton2 = new QPushButton("Test Connection", Frame1);
    PushButton2->setObjectName("PushButton2");
    PushButton3 = new QPushButton("Next >", this);
    PushButton3->setObjectName("PushButton3");

    auto* grid = new QGridLayout(Frame1);
    grid->addWidget(Label2, 0, 0);
    grid->addWidget(Text1, 0, 1, 1, 2);
    grid->addWidget(PushButton5, 0, 3);
    grid->addWidget(PushButton1, 1, 0, 1, 2);
    grid->addWidget(PushButton2, 1, 2, 1, 2);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(Frame1);
    outer->addWidget(PushButton3);

    // In the order the window reads: the folder, the buttons of its frame, then "Next >".
    setTabOrder(Text1, PushButton5);
    setTabOrder(PushButton5, PushButton1);
    setTabOrder(PushButton1, PushButton2);
    setTabOrder(PushButton2, PushButton3);

    support_ = new WindowSupport(this, "Form1");
    if (ownUi_)
        ownUi_->setPointerSink([this](PointerState s) { support_->setPointerState(s); });
    support_->watchHovers();
    Text1->installEventFilter(this);

    connect(Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    connect(PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    // Enter in the folder field goes on, as "Next >" does.
    connect(Text1, &QLineEdit::returnPressed, this, &Form1::PushButton3_Click);
    fitToScreen(*this);
}

Form1::~Form1() = default;

bool Form1::Form_Load() {
    Trap trap(*ui_, where::form1("Form_Load"));
    trap.step(100, [&] { ApplySkin(*support_); });
    trap.step(104, [&] {
        setWindowTitle(kProductName);
        setWindowIcon(applicationIcon());
        // The application title names the message boxes only: as Qt's application display
        // name it would be added to every window caption.
        SetAppTitle();
    });
    if (trap.test(124, [&] { return FileExistsByDate(handCursorFile().toStdString()); }))
        trap.step(126, [&] { support_->loadCustomPointer(handCursorFile()); });
    trap.step(128, [&] {
        Text1->setText(QString::fromStdString(settings::GetSetting(settings::key::Database, "")));
    });
    if (trap.test(130, [&] { return FileExistsByDate(get()); })) {
        trap.step(132, [&] { showMainWindow(); });
        trap.step(134, [&] { hide(); });
        return true;
    }
    return false;
}

void Form1::showMainWindow() {
    // The main window is made, and its load run, the first time only: coming back with
    // another folder brings it back as it was.
    if (!form2_) {
        form2_ = std::make_unique<Form2>(this, ownUi_ ? nullptr : ui_);
        form2_->show();
        form2_->Form_Load();
    } else {
        form2_->show();
        form2_->Form_Show();
    }
}

void Form1::copyIfAsked(bool sample) {
    const std::string before = get();
    CopyDB(*ui_, *this, sample, copyRoot_);
    if (get() != before)
        copies_[get()] = before;
}

std::string Form1::copiedFrom(const std::string& folder) const {
    const auto it = copies_.find(folder);
    return it == copies_.end() ? std::string() : it->second;
}

void Form1::Text1_Change(const QString& text) {
    settings::SaveSetting(settings::key::Database, text.toStdString());
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Text1 && event->type() == QEvent::FocusIn) {
        // After the focus event the line edit would place the caret itself; select afterwards.
        QTimer::singleShot(0, Text1, [this] { Text1->setSelection(0, Text1->text().size()); });
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::PushButton1_Click() {
    Trap trap(*ui_, where::form1("PushButton1_Click"));
    // An installed program's Samples are not the user's to change: the user gets a copy.
    trap.step(100, [&] { set(samplesFolder()); });
    trap.step(102, [&] { copyIfAsked(true); });
}

void Form1::PushButton2_Click() {
    Trap trap(*ui_, where::form1("PushButton2_Click"));
    trap.step(102, [&] { copyIfAsked(false); });
    trap.step(104, [&] { support_->setPointerState(PointerState::Busy); });
    bool found = false;
    // A test that failed is not taken as true here: after the error report, "Connection
    // successful." would tell the user the opposite of what happened.
    trap.step(106, [&] { found = FolderHasParadoxTables(*this); });
    if (found)
        trap.step(108, [&] {
            ui_->messageBox("Connection successful.", Buttons::Ok, Icon::None, appTitle());
        });
    else
        trap.step(110, [&] {
            ui_->messageBox("Could not connect.\r\n\r\n" + connectionFailure(), Buttons::Ok,
                            Icon::None, appTitle());
        });
    trap.step(112, [&] { support_->setPointerState(PointerState::Default); });
}

std::string Form1::connectionFailure() const {
    const std::string folder = get();
    if (folder.find_first_not_of(' ') == std::string::npos)
        return "No folder is given: type the folder of the Paradox tables, or choose it with "
               "\"...\".";
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec))
        return "The folder " + folder + " does not exist.";
    if (!std::filesystem::is_directory(folder, ec))
        return folder + " is not a folder.";
    return "The folder " + folder + " and its subfolders hold no Paradox tables (.db files).";
}

void Form1::PushButton3_Click() {
    Trap trap(*ui_, where::form1("PushButton3_Click"));
    trap.step(100, [&] { copyIfAsked(false); });
    if (trap.test(102, [&] { return FileExistsByDate(get()); })) {
        trap.step(104, [&] { showMainWindow(); });
        trap.step(106, [&] { hide(); });
    }
}

void Form1::PushButton5_Click() {
    Trap trap(*ui_, where::form1("PushButton5_Click"));
    std::string chosen;
    trap.step(100, [&] {
        chosen = BrowseForFolder(
            *ui_, "Please select folder:", settings::GetSetting(settings::key::LastFolderDot, ""));
    });
    if (trap.test(102, [&] { return chosen.empty(); }))
        return;
    trap.step(104, [&] { set(chosen); });
    trap.step(106, [&] { copyIfAsked(false); });
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    endProgram();
}

} // namespace qm::ui
