#include "ui/preview_dialog.h"

#include "replace/run_report.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLocale>
#include <QScreen>
#include <QVBoxLayout>
#include <map>
#include <optional>

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

std::pair<QString, QString> markedChange(const RunHit& hit, const Matcher* matcher) {
    const std::string& v = hit.oldValue;
    if (matcher) {
        // The hits as the run's own search found them: with ignore case or an expression the
        // text found is not the find text as typed, nor its replacement the replace text.
        std::vector<Matcher::Mark> marks;
        std::string rebuilt;
        if (matcher->apply(v, rebuilt, &marks) == Matcher::Result::Hit && !marks.empty() &&
            rebuilt == hit.newValue) {
            QString before, after;
            std::size_t oldAt = 0, newAt = 0;
            for (const auto& m : marks) {
                before += qs(v.substr(oldAt, m.oldFrom - oldAt)) + kOpen +
                          qs(v.substr(m.oldFrom, m.oldTo - m.oldFrom)) + kClose;
                after += qs(rebuilt.substr(newAt, m.newFrom - newAt)) + kOpen +
                         qs(rebuilt.substr(m.newFrom, m.newTo - m.newFrom)) + kClose;
                oldAt = m.oldTo;
                newAt = m.newTo;
            }
            return {before + qs(v.substr(oldAt)), after + qs(rebuilt.substr(newAt))};
        }
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

std::pair<QString, QString> markedChange(const RunHit& hit, const SearchOptions& options) {
    try {
        const Matcher matcher(hit.find, hit.replace, options);
        return markedChange(hit, &matcher);
    } catch (const PatternError&) {
        return markedChange(hit, nullptr);
    }
}

namespace {

// The counts above the list: hits, tables, values that would change and that would stay, and
// why the list may not hold every hit.
QString countsText(const HitSample& hits, const std::vector<RunHit>& kept,
                   const RunResult& result) {
    const RunCounts c = runCounts(result.tables);
    // A table that would not be written back (read-only, in use) leaves every hit as it is.
    long long left = 0;
    for (const auto& t : result.tables)
        left += t.writeBack == TableOutcome::WriteBack::NotWritten && t.leftUnchanged.empty()
                    ? t.hits
                    : runCounts({t}).refused;
    QString counts =
        QString("%1 in %2: %3 would change, %4 would be left as they are.")
            .arg(hits.total() == 1 ? "1 hit" : number(hits.total()) + " hits",
                 c.tables == 1 ? "1 table" : number(c.tables) + " tables",
                 c.valuesChanged == 1 ? "1 value" : number(c.valuesChanged) + " values",
                 number(left));
    if (static_cast<long long>(kept.size()) < hits.total())
        counts += QString(" The list shows the first %1.")
                      .arg(number(static_cast<long long>(kept.size())));
    if (result.end == RunResult::End::Cancelled)
        counts += " The preview was cancelled: the tables it did not reach are not listed.";
    if (result.end == RunResult::End::Failed)
        counts += " The preview stopped on an error: " + qs(result.failure);
    return counts;
}

// One row per hit, the changed parts marked.
QList<QTreeWidgetItem*> hitRows(const std::vector<RunHit>& kept, const SearchOptions& options) {
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(kept.size()));
    // One matcher per find and replace text: a set run has a few, each hit many times.
    std::map<std::pair<std::string, std::string>, std::optional<Matcher>> matchers;
    for (const RunHit& h : kept) {
        auto& matcher = matchers[{h.find, h.replace}];
        if (!matcher) {
            try {
                matcher.emplace(h.find, h.replace, options);
            } catch (const PatternError&) {
                matcher.emplace(std::string(), std::string());
            }
        }
        const auto [before, after] =
            markedChange(h, matcher->find() == h.find ? &*matcher : nullptr);
        auto* item = new QTreeWidgetItem(
            {qs(h.table), qs(h.column), QString::number(h.record), before, after, qs(h.refused)});
        item->setToolTip(PreviewDialog::Table, qs(h.folder));
        items << item;
    }
    return items;
}

// No column takes more than its share, so the new value is in sight without scrolling sideways;
// the view below the list shows the chosen hit's values whole, one above the other.
void limitColumnWidths(QTreeWidget& list, const QFontMetrics& metrics) {
    const int share = std::max(120, metrics.horizontalAdvance(QString(40, QLatin1Char('x'))));
    for (int col = 0; col < list.columnCount(); ++col) {
        list.resizeColumnToContents(col);
        list.setColumnWidth(col, std::min(list.columnWidth(col), share));
    }
}

void fitToScreenOf(QDialog& dialog, QWidget* parent) {
    QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect room = screen->availableGeometry();
    dialog.setMaximumSize(room.width() - 40, room.height() - 60);
    dialog.resize(std::min(900, room.width() - 40), std::min(600, room.height() - 60));
}

} // namespace

PreviewDialog::PreviewDialog(QWidget* parent, const HitSample& hits, const RunResult& result,
                             const SearchOptions& options)
    : QDialog(parent) {
    setObjectName("PreviewDialog");
    setWindowTitle("Preview: nothing has been changed");
    const std::vector<RunHit> kept = hits.kept();
    countsLabel = new QLabel(countsText(hits, kept, result), this);
    countsLabel->setObjectName("PreviewCounts");
    countsLabel->setWordWrap(true);

    hitList = new QTreeWidget(this);
    hitList->setObjectName("PreviewHits");
    hitList->setRootIsDecorated(false);
    hitList->setUniformRowHeights(true);
    hitList->setHeaderLabels({"Table", "Column", "Record", "Old value", "New value", "Note"});
    hitList->addTopLevelItems(hitRows(kept, options));
    limitColumnWidths(*hitList, fontMetrics());
    valuesView = new QPlainTextEdit(this);
    valuesView->setObjectName("PreviewValues");
    valuesView->setReadOnly(true);
    valuesView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    valuesView->setMaximumHeight(6 * fontMetrics().lineSpacing() + 12);
    connect(hitList, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        valuesView->setPlainText(item ? "Old value: " + item->text(OldValue) +
                                            "\nNew value: " + item->text(NewValue)
                                      : QString());
    });
    if (hitList->topLevelItemCount() > 0)
        hitList->setCurrentItem(hitList->topLevelItem(0));

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
    layout->addWidget(valuesView);
    layout->addWidget(summaryView);
    layout->addWidget(buttons);
    fitToScreenOf(*this, parent);
}

} // namespace qm::ui
