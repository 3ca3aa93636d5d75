#pragma once

// One write-back of working copies into their Paradox tables: it carries out the DROP TABLE and
// the export that sendTableToParadox sends (paradox_write_back.h), and keeps what each export came
// to until the caller takes it. The replace run makes one and passes it on; nothing of it
// outlives the run.
//
// The drop only marks the table as about to be replaced (its files stay where they are); the
// export of that same table then compares the working copy with its records and rewrites the
// values that differ (writeBackWorkingCopy). A drop that is never followed by its export leaves
// the table exactly as it was.

#include "db/paradox_write_back.h"
#include "db/write_back_outcome.h"

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace qm::db {

class WriteBackSession : public ParadoxWriteBack {
  public:
    // Old table files and swap journals go under backupRoot; empty: paradox::defaultBackupRoot().
    // A preview session (a dry run's) writes nothing: each export only tells what it would do.
    explicit WriteBackSession(std::filesystem::path backupRoot = {}, bool preview = false);

    const std::filesystem::path& backupRoot() const { return backupRoot_; }

    void dropTable(const ParadoxDropRequest& request) override;
    // Fails as Jet's export did on a table that exists when no drop of the same table came first.
    void exportTable(const ParadoxExportRequest& request) override;

    // The working copy's values go into its table untested when the table's validity file
    // cannot be read (the person said so); otherwise they are refused then.
    void acceptUntestedValues(const std::string& workingCopy);

    // Forgets a drop that got no export: the table keeps its files.
    void forgetDrop() { dropped_.reset(); }
    // What the export of the working copy came to, once; empty when it did not run.
    std::optional<WriteBack> takeOutcome(const std::string& workingCopy);

  private:
    std::filesystem::path backupRoot_;
    bool preview_ = false;
    std::optional<std::filesystem::path> dropped_; // the table a DROP TABLE named
    std::map<std::string, WriteBack> outcomes_;    // by upper-cased working-copy name
    std::set<std::string> untestedAccepted_;       // the same
};

} // namespace qm::db
