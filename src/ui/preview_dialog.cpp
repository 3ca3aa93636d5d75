#include "ui/preview_dialog.h"

#include "replace/run_report.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLocale>
#include <QScreen>
#include <QVBoxLayout>

namespace qm::ui {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

QString number(long long n) {
    return QLocale::c().toString(n).replace(QLatin1Char(','), QLatin1Char(' '));
}

const QString kOpen = QStringLiteral("\u00ab");
const QString kClose = QStringLiteral("\u00bb");

} // namespace

std::pair<QString, QString> markedChange(const RunHit& hit) {
    const std::string& v = hit.oldValue;
    const std::string& f = hit.find;
    if (!f.empty()) {
        // Each occurrence of the find text, left to right without overlap, as the run replaces.
        QString before, after;
        std::string rebuilt;
        std::size_t from = 0;
        for (std::size_t at; (at = v.find(f, from)) != std::string::npos; from = at + f.size()) {
            const std::string between = v.substr(from, at - from);
            before += qs(between) + kOpen + qs(f) + kClose;
            after += qs(between) + kOpen + qs(hit.replace) + kClose;
            rebuilt += between + hit.replace;
        }
        before += qs(v.substr(from));
        after += qs(v.substr(from));
        rebuilt += v.substr(from);
        if (from > 0 && rebuilt == hit.newValue)
            return {before, after};
    }
    // Otherwise the one stretch between what the two values share at either end.
    const QString o = qs(v), n = qs(hit.newValue);
    qsizetype head = 0;
    while (head < o.size() && head < n.size() && o[head] == n[head])
        ++head;
    qsizetype tail = 0;
    while (tail < o.size() - head && tail < n.size() - head &&
           o[o.size() - 1 - tail] == n[n.size() - 1 - tail])
        ++tail;
    if (head == o.size() && head == n.size())
        return {o, n};
    const auto mark = [&](const QString& s) {
        return s.left(head) + kOpen + s.mid(head, s.size() - head - tail) + kClose + s.right(tail);
    };
    return {mark(o), mark(n)};
}

PreviewDialog::PreviewDialog(QWidget* parent, const HitSample& hits, const RunResult& result)
    : QDialog(parent) {
    setObjectName("PreviewDialog");
    setWindowTitle("Preview: nothing has been changed");
    const RunCounts c = runCounts(result.tables);
    const std::vector<RunHit> kept = hits.kept();
    QString counts =
        QString("%1 in %2: %3 would change, %4 would be left as they are.")
            .arg(hits.total() == 1 ? "1 hit" : number(hits.total()) + " hits",
                 c.tables == 1 ? "1 table" : number(c.tables) + " tables",
                 c.valuesChanged == 1 ? "1 value" : number(c.valuesChanged) + " values",
                 number(c.refused));
    if (static_cast<long long>(kept.size()) < hits.total())
        counts += QString(" The list shows the first %1.")
                      .arg(number(static_cast<long long>(kept.size())));
    if (result.end == RunResult::End::Cancelled)
        counts += " The preview was cancelled: the tables it did not reach are not listed.";
    if (result.end == RunResult::End::Failed)
        counts += " The preview stopped on an error: " + qs(result.failure);
    countsLabel = new QLabel(counts, this);
    countsLabel->setObjectName("PreviewCounts");
    countsLabel->setWordWrap(true);

    hitList = new QTreeWidget(this);
    hitList->setObjectName("PreviewHits");
    hitList->setRootIsDecorated(false);
    hitList->setUniformRowHeights(true);
    hitList->setHeaderLabels({"Table", "Column", "Record", "Old value", "New value", "Note"});
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(kept.size()));
    for (const RunHit& h : kept) {
        const auto [before, after] = markedChange(h);
        auto* item = new QTreeWidgetItem(
            {qs(h.table), qs(h.column), QString::number(h.record), before, after, qs(h.refused)});
        item->setToolTip(Table, qs(h.folder));
        items << item;
    }
    hitList->addTopLevelItems(items);
    for (int col = 0; col < hitList->columnCount(); ++col)
        hitList->resizeColumnToContents(col);

    summaryView = new QPlainTextEdit(qs(runSummary(result.tables, result, true)), this);
    summaryView->setObjectName("PreviewSummary");
    summaryView->setReadOnly(true);
    summaryView->setLineWrapMode(QPlainTextEdit::NoWrap);
    summaryView->setMaximumHeight(140);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(countsLabel);
    layout->addWidget(hitList, 1);
    layout->addWidget(summaryView);
    layout->addWidget(buttons);

    QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect room = screen->availableGeometry();
        setMaximumSize(room.width() - 40, room.height() - 60);
        resize(std::min(900, room.width() - 40), std::min(600, room.height() - 60));
    }
}

} // namespace qm::ui
