#pragma once

#include "app/user_interface.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <filesystem>

namespace qm::ui {

// "Backups...": what the backups take, their removal for all but the newest runs (asked first),
// and the retention a run applies by itself (off unless the person sets it).
class BackupsDialog : public QDialog {
    Q_OBJECT
  public:
    // backupRoot empty: paradox::defaultBackupRoot().
    BackupsDialog(QWidget* parent, UserInterface& ui, std::filesystem::path backupRoot);

    QLabel* summaryLabel;
    QSpinBox* keepBox;         // the newest runs kept
    QPushButton* removeButton; // "Remove Older Backups..."
    QCheckBox* retentionBox;   // prune so after every run
    QDialogButtonBox* buttonBox;

    // Names what would go and asks; on Yes removes it and says what went.
    void Remove_Click();
    // The size and the number of runs, read again.
    void refresh();

  private:
    void saveRetention();
    UserInterface& ui_;
    std::filesystem::path root_;
};

// After a run that wrote tables back: the backups of all but the newest runs the retention
// setting names are removed (nothing when it is off, the default). Says something only when a
// backup had to stay or the backup folder could not be used.
void applyBackupRetention(UserInterface& ui, const std::filesystem::path& backupRoot);

} // namespace qm::ui
