#include "ui/form3.h"

#include "app/common.h"
#include "app/error_report.h"
#include "app/settings.h"
#include "sets/set_files.h"

#include <QGridLayout>
#include <filesystem>

namespace qm::ui {

Form3::Form3(QWidget* owner, SetLists& lists, UserInterface* ui, std::string startFolder)
    : QDialog(owner), lists_(lists), startFolder_(std::move(startFolder)) {
    if (!ui) {
        ownUi_ = std::make_unique<QtUserInterface>(this);
        ui = ownUi_.get();
    }
    ui_ = ui;
    setObjectName("Form3");
    setWindowTitle("Load Sets");
    setModal(true);
    resize(400, 130);

    createControls();
    support_ = new WindowSupport(this, "Form3");
    if (ownUi_)
        ownUi_->setPointerSink([this](PointerState s) { support_->setPointerState(s); });
    support_->watchHovers();
    fitToScreen(*this);

    connectControls();
}

Form3::~Form3() = default;

void Form3::createControls() {
    Label1_0 = new QLabel("File To Load:", this);
    Label1_0->setObjectName("Label1");
    Text1 = new QLineEdit(this);
    Text1->setObjectName("Text1");
    PushButton16 = new QPushButton("...", this);
    PushButton16->setObjectName("PushButton16");
    PushButton16->setFixedWidth(32);
    Label1_1 = new QLabel("Separator:", this);
    Label1_1->setObjectName("Label1");
    Text2 = new QLineEdit(this);
    Text2->setObjectName("Text2");
    PushButton3 = new QPushButton("?", this);
    PushButton3->setObjectName("PushButton3");
    PushButton3->setFixedWidth(32);
    PushButton1 = new QPushButton("Load", this);
    PushButton1->setObjectName("PushButton1");
    PushButton2 = new QPushButton("Cancel", this);
    PushButton2->setObjectName("PushButton2");

    auto* grid = new QGridLayout(this);
    grid->addWidget(Label1_0, 0, 0);
    grid->addWidget(Text1, 0, 1, 1, 2);
    grid->addWidget(PushButton16, 0, 3);
    grid->addWidget(Label1_1, 1, 0);
    grid->addWidget(Text2, 1, 1, 1, 2);
    grid->addWidget(PushButton3, 1, 3);
    grid->addWidget(PushButton1, 2, 0, 1, 2);
    grid->addWidget(PushButton2, 2, 2, 1, 2);

    setTabOrder(Text1, Text2);
    setTabOrder(Text2, PushButton1);
    setTabOrder(PushButton1, PushButton2);
    setTabOrder(PushButton2, PushButton16);
    setTabOrder(PushButton16, PushButton3);
}

void Form3::connectControls() {
    // Buttons of a dialog default to Enter; this dialog has no default button, so Enter in the
    // path field does not load or close by surprise.
    for (QPushButton* b : {PushButton1, PushButton2, PushButton3, PushButton16})
        b->setAutoDefault(false);

    connect(Text2, &QLineEdit::textChanged, this, [](const QString& t) {
        settings::SaveSetting(settings::key::LoadSeparator, t.toStdString());
    });
    connect(PushButton1, &QPushButton::clicked, this, &Form3::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form3::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form3::PushButton3_Click);
    connect(PushButton16, &QPushButton::clicked, this, &Form3::PushButton16_Click);
}

void Form3::Form_Load() {
    Trap trap(*ui_, where::form3("Form_Load"));
    trap.step(100, [&] { SetFormBackColors(*support_); });
    trap.step(102, [&] { setWindowIcon(applicationIcon()); });
    if (trap.test(104, [&] { return FileExistsByDate(handCursorFile().toStdString()); }))
        trap.step(106, [&] { support_->loadCustomPointer(handCursorFile()); });
    trap.step(106, [&] {
        Text2->setText(
            QString::fromStdString(settings::GetSetting(settings::key::LoadSeparator, "::")));
    });
}

void Form3::PushButton1_Click() {
    std::string file = Text1->text().toStdString();
    std::string separator = Text2->text().toStdString();
    int before = lists_.count();
    std::size_t skipped = 0;
    if (!LoadSets(*ui_, file, separator, lists_, &skipped))
        return;
    if (lists_.count() == before) {
        // A load that adds nothing would close the dialog as if it had worked; say why and
        // leave the fields for another try.
        std::error_code ec;
        bool empty = std::filesystem::file_size(file, ec) == 0 && !ec;
        std::string why = empty ? file + " is empty."
                                : "no line of " + file + " holds the separator " + separator;
        ui_->messageBox("No set was loaded: " + why, Buttons::Ok, Icon::None, appTitle());
        return;
    }
    if (skipped > 0)
        ui_->messageBox(std::to_string(lists_.count() - before) + " set(s) loaded; " +
                            std::to_string(skipped) + " line(s) of " + file +
                            " without the separator " + separator + " were skipped.",
                        Buttons::Ok, Icon::Information, appTitle());
    accept();
}

void Form3::PushButton2_Click() {
    Trap trap(*ui_, where::form3("PushButton2_Click"));
    trap.step(100, [&] { reject(); });
}

std::string Form3::helpText() {
    const char* lines[] = {"If the text file you are loading looks like this:",
                           "",
                           "hi::hello",
                           "peter::pete",
                           "",
                           "then use :: as a Separator",
                           "",
                           "If the text file you are loading looks like this:",
                           "",
                           "hi,hello",
                           "peter,pete",
                           "",
                           "then use , as a Separator",
                           "",
                           "NOTE: The 'Save Sets' feature in this software always saves in this "
                           "format:",
                           "",
                           "hi::hello",
                           "peter::pete"};
    std::string text;
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        if (i)
            text += "\r\n";
        text += lines[i];
    }
    return text;
}

void Form3::PushButton3_Click() {
    Trap trap(*ui_, where::form3("PushButton3_Click"));
    trap.step(100, [&] { ui_->messageBox(helpText(), Buttons::Ok, Icon::None, appTitle()); });
}

void Form3::PushButton16_Click() {
    Trap trap(*ui_, where::form3("PushButton16_Click"));
    FileDialogRequest request;
    trap.step(100, [&] { request.fileName.clear(); });
    trap.step(102, [&] { request.title = "Select Text File"; });
    trap.step(104, [&] { request.filter = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|"; });
    request.directory = startFolder_;
    std::string chosen;
    trap.step(106, [&] { chosen = ui_->fileDialog(request); });
    if (trap.test(108, [&] { return !chosen.empty(); }))
        trap.step(110, [&] { Text1->setText(QString::fromStdString(chosen)); });
}

} // namespace qm::ui
