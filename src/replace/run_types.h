#pragma once

// What a replace run is given and what it comes to: the inputs the window or the command line
// reads once, the options, and each ticked table's outcome. Everything that takes part in a run
// (its setup, its work on a table, its reports, the backups' account) reads these, so they sit
// below all of them.

#include "db/catalogue.h"
#include "replace/run_control.h"
#include "replace/search_options.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qm {

// What the main window hands to the run, read once when the button is clicked.
struct RunInputs {
    struct Row {
        TableRow table; // name, folder (where it was found), file name
        bool ticked = false;
    };
    std::vector<Row> rows;               // list order
    int selectedTab = 0;                 // 0 "Find and replace", 1 "Multiple find and replace sets"
    std::string findText;                // Text1 (tab 0)
    std::string replaceText;             // Text2 (tab 0)
    std::vector<std::string> setFind;    // Combo1 entries (tab 1)
    std::vector<std::string> setReplace; // Combo2 entries, same length
    SearchOptions search;                // how every find text meets a value, on either tab
    ColumnChoice columns;                // columns searched in every ticked table, by name
    // A table's own choice besides (the window's column list), by row index; a row past the
    // end searches every column that `columns` leaves.
    std::vector<ColumnChoice> rowColumns;
    // When the listed tables are the folder copy of a folder with blanks (db/folder_copy.h): the
    // copy and the folder it was made from, so that the end box says the run changed the copy.
    std::string copyFolder;
    std::string copiedFrom;
};

struct RunOptions {
    // The change log; empty: changeLogPath() ("TEMP" + separator + "backups.log").
    std::filesystem::path changeLog;
    // Where old table files and the swap journals go; empty: paradox::defaultBackupRoot().
    std::filesystem::path backupRoot;
    // Everything but the write-back: each table is read and searched as in a real run, and its
    // write-back only tells what it would come to (the same values, refusals and reasons), so
    // the outcome says what a real run would do. Not a byte is written into the tables' folders,
    // the change log or the backup folder.
    bool dryRun = false;
    // Lock files beside the tables that no program holds (left by one that ended without removing
    // them) do not stop the run. Otherwise the run asks whether to go on (Yes/No) before it
    // touches anything.
    bool ignoreStaleLocks = false;
    // A table whose validity file cannot be read takes its new values untested. Otherwise the
    // run asks, once for each such table with hits (Yes/No, No the default), and refuses its
    // values on No.
    bool ignoreUnreadableChecks = false;
    // The working copy gets every record of a table, not only those a find text hits. The run
    // comes out the same either way (candidates.h); tests compare the two.
    bool copyEveryRecord = false;
    // Called while a table's records are searched: its name, records done, records in all. At the
    // start and end of each table and otherwise at most about ten times a second.
    std::function<void(const std::string& table, long long done, long long total)> progress;
    // The same, with where the run stands as a whole; called on the run's own thread.
    std::function<void(const RunProgress&)> onProgress;
    // Called for every hit, after its UPDATE: what a preview lists.
    std::function<void(const RunHit&)> onHit;
    // Asked at every safe point; a request stops the run there (RunResult::End::Cancelled).
    const CancelToken* cancel = nullptr;
    // The end-of-run box ("Done." and the counts, with the details); a caller that reports the
    // run itself leaves it out.
    bool endOfRunBox = true;
};

// Values of one column that stayed as they were although a find text hit them.
struct LeftUnchanged {
    std::string column;
    std::string reason; // the working database's or the Paradox field's refusal
    long long count = 0;
};

struct TableOutcome {
    TableRow table;
    long long hits = 0;          // change-log lines written
    long long valuesChanged = 0; // field values rewritten in the Paradox files
    std::vector<LeftUnchanged> leftUnchanged;
    // Written: the new values are in the table's files. Unchanged: the run changed nothing, and
    // the files were not touched (reason, when given, says why: the row named a table that an
    // earlier row of the run had worked on already). NotWritten: the table keeps its old files;
    // reason says why.
    enum class WriteBack { Written, Unchanged, NotWritten };
    WriteBack writeBack = WriteBack::NotWritten;
    std::string reason;
    std::filesystem::path backupFolder; // where the old files went (Written only)
    // Every error report of the table; only the first was shown as a box during the run.
    std::vector<std::string> errorReports;
    // False for a ticked table the run stopped before (cancelled or failed): untouched.
    bool reached = true;
};

struct RunResult {
    enum class End {
        EmptyList,  // no rows: nothing was done and nothing shown
        NoneTicked, // "Please select a table"
        Completed,  // every ticked table was dealt with
        Failed,     // an untolerated failure ended the run (report shown, pointer reset)
        Busy,       // another run holds the run locks: nothing was done (failure says so)
        NotStarted, // nothing was read or changed: the change log cannot be used safely, or
                    // stale lock files were not accepted; failure says why
        Cancelled,  // stopped at a safe point on request; the tables not reached are listed
    };
    End end = End::EmptyList;
    std::vector<TableOutcome> tables; // in the order they were processed
    std::string failure;              // End::Failed, End::NotStarted: the description
    int failureLine = 0;              // End::Failed: the step
    std::string search;               // the search options and columns in words; empty: none
    // The record that undo reads (replace/run_history.h): its id, empty when no table was
    // written back (a dry run never is). recordFailure: why a record could not be kept.
    // unrecorded: the tables written back that the record does not hold, by their files.
    std::string runRecord;
    std::string recordFailure;
    std::vector<std::string> unrecorded;

    // True when no ticked table kept a hit value or its old files against the run's wish.
    bool clean() const;
};

} // namespace qm
