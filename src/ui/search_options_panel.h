#pragma once

// The search options of the main window, beside the criteria: match case, whole words,
// regular expression (kept in the settings store like the criteria), and the column list of
// the table selected in the table list, where a column can be left out for that table.

#include "db/catalogue.h"
#include "replace/search_options.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <map>
#include <string>
#include <vector>

namespace qm::ui {

class SearchOptionsPanel : public QGroupBox {
    Q_OBJECT
  public:
    explicit SearchOptionsPanel(QWidget* parent);

    // The check boxes as the settings store holds them.
    void load();
    SearchOptions options() const;
    // The find text's label as the options make it: " Find what (exact case):", ...
    QString findLabel() const;

    // Fills the column list with the columns of row's table, each ticked unless it was left
    // out before; a table that cannot be read shows why instead. Null: no table.
    void showColumnsOf(const TableRow* row);
    // The columns left out, per table row, in the order of rows.
    std::vector<ColumnChoice> columnChoices(const std::vector<TableRow>& rows) const;

    QCheckBox* MatchCase;
    QCheckBox* WholeWord;
    QCheckBox* RegularExpression;
    QLabel* ColumnsLabel;
    QListWidget* Columns;

  signals:
    // A check box changed, or the stored options were loaded.
    void optionsChanged();

  private:
    static std::string key(const TableRow& row);
    void columnToggled(QListWidgetItem* item);

    std::map<std::string, std::vector<std::string>> skipped_; // by key(): unticked columns
    std::string shown_;                                       // key() of the listed table
    bool filling_ = false;
};

} // namespace qm::ui
