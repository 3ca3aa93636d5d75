#include "ui/qt_user_interface.h"

#include "app/common.h"
#include "ui/run_report_dialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace qm::ui {

namespace {
QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The boxes show a lone CR as a line break, as Windows message boxes do: the messages are
// written with CR line ends.
QString boxText(const std::string& s) {
    QString t = qs(s);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QChar('\r'), QChar('\n'));
    return t;
}

QString titleOrAppTitle(const std::string& title) {
    return qs(title.empty() ? appTitle() : title);
}

// More lines than a box shows on a small screen: the rest goes to the details.
constexpr qsizetype kLinesInBox = 24;

// The text's first lines, ending on a whole line, with a count of the rest; the text itself
// when it is short enough.
std::string shortenedByLines(const std::string& text) {
    const QStringList lines = boxText(text).split(QLatin1Char('\n'));
    if (lines.size() <= kLinesInBox)
        return text;
    const qsizetype kept = kLinesInBox - 2;
    const QString head = QStringList(lines.mid(0, kept)).join(QLatin1Char('\n'));
    return head.toStdString() + "\n... and " + std::to_string(lines.size() - kept) +
           " more lines: Show Details... shows them all.";
}
} // namespace

Answer QtUserInterface::messageBox(const std::string& text, Buttons buttons, Icon icon,
                                   const std::string& title) {
    // A box taller than the screen would hide its buttons.
    if (const std::string shortText = shortenedByLines(text); shortText != text)
        return detailedBox(shortText, text, buttons, icon, title);
    QMessageBox box(window_);
    box.setWindowTitle(titleOrAppTitle(title));
    box.setText(boxText(text));
    switch (icon) {
    case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case Icon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case Icon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case Icon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    }
    switch (buttons) {
    case Buttons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case Buttons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case Buttons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case Buttons::YesNoDefaultNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        break;
    }
    // A busy pointer must not hide the box's buttons from the person who has to answer it.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    int r = box.exec();
    QApplication::restoreOverrideCursor();
    switch (r) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Cancel:
        return Answer::Cancel;
    default:
        return isYesNo(buttons) ? Answer::No : Answer::Ok;
    }
}

Answer QtUserInterface::detailedBox(const std::string& text, const std::string& details,
                                    Buttons buttons, Icon icon, const std::string& title) {
    RunReportDialog box(window_, titleOrAppTitle(title), boxText(text), boxText(details), icon,
                        buttons);
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QApplication::restoreOverrideCursor();
    return box.answer();
}

std::string QtUserInterface::inputBox(const std::string& prompt, const std::string& title,
                                      const std::string& defaultText) {
    bool ok = false;
    QString s = QInputDialog::getText(window_, titleOrAppTitle(title), qs(prompt),
                                      QLineEdit::Normal, qs(defaultText), &ok);
    return ok ? s.toStdString() : std::string();
}

QString QtUserInterface::qtFilter(const std::string& filter) {
    QStringList parts = qs(filter).split(QChar('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            continue;
        QString patterns = parts[i + 1];
        patterns.replace(QChar(';'), QChar(' '));
        QString description = parts[i];
        // Filters written as "*.*" mean every file, but Qt's match would miss names without a
        // dot.
        if (patterns == QStringLiteral("*.*")) {
            patterns = QStringLiteral("*");
            description.replace(QStringLiteral("(*.*)"), QStringLiteral("(*)"));
        }
        // Qt reads the patterns from the parentheses; keep the description when it has them.
        out << (description.contains('(') ? description : description + " (" + patterns + ")");
    }
    return out.join(QStringLiteral(";;"));
}

std::string QtUserInterface::fileDialog(const FileDialogRequest& request) {
    QString name;
    QString filter = qtFilter(request.filter);
    QString start = request.fileName.empty() ? qs(request.directory) : qs(request.fileName);
    if (request.save) {
        name = QFileDialog::getSaveFileName(window_, qs(request.title), start, filter, nullptr,
                                            QFileDialog::DontConfirmOverwrite);
    } else {
        name = QFileDialog::getOpenFileName(window_, qs(request.title), start, filter);
    }
    return name.toStdString();
}

std::string QtUserInterface::browseForFolder(const std::string& prompt,
                                             const std::string& initialFolder) {
    return QFileDialog::getExistingDirectory(window_, qs(prompt), qs(initialFolder)).toStdString();
}

void QtUserInterface::setPointer(PointerState state) {
    if (pointerSink_) {
        pointerSink_(state);
        return;
    }
    if (!window_)
        return;
    switch (state) {
    case PointerState::Busy:
        window_->setCursor(Qt::WaitCursor);
        break;
    case PointerState::Default:
    case PointerState::Custom:
        window_->unsetCursor();
        break;
    }
}

void QtUserInterface::processEvents() {
    // Called once per record by long loops: letting the event loop run on every call would
    // cost more than the work itself, so events run at most every few milliseconds.
    if (!pump_.due())
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

} // namespace qm::ui
