#include "ui/search_options_panel.h"

#include "app/settings.h"
#include "replace/run_search.h"

#include <QGridLayout>
#include <algorithm>

namespace qm::ui {

namespace {

QCheckBox* checkBox(SearchOptionsPanel* panel, const char* name, const char* caption,
                    const char* key) {
    auto* box = new QCheckBox(caption, panel);
    box->setObjectName(name);
    QObject::connect(box, &QCheckBox::toggled, panel, [panel, key](bool on) {
        settings::SaveSetting(key, on ? "1" : "0");
        panel->setTitle(" Search options");
        emit panel->optionsChanged();
    });
    return box;
}

bool stored(const char* key) {
    return settings::GetSetting(key, settings::defaultFor(key)) == "1";
}

} // namespace

SearchOptionsPanel::SearchOptionsPanel(QWidget* parent) : QGroupBox(" Search options", parent) {
    setObjectName("SearchOptions");
    MatchCase = checkBox(this, "MatchCase", "Match case", settings::key::MatchCase);
    WholeWord = checkBox(this, "WholeWord", "Whole words only", settings::key::WholeWord);
    RegularExpression =
        checkBox(this, "RegularExpression", "Regular expression", settings::key::RegularExpression);
    MatchCase->blockSignals(true); // the default is not a choice to remember
    MatchCase->setChecked(true);
    MatchCase->blockSignals(false);
    ColumnsLabel = new QLabel(this);
    ColumnsLabel->setObjectName("ColumnsLabel");
    ColumnsLabel->setWordWrap(true);
    Columns = new QListWidget(this);
    Columns->setObjectName("Columns");
    Columns->setEnabled(false);
    showColumnsOf(nullptr);

    // The check boxes on the left, the column list beside them at their height, so the
    // criteria grow by little.
    auto* grid = new QGridLayout(this);
    grid->setVerticalSpacing(2);
    grid->addWidget(MatchCase, 0, 0);
    grid->addWidget(WholeWord, 1, 0);
    grid->addWidget(RegularExpression, 2, 0);
    grid->addWidget(ColumnsLabel, 0, 1);
    grid->addWidget(Columns, 1, 1, 2, 1);
    grid->setColumnStretch(1, 1);
    Columns->setMaximumHeight(MatchCase->sizeHint().height() * 2 + 8);

    connect(Columns, &QListWidget::itemChanged, this, &SearchOptionsPanel::columnToggled);
}

void SearchOptionsPanel::load() {
    // Set before the store is read back, so loading writes nothing it did not hold.
    const bool matchCase = stored(settings::key::MatchCase);
    const bool wholeWord = stored(settings::key::WholeWord);
    const bool regex = stored(settings::key::RegularExpression);
    for (auto* box : {MatchCase, WholeWord, RegularExpression})
        box->blockSignals(true);
    MatchCase->setChecked(matchCase);
    WholeWord->setChecked(wholeWord);
    RegularExpression->setChecked(regex);
    for (auto* box : {MatchCase, WholeWord, RegularExpression})
        box->blockSignals(false);
    // Options that come back from the last session are said, not only ticked: a search that
    // ignores case unasked would surprise.
    if (!matchCase || wholeWord || regex)
        setTitle(" Search options (as you left them last time)");
    emit optionsChanged();
}

QString SearchOptionsPanel::findLabel() const {
    QString how = MatchCase->isChecked() ? "exact case" : "any case";
    if (WholeWord->isChecked())
        how += ", whole words";
    if (RegularExpression->isChecked())
        how += ", regular expression";
    return " Find what (" + how + "):";
}

SearchOptions SearchOptionsPanel::options() const {
    SearchOptions o;
    o.matchCase = MatchCase->isChecked();
    o.wholeWord = WholeWord->isChecked();
    o.regex = RegularExpression->isChecked();
    return o;
}

std::string SearchOptionsPanel::key(const TableRow& row) {
    return row.folder + '\n' + row.name;
}

void SearchOptionsPanel::showColumnsOf(const TableRow* row) {
    filling_ = true;
    Columns->clear();
    shown_.clear();
    if (!row) {
        ColumnsLabel->setText("Columns: select a table in the list");
        Columns->setEnabled(false);
        filling_ = false;
        return;
    }
    std::vector<std::string> names;
    try {
        names = tableColumns(*row);
    } catch (const std::exception& e) {
        ColumnsLabel->setText(QString::fromStdString(
            " Columns of " + row->name + ": the table cannot be read (" + e.what() + ")"));
        Columns->setEnabled(false);
        filling_ = false;
        return;
    }
    shown_ = key(*row);
    const auto& off = skipped_[shown_];
    ColumnsLabel->setText(QString::fromStdString("Columns searched in " + row->name + ":"));
    ColumnsLabel->setToolTip({});
    for (const auto& name : names) {
        auto* item = new QListWidgetItem(QString::fromStdString(name), Columns);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        const bool left = std::find(off.begin(), off.end(), name) != off.end();
        item->setCheckState(left ? Qt::Unchecked : Qt::Checked);
    }
    Columns->setEnabled(true);
    filling_ = false;
}

void SearchOptionsPanel::columnToggled(QListWidgetItem* item) {
    if (filling_ || shown_.empty())
        return;
    auto& off = skipped_[shown_];
    const std::string name = item->text().toStdString();
    std::erase(off, name);
    if (item->checkState() != Qt::Checked)
        off.push_back(name);
}

std::vector<ColumnChoice>
SearchOptionsPanel::columnChoices(const std::vector<TableRow>& rows) const {
    std::vector<ColumnChoice> choices(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (const auto at = skipped_.find(key(rows[i])); at != skipped_.end())
            choices[i].skip = at->second;
    return choices;
}

} // namespace qm::ui
