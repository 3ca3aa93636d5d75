#include "ui/run_report_dialog.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

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
    auto* top = new QHBoxLayout;
    if (icon != Icon::None) {
        auto* iconLabel = new QLabel(this);
        const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
        iconLabel->setPixmap(style()->standardIcon(pixmapFor(icon), nullptr, this).pixmap(size));
        iconLabel->setAlignment(Qt::AlignTop);
        top->addWidget(iconLabel);
    }
    textLabel = new QLabel(text, this);
    textLabel->setObjectName("RunReportText");
    textLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    textLabel->setWordWrap(true);
    textLabel->setMinimumWidth(360);
    top->addWidget(textLabel, 1);

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
    }

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(detailsView, 1);
    layout->addWidget(buttonBox);
    fitToScreen();
}

void RunReportDialog::toggleDetails() {
    const bool open = !detailsView->isVisible();
    detailsView->setVisible(open);
    detailsButton->setText(open ? "Hide Details" : "Show Details...");
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
}

} // namespace qm::ui
