#pragma once

#include "replace/run_control.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace qm::ui {

// Where a run stands, shown in the main window while it goes on: the table (i of n) and its
// name, the records searched of the table's total, the hits and values changed so far, and a
// Cancel button (Escape does the same).
class RunProgressView : public QFrame {
    Q_OBJECT
  public:
    explicit RunProgressView(QWidget* parent = nullptr);

    void start(bool dryRun);
    // Work other than a run (an undo): its title, no counts.
    void startWork(const QString& title);
    void show(const RunProgress& p);
    // The cancel was asked for; the run stops at its next safe point.
    void cancelling();

    QLabel* tableLabel;
    QLabel* recordsLabel;
    QProgressBar* bar;
    QLabel* countsLabel;
    QPushButton* cancelButton;

  signals:
    void cancelRequested();
};

} // namespace qm::ui
