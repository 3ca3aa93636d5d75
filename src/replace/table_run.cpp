#include "replace/table_run.h"

#include "db/import.h"
#include "db/paradox_backend.h"
#include "db/working_copy_schema.h"
#include "paradox/share_locks.h"
#include "paradox/table.h"
#include "replace/candidates.h"
#include "replace/table_search.h"
#include "replace/table_write_back.h"
#include "replace/write_permission.h"

#include <optional>

namespace qm {

namespace fs = std::filesystem;

namespace {

// Reasons a ticked row cannot be worked on at all; empty when it can.
std::string cannotWorkOn(const TableRow& row) {
    fs::path db;
    try {
        db = db::findTableFile(row.folder, row.name);
    } catch (const std::exception& e) {
        return std::string("it cannot be found: ") + e.what();
    }
    if (!row.fileName.empty() && db.filename().string() != row.fileName)
        return "its name " + row.name + " leads to the file " + db.filename().string() +
               ", not to the listed file " + row.fileName;
    std::vector<std::string> fields;
    try {
        const auto table = paradox::Table::open(db);
        for (const auto& f : table.fields())
            fields.push_back(f.name);
    } catch (const paradox::EncryptedTableError&) {
        return "it is password-protected; it was not changed";
    } catch (const std::exception& e) {
        return std::string("it cannot be read: ") + e.what();
    }
    // Its working copy could not keep track of which row is which record.
    if (db::rowidName(fields).empty())
        return std::string(db::kRowidNamesTaken) + "; it was not changed";
    return {};
}

// Whether the row's table may be worked on: readable, not one the run worked on already through
// another path, not held by another program. Says why not in the outcome.
bool admit(RunContext& run, const TableRow& row, TableOutcome& outcome) {
    if (const std::string why = cannotWorkOn(row); !why.empty()) {
        outcome.reason = why;
        return false;
    }
    const fs::path file = db::findTableFile(row.folder, row.name);
    if (const std::string* same = run.worked.find(file)) {
        outcome.writeBack = TableOutcome::WriteBack::Unchanged;
        outcome.reason = "it is the same table as " + *same + ", which this run worked on already";
        return false;
    }
    run.worked.add(file, row.name + " in " + row.folder);
    // Another program's table is left alone before any work is done on it (a dry run, working on
    // a copy, says the same).
    if (std::string why = paradox::tableInUse(file); !why.empty()) {
        outcome.reason = why;
        return false;
    }
    return roomFor(run, file, outcome);
}

// The table copied into the working database (step 100); false, with the reason said, when the
// copy is not complete.
bool copyIntoWorkingDatabase(RunContext& run, const CurrentFolder& folder, const std::string& table,
                             TableOutcome& outcome, db::RecordFilter* filter, long long& records) {
    // Copied out of the status at once: g++ 12 cannot see that a status the trapped step never
    // assigned is still its default.
    bool complete = false;
    long long inserted = 0, expected = 0;
    run.trap.step(100, [&] {
        const db::WorkingCopyStatus status = db::sendTableToAccess(run.ui, folder, table, filter);
        complete = status.complete();
        inserted = status.inserted + status.leftOut;
        expected = status.expected;
    });
    records = expected;
    if (run.watch.endedByStorage())
        return false;
    if (!complete) {
        // Not one value of an incomplete copy may reach the table.
        outcome.reason = "its working copy is incomplete (" + std::to_string(inserted) + " of " +
                         std::to_string(expected) + " records were copied)";
        return false;
    }
    return true;
}

} // namespace

void runTable(RunContext& run, std::size_t index) {
    const TableRow& row = run.in.rows[index].table;
    run.result.tables.push_back(TableOutcome{});
    TableOutcome& outcome = run.result.tables.back();
    outcome.table = row;
    run.watch.table = &outcome;
    run.watch.storageFailure.clear();
    run.ui.beginTable(&outcome.errorReports);
    run.progress.beginTable(row);
    // Until the write-back, the table's files are found in the run's listing of its folder;
    // the write-back looks at the folder as it is then.
    std::optional<paradox::ListingScope> listed(std::in_place, run.setup.listings);
    if (!admit(run, row, outcome))
        return;
    // The window and the command line alike leave a table alone that its owner made read-only;
    // its hits are still counted where it is, so that the person learns what was not replaced
    // (and a preview lists them: reading needs no write access).
    run.readOnly = readOnlyReason(row);
    // A dry run reads the table where it is: its write-back only tells what it would do.
    FixedFolder folder(row.folder);
    // Until the write-back the table's files are untouched: a cancel may stop the import.
    run.ui.setSafePoint(true);
    // Only the records a find text hits enter the working copy (candidates.h).
    static const ColumnChoice kEveryColumn;
    CandidateRecords candidates(run.setup.matchers, run.in.columns,
                                index < run.in.rowColumns.size() ? run.in.rowColumns[index]
                                                                 : kEveryColumn);
    CandidateRecords* filter = run.options.copyEveryRecord ? nullptr : &candidates;
    long long records = 0;
    if (!copyIntoWorkingDatabase(run, folder, row.name, outcome, filter, records))
        return;
    TableSearch search(run, index, outcome, records, filter);
    if (!search.open())
        return;
    search.searchRecords();
    run.progress.searching(row.name, records, records, true);
    // The last safe point of the table: its copy is searched, its files untouched.
    run.ui.checkCancel();
    run.ui.setSafePoint(false);
    search.close();
    if (run.watch.endedByStorage())
        return;
    if (!run.readOnly.empty()) {
        outcome.reason = run.readOnly;
        return;
    }
    listed.reset();
    writeTableBack(run, row, folder, records, outcome);
}

} // namespace qm
