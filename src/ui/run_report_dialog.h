#pragma once

#include "app/user_interface.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>

namespace qm::ui {

// A box with a short text and a details view the person can open: the end of a run gives its
// counts in the box and every table in the details. The details scroll, and the dialog never
// grows past the screen it is on.
class RunReportDialog : public QDialog {
    Q_OBJECT
  public:
    RunReportDialog(QWidget* parent, const QString& title, const QString& text,
                    const QString& details, Icon icon, Buttons buttons);

    QLabel* textLabel;
    QScrollArea* textArea; // holds textLabel
    QPlainTextEdit* detailsView;
    QPushButton* detailsButton;
    QDialogButtonBox* buttonBox;

    // Opens or closes the details view.
    void toggleDetails();
    // Which button closed the dialog.
    Answer answer() const { return answer_; }

  private:
    // The icon and the text beside it, which scrolls only where the screen is too small.
    QHBoxLayout* makeTextRow(const QString& text, Icon icon);
    // The buttons that close the dialog with an answer, the default one first in focus.
    void addAnswerButtons(Buttons buttons);
    QRect room() const;
    void fitText();
    void fitToScreen();
    Answer answer_ = Answer::Ok;
};

} // namespace qm::ui
