#pragma once

#include "replace/hit_sample.h"
#include "replace/replace_run.h"

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <utility>

namespace qm::ui {

// What a run would do, found by a dry run: one row per hit (table, column, record, old value,
// new value, and why the value would stay as it is, if it would), with the changed parts marked,
// and below it the summary per table, which names the values the tables' fields would refuse.
class PreviewDialog : public QDialog {
    Q_OBJECT
  public:
    PreviewDialog(QWidget* parent, const HitSample& hits, const RunResult& result);

    QLabel* countsLabel;
    QTreeWidget* hitList;
    QPlainTextEdit* summaryView;

    enum Column { Table, Column, Record, OldValue, NewValue, Note };
};

// The old and the new value with each replaced part between guillemets: « ».
std::pair<QString, QString> markedChange(const RunHit& hit);

} // namespace qm::ui
