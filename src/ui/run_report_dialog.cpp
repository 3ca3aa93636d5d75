#include "ui/run_report_dialog.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

namespace qm::ui {

namespace {
QStyle::StandardPixmap pixmapFor(Icon icon) {
    switch (icon) {
    case Icon::Critical:
        return QStyle::SP_MessageBoxCritical;
    case Icon::Question:
        return QStyle::SP_MessageBoxQuestion;
    case Icon::Exclamation:
        return QStyle::SP_MessageBoxWarning;
    case Icon::Information:
    case Icon::None:
        break;
    }
    return QStyle::SP_MessageBoxInformation;
}
} // namespace

RunReportDialog::RunReportDialog(QWidget* parent, const QString& title, const QString& text,
                                 const QString& details, Icon icon, Buttons buttons)
    : QDialog(parent) {
    setObjectName("RunReportDialog");
    setWindowTitle(title);
    QHBoxLayout* top = makeTextRow(text, icon);

    detailsView = new QPlainTextEdit(details, this);
    detailsView->setObjectName("RunReportDetails");
    detailsView->setReadOnly(true);
    detailsView->setLineWrapMode(QPlainTextEdit::NoWrap);
    detailsView->setMinimumHeight(160);
    detailsView->hide();

    buttonBox = new QDialogButtonBox(this);
    detailsButton = buttonBox->addButton("Show Details...", QDialogButtonBox::ActionRole);
    detailsButton->setObjectName("RunReportDetailsButton");
    detailsButton->setVisible(!details.isEmpty());
    connect(detailsButton, &QPushButton::clicked, this, &RunReportDialog::toggleDetails);
    addAnswerButtons(buttons);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(detailsView, 1);
    layout->addWidget(buttonBox);
    fitText();
    adjustSize();
    fitToScreen();
}

QHBoxLayout* RunReportDialog::makeTextRow(const QString& text, Icon icon) {
    auto* top = new QHBoxLayout;
    if (icon != Icon::None) {
        auto* iconLabel = new QLabel(this);
        const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
        iconLabel->setPixmap(style()->standardIcon(pixmapFor(icon), nullptr, this).pixmap(size));
        iconLabel->setAlignment(Qt::AlignTop);
        top->addWidget(iconLabel);
    }
    textLabel = new QLabel(text);
    textLabel->setObjectName("RunReportText");
    textLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    textLabel->setWordWrap(true);
    textLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The text is never cut: it gets the height its wrapped lines need, and scrolls only where
    // the screen has not that much room.
    textArea = new QScrollArea(this);
    textArea->setObjectName("RunReportTextArea");
    textArea->setFrameShape(QFrame::NoFrame);
    textArea->setWidgetResizable(true);
    textArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    textArea->setWidget(textLabel);
    top->addWidget(textArea, 1);
    return top;
}

void RunReportDialog::addAnswerButtons(Buttons buttons) {
    const auto add = [&](QDialogButtonBox::StandardButton b, Answer a) {
        QPushButton* button = buttonBox->addButton(b);
        connect(button, &QPushButton::clicked, this, [this, a] {
            answer_ = a;
            accept();
        });
        return button;
    };
    switch (buttons) {
    case Buttons::Ok:
        add(QDialogButtonBox::Ok, Answer::Ok)->setDefault(true);
        break;
    case Buttons::OkCancel:
        add(QDialogButtonBox::Ok, Answer::Ok)->setDefault(true);
        add(QDialogButtonBox::Cancel, Answer::Cancel);
        answer_ = Answer::Cancel;
        break;
    case Buttons::YesNo:
        add(QDialogButtonBox::Yes, Answer::Yes)->setDefault(true);
        add(QDialogButtonBox::No, Answer::No);
        answer_ = Answer::No;
        break;
    case Buttons::YesNoDefaultNo:
        add(QDialogButtonBox::Yes, Answer::Yes);
        add(QDialogButtonBox::No, Answer::No)->setDefault(true);
        answer_ = Answer::No;
        break;
    }
}

QRect RunReportDialog::room() const {
    QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

void RunReportDialog::fitText() {
    const QRect r = room();
    const QFontMetrics fm(textLabel->font());
    int natural = 0;
    for (const QString& line : textLabel->text().split(QLatin1Char('\n')))
        natural = std::max(natural, fm.horizontalAdvance(line));
    const int width = std::clamp(natural + 8, 360, std::max(360, std::min(640, r.width() - 160)));
    textArea->setMinimumWidth(width);
    // The buttons, the margins and the frame the window manager adds take the rest.
    const int most =
        std::max(4 * fm.lineSpacing(), r.height() - 220 - (detailsView->isVisible() ? 200 : 0));
    textArea->setMinimumHeight(std::min(textLabel->heightForWidth(width), most));
}

void RunReportDialog::toggleDetails() {
    const bool open = !detailsView->isVisible();
    detailsView->setVisible(open);
    detailsButton->setText(open ? "Hide Details" : "Show Details...");
    fitText();
    if (open) {
        // Wide enough for the summary's lines where the screen allows; the view scrolls beyond.
        const QFontMetrics fm(detailsView->font());
        resize(std::max(width(), fm.horizontalAdvance(QString(100, QLatin1Char('x')))),
               height() + 16 * fm.lineSpacing());
    } else {
        adjustSize();
    }
    fitToScreen();
}

void RunReportDialog::fitToScreen() {
    QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect room = screen->availableGeometry();
    // The frame the window manager adds is not ours to measure; keep a margin for it.
    setMaximumSize(room.width() - 40, room.height() - 60);
    resize(std::min(width(), maximumWidth()), std::min(height(), maximumHeight()));
    // A box that grew (its details opened) stays on the screen, buttons and all.
    if (isVisible()) {
        const QRect frame = frameGeometry();
        const int x = std::clamp(frame.x(), room.left(),
                                 std::max(room.left(), room.right() + 1 - frame.width()));
        const int y = std::clamp(frame.y(), room.top(),
                                 std::max(room.top(), room.bottom() + 1 - frame.height()));
        move(x, y);
    }
}

} // namespace qm::ui
