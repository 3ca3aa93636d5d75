#pragma once

#include "replace/hit_sample.h"
#include "replace/matcher.h"
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
    // options: those of the run, with which the marks are found again.
    PreviewDialog(QWidget* parent, const HitSample& hits, const RunResult& result,
                  const SearchOptions& options);

    QLabel* countsLabel;
    QTreeWidget* hitList;
    QPlainTextEdit* valuesView; // the current hit's old and new value, wrapped
    QPlainTextEdit* summaryView;

    enum Column { Table, Column, Record, OldValue, NewValue, Note };
};

// The old and the new value with each hit between guillemets, « »: the text found in the old
// value, and what replaced it in the new one, found again with the run's search options.
std::pair<QString, QString> markedChange(const RunHit& hit, const SearchOptions& options = {});
// The same with a matcher made already (nullptr: the stretch where the two values differ).
std::pair<QString, QString> markedChange(const RunHit& hit, const Matcher* matcher);

} // namespace qm::ui
