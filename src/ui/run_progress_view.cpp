#include "ui/run_progress_view.h"

#include <QGridLayout>
#include <QLocale>
#include <QShortcut>

namespace qm::ui {

namespace {
QString number(long long n) {
    return QLocale::c().toString(n).replace(QLatin1Char(','), QLatin1Char(' '));
}
} // namespace

RunProgressView::RunProgressView(QWidget* parent) : QFrame(parent) {
    setObjectName("RunProgressView");
    setFrameShape(QFrame::StyledPanel);
    tableLabel = new QLabel(this);
    tableLabel->setObjectName("RunProgressTable");
    recordsLabel = new QLabel(this);
    recordsLabel->setObjectName("RunProgressRecords");
    bar = new QProgressBar(this);
    bar->setObjectName("RunProgressBar");
    bar->setTextVisible(false);
    countsLabel = new QLabel(this);
    countsLabel->setObjectName("RunProgressCounts");
    cancelButton = new QPushButton("Cancel", this);
    cancelButton->setObjectName("RunProgressCancel");
    auto* grid = new QGridLayout(this);
    grid->addWidget(tableLabel, 0, 0, 1, 2);
    grid->addWidget(recordsLabel, 1, 0, 1, 2);
    grid->addWidget(bar, 2, 0, 1, 2);
    grid->addWidget(countsLabel, 3, 0);
    grid->addWidget(cancelButton, 3, 1);
    // The rest of the window shows the busy pointer; the way out must not look busy.
    setCursor(Qt::ArrowCursor);
    connect(cancelButton, &QPushButton::clicked, this, &RunProgressView::cancelRequested);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &RunProgressView::cancelRequested);
    hide();
}

void RunProgressView::start(bool dryRun) {
    tableLabel->setText(dryRun ? "Preview: starting..." : "Starting...");
    recordsLabel->clear();
    countsLabel->clear();
    bar->setRange(0, 0);
    cancelButton->setEnabled(true);
    cancelButton->setText("Cancel");
    QFrame::show();
    cancelButton->setFocus();
}

void RunProgressView::startWork(const QString& title) {
    start(false);
    tableLabel->setText(title);
}

void RunProgressView::show(const RunProgress& p) {
    tableLabel->setText(QString("Table %1 of %2: %3")
                            .arg(p.table)
                            .arg(p.tables)
                            .arg(QString::fromStdString(p.name)));
    tableLabel->setToolTip(QString::fromStdString(p.folder));
    switch (p.phase) {
    case RunProgress::Phase::Copying:
        recordsLabel->setText("Copying the table into the working database...");
        bar->setRange(0, 0);
        break;
    case RunProgress::Phase::Searching:
        recordsLabel->setText(QString("Records searched: %1 of %2")
                                  .arg(number(p.recordsDone), number(p.recordsTotal)));
        // The bar counts in thousandths: a record count may pass what an int holds.
        bar->setRange(0, 1000);
        bar->setValue(p.recordsTotal > 0 ? static_cast<int>(p.recordsDone * 1000 / p.recordsTotal)
                                         : 1000);
        break;
    case RunProgress::Phase::WritingBack:
        recordsLabel->setText(QString("Records searched: %1 of %2; writing the changes back...")
                                  .arg(number(p.recordsDone), number(p.recordsTotal)));
        bar->setRange(0, 1000);
        bar->setValue(1000);
        break;
    }
    countsLabel->setText(
        QString("Hits: %1    Values changed: %2").arg(number(p.hits), number(p.valuesChanged)));
}

void RunProgressView::cancelling() {
    cancelButton->setEnabled(false);
    cancelButton->setText("Cancelling...");
}

} // namespace qm::ui
