#include "ui/backups_dialog.h"

#include "app/settings.h"
#include "paradox/family_swap.h"
#include "replace/backup_prune.h"
#include "replace/backup_space.h"
#include "replace/run_history.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <string>

namespace qm::ui {

namespace {

constexpr const char* kRetentionKey = "BackupRetention"; // newest runs kept; "0" or absent: off

int retention() {
    try {
        return std::max(0, std::stoi(settings::GetSetting(kRetentionKey, "0")));
    } catch (const std::exception&) {
        return 0;
    }
}

std::string withCrlf(std::string s) {
    for (auto at = s.find('\n'); at != std::string::npos; at = s.find('\n', at + 2))
        s.replace(at, 1, "\r\n");
    return s;
}

} // namespace

BackupsDialog::BackupsDialog(QWidget* parent, UserInterface& ui, std::filesystem::path backupRoot)
    : QDialog(parent), ui_(ui),
      root_(backupRoot.empty() ? paradox::defaultBackupRoot() : std::move(backupRoot)) {
    setObjectName("BackupsDialog");
    setWindowTitle("Backups");
    summaryLabel = new QLabel(this);
    summaryLabel->setObjectName("BackupsSummary");
    summaryLabel->setWordWrap(true);
    summaryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    keepBox = new QSpinBox(this);
    keepBox->setObjectName("BackupsKeep");
    keepBox->setRange(1, 9999);
    keepBox->setValue(retention() > 0 ? retention() : 10);
    removeButton = new QPushButton("Remove Older Backups...", this);
    removeButton->setObjectName("BackupsRemove");
    retentionBox = new QCheckBox("Do the same after every run that writes tables back", this);
    retentionBox->setObjectName("BackupsRetention");
    retentionBox->setChecked(retention() > 0);
    buttonBox = new QDialogButtonBox(QDialogButtonBox::Close, this);

    auto* keepRow = new QHBoxLayout;
    keepRow->addWidget(new QLabel("Keep the backups of the newest", this));
    keepRow->addWidget(keepBox);
    keepRow->addWidget(new QLabel("runs", this), 1);
    keepRow->addWidget(removeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(summaryLabel);
    layout->addLayout(keepRow);
    layout->addWidget(retentionBox);
    layout->addWidget(buttonBox);

    connect(removeButton, &QPushButton::clicked, this, &BackupsDialog::Remove_Click);
    connect(retentionBox, &QCheckBox::toggled, this, &BackupsDialog::saveRetention);
    connect(keepBox, &QSpinBox::valueChanged, this, &BackupsDialog::saveRetention);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    refresh();
}

void BackupsDialog::refresh() {
    const auto runs = recordedRuns(root_);
    summaryLabel->setText(QString::fromStdString(
        "All backups take " + sizeText(folderBytes(root_)) + " in " + root_.string() + "; " +
        std::to_string(runs.size()) + (runs.size() == 1 ? " run is" : " runs are") +
        " recorded for undo. A run whose backups are removed can no longer be undone."));
}

void BackupsDialog::saveRetention() {
    settings::SaveSetting(kRetentionKey,
                          retentionBox->isChecked() ? std::to_string(keepBox->value()) : "0");
}

void BackupsDialog::Remove_Click() {
    PruneOptions options;
    options.keep = keepBox->value();
    options.backupRoot = root_;
    options.dryRun = true;
    const PruneResult planned = pruneBackups(options);
    if (planned.end != PruneResult::End::Completed || planned.runs.empty()) {
        ui_.messageBox(planned.end == PruneResult::End::Completed
                           ? "No run is older than the newest " + std::to_string(options.keep) +
                                 ": there is nothing to remove."
                           : withCrlf(pruneReport(planned, true)),
                       Buttons::Ok, Icon::Information, "");
        return;
    }
    // The person sees what goes, and what it costs, before anything does.
    const std::string question =
        "Remove the backups of the runs older than the newest " + std::to_string(options.keep) +
        "? They can no longer be undone; the tables themselves are not touched.\r\n\r\n" +
        withCrlf(pruneReport(planned, true));
    if (ui_.messageBox(question, Buttons::YesNo, Icon::Question, "") != Answer::Yes)
        return;
    options.dryRun = false;
    const PruneResult done = pruneBackups(options);
    ui_.messageBox(withCrlf(pruneReport(done, false)), Buttons::Ok,
                   done.clean() ? Icon::Information : Icon::Exclamation, "");
    refresh();
}

void applyBackupRetention(UserInterface& ui, const std::filesystem::path& backupRoot) {
    const int keep = retention();
    if (keep <= 0)
        return;
    PruneOptions options;
    options.keep = keep;
    options.backupRoot = backupRoot;
    const PruneResult result = pruneBackups(options);
    if (result.end == PruneResult::End::Busy || result.clean())
        return;
    ui.messageBox("The backups of older runs were to be removed (Backups... keeps the newest " +
                      std::to_string(keep) + "), but not all could be:\r\n\r\n" +
                      withCrlf(pruneReport(result, false)),
                  Buttons::Ok, Icon::Exclamation, "");
}

} // namespace qm::ui
