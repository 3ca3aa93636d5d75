#pragma once

// The replace run behind "Start Replacing": every ticked table is copied into the working
// database, every hit of a find text is logged and UPDATEd in the copy, and the copy goes back
// into the table's own files by rewriting only the values that changed.
//
// The run reaches the person only through the UserInterface: "Please select a table", the busy
// pointer, error reports (at most one box per table; the others are kept for the end), and one
// detailed box at its end (replace/run_report.h): "Done." with the counts when every ticked table
// came out as asked, otherwise what went wrong (with the exclamation icon), so a run that left
// values unchanged or tables unwritten never looks like a success. It may run on a thread of its
// own: it touches no window, and a CancelToken stops it at the next safe point.

#include "app/user_interface.h"
#include "db/catalogue.h"
#include "replace/matcher.h"
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

// Why the run cannot start as asked, said before anything runs: an empty find text (of the pair
// or of a set), a find text that is not a valid regular expression, a replacement naming a group
// its pattern lacks, a column name of inputs.columns that no ticked table has. Empty when it can
// start.
std::string checkSearch(const RunInputs& inputs);

// The find/replace pairs of the selected tab as the run applies them: one for tab 0, one per set
// for tab 1. Throws PatternError.
std::vector<Matcher> runMatchers(const RunInputs& inputs);

// The column names of a listed table as the run sees them. Throws when it cannot be read.
std::vector<std::string> tableColumns(const TableRow& row);

// The run. Synchronous; shows its own boxes (see above) and leaves the pointer at its default.
RunResult runReplace(UserInterface& ui, const RunInputs& inputs, const RunOptions& options = {});

// The text of the end-of-run box when the run was not clean: per table, the values left
// unchanged and why, the tables not written back and why. Empty for a clean run.
std::string endOfRunReport(const RunResult& result);

// The question the run asks about lock files nobody holds (a Yes/No box).
std::string staleLocksQuestion(const std::vector<std::filesystem::path>& stale);

// The question the run asks about a table whose validity checks cannot be read, and why not.
std::string unreadableChecksQuestion(const std::string& table, const std::string& why);

namespace testhooks {
// Called between the run's work on a table in the working database and its write-back, with
// the table's row and the folder the write-back writes to. The environment variable
// QM_TEST_PAUSE_BEFORE_WRITE_BACK names a folder for a hook between processes: the run creates
// "ready-NAME" in it and waits (at most a minute) until "go-NAME" exists.
void setBeforeWriteBackHook(std::function<void(const TableRow&, const std::string& folder)> hook);
} // namespace testhooks

// Puts back every table a killed run left aside (the swap journals under backupRoot, default
// paradox::defaultBackupRoot()), and returns one line per table dealt with. A write-back that a
// live run is carrying out is left to it. Every entry point calls it before it lists or reads a
// table; runReplace calls it itself.
std::vector<std::string> recoverInterruptedRuns(const std::filesystem::path& backupRoot = {});

// The same for a window: the tables put back are named in one box. A journal that cannot be
// acted upon now is named in an error box and kept for the next start.
void recoverInterruptedRuns(UserInterface& ui, const std::filesystem::path& backupRoot = {});

} // namespace qm
