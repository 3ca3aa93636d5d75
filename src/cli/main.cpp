// quillmend: the replace run and the table list of the windows, for scripts. Same engine, same
// working database, same change log and backups, same run locks; no window and no prompt.

#include "app/common.h"
#include "app/installation.h"
#include "app/one_line.h"
#include "cli/arguments.h"
#include "cli/checked_output.h"
#include "cli/console_ui.h"
#include "cli/prune_command.h"
#include "cli/summary.h"
#include "cli/undo_commands.h"
#include "db/catalogue.h"
#include "db/connection.h"
#include "db/paradox_backend.h"
#include "db/table_facts.h"
#include "paradox/family_swap.h"
#include "platform/files.h"
#include "replace/backup_space.h"
#include "replace/replace_run.h"
#include "replace/run_lock.h"
#include "replace/run_recovery.h"
#include "replace/run_report.h"
#include "replace/run_search.h"
#include "sets/set_files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

namespace fs = std::filesystem;
using namespace qm;
using namespace qm::cli;

namespace {

class CollectedTables : public TableList {
  public:
    void clear() override { rows.clear(); }
    void appendUnchecked(const TableRow& row) override { rows.push_back(row); }
    std::vector<TableRow> rows;
};

void printMessages(const ConsoleUserInterface& ui) {
    for (const auto& m : ui.messages())
        std::cerr << "quillmend: " << m << "\n";
}

int usage(const std::string& message) {
    std::cerr << "quillmend: " << message << "\nTry 'quillmend --help'.\n";
    return kExitUsage;
}

// The folder as the rows name it: absolute, normalised, links resolved (the list shows a table's
// real folder), no trailing separator.
std::string folderText(const std::string& given) {
    std::error_code ec;
    const fs::path plain = fs::absolute(given).lexically_normal();
    const fs::path real = fs::weakly_canonical(plain, ec);
    std::string s = (ec ? plain : real).string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

// Empty when the folder can be listed; otherwise why not.
std::string unreadableFolder(const std::string& folder) {
    platform::FileStatus st;
    if (const int e = platform::status(folder, st))
        return std::strerror(e);
    if (!st.directory)
        return "it is not a folder";
    std::vector<std::string> names;
    if (const int e = platform::listFolder(folder, names))
        return std::strerror(e);
    return {};
}

int listTables(const std::vector<TableRow>& rows) {
    for (const auto& row : rows) {
        std::cout << oneLine(row.name) << '\t' << oneLine(row.folder) << '\t';
        const db::TableFacts facts = db::tableFacts(db::findTableFile(row.folder, row.name));
        if (facts.read)
            std::cout << facts.records << '\t' << facts.level << '\t' << facts.codePage << '\n';
        else if (facts.encrypted)
            std::cout << "-\t-\t-\tpassword-protected\n";
        else
            std::cout << "-\t-\t-\tcannot be read: " << facts.why << '\n';
    }
    return kExitClean;
}

// The rows that --table names; throws UsageError for a name that fits none or several.
std::vector<bool> pickTables(const std::vector<TableRow>& rows, const std::string& root,
                             const std::vector<std::string>& names) {
    std::vector<bool> ticked(rows.size(), false);
    for (const auto& given : names) {
        const fs::path p(given);
        const std::string name = TableNameFromFile(p.filename().string());
        std::string folder;
        if (p.has_parent_path())
            folder = folderText((fs::path(root) / p.parent_path()).string());
        std::vector<std::size_t> hits;
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].name == name && (folder.empty() || rows[i].folder == folder))
                hits.push_back(i);
        if (hits.empty())
            throw UsageError("no table '" + given + "' in " + root +
                             " ('quillmend list' shows the tables)");
        if (hits.size() > 1) {
            std::string where;
            for (auto i : hits)
                where += "\n  " + rows[i].folder;
            throw UsageError("the name '" + given +
                             "' fits tables in more than one folder; give it as FOLDER/NAME "
                             "relative to " +
                             root + ":" + where);
        }
        ticked[hits[0]] = true;
    }
    return ticked;
}

// The find and replace texts of the run: the pair given, or the sets of the sets file. An exit
// status when the file cannot be used.
std::optional<int> readFindTexts(const Arguments& args, ConsoleUserInterface& ui, RunInputs& in) {
    if (!args.sets) {
        in.selectedTab = 0;
        in.findText = *args.find;
        in.replaceText = *args.replace;
        return std::nullopt;
    }
    SetLists lists;
    const bool loaded = LoadSets(ui, *args.sets, args.separator, lists);
    if (!loaded || !ui.messages().empty()) {
        printMessages(ui);
        std::cerr << "quillmend: the sets file " << *args.sets << " cannot be used\n";
        return kExitUsage;
    }
    if (lists.count() == 0) {
        std::cerr << "quillmend: " << *args.sets << " holds no set (a line of find text, "
                  << args.separator << ", replace text)\n";
        return kExitUsage;
    }
    // As --find: an empty find text would count every value as a hit.
    const auto& finds = lists.findList();
    if (const auto empty = std::find(finds.begin(), finds.end(), std::string());
        empty != finds.end()) {
        std::cerr << "quillmend: set " << (empty - finds.begin() + 1) << " of " << *args.sets
                  << " has an empty find text\n";
        return kExitUsage;
    }
    in.selectedTab = 1;
    in.setFind = lists.findList();
    in.setReplace = lists.replaceList();
    return std::nullopt;
}

RunOptions runOptions(const Arguments& args) {
    RunOptions options;
    options.dryRun = args.dryRun;
    options.ignoreStaleLocks = args.ignoreStaleLocks;
    options.ignoreUnreadableChecks = args.ignoreUnreadableChecks;
    // The summary says per table what the window's end box says.
    options.endOfRunBox = false;
    if (platform::isTerminal(2))
        options.progress = [](const std::string& table, long long done, long long total) {
            if (done >= total)
                std::cerr << "\r\033[K" << std::flush;
            else
                std::cerr << "\r\033[K" << table << ": " << done << " of " << total << " records"
                          << std::flush;
        };
    return options;
}

// What the run came to, on the standard streams; the exit status.
int reportRun(const Arguments& args, ConsoleUserInterface& ui, const RunResult& result) {
    if (result.end == RunResult::End::NotStarted) {
        // The question about stale lock files went unanswered ("No"): its text says which.
        printMessages(ui);
        std::cerr << "quillmend: nothing was changed: " << result.failure << "\n";
        if (result.failure.find("lock files") != std::string::npos)
            std::cerr << "quillmend: if no Paradox program uses these tables, run again "
                         "with --ignore-stale-locks\n";
        return kExitUsage;
    }
    printMessages(ui);
    if (result.runRecord.empty() && !result.unrecorded.empty())
        std::cerr << "quillmend: no undo record could be kept for this run: "
                  << result.recordFailure << "\n";
    else if (std::string missing = recordFailureText(result); !missing.empty())
        std::cerr << "quillmend: " << missing << "\n";
    std::cout << runSummary(result.tables, result, args.dryRun);
    if (!args.dryRun)
        if (const auto backups = backupSpaceText(result, paradox::defaultBackupRoot());
            !backups.empty())
            std::cout << backups << "\n";
    std::cout << std::flush;
    return exitStatus(result.tables, result);
}

int replaceTables(const Arguments& args, const std::vector<TableRow>& rows,
                  const std::string& root) {
    if (rows.empty()) {
        std::cerr << "quillmend: there is no Paradox table in " << root << "\n";
        return kExitUsage;
    }
    std::vector<bool> ticked;
    try {
        ticked =
            args.all ? std::vector<bool>(rows.size(), true) : pickTables(rows, root, args.tables);
    } catch (const UsageError& e) {
        return usage(e.what());
    }
    ConsoleUserInterface ui;
    RunInputs in;
    if (const auto status = readFindTexts(args, ui, in))
        return *status;
    in.search = args.search;
    in.columns = args.columns;
    // Tables that must not be written (read-only ones) are the run's to refuse, as in the window.
    for (std::size_t i = 0; i < rows.size(); ++i)
        in.rows.push_back({rows[i], ticked[i]});
    // An expression or a column name that cannot be used is refused before anything runs.
    if (const std::string why = checkSearch(in); !why.empty())
        return usage(why);
    return reportRun(args, ui, runReplace(ui, in, runOptions(args)));
}

// A summary that did not reach its reader (a full disk, a closed pipe) is a failure of the run
// as the caller sees it, whatever the tables went through.
int withOutputChecked(int status, const CheckedOutput& out) {
    std::cout.flush();
    if (out.error() == 0)
        return status;
    std::cerr << "quillmend: cannot write to standard output: " << std::strerror(out.error())
              << "\n";
    return status == kExitClean ? kExitIncomplete : status;
}

// What killed runs left is finished or undone before any table is listed or read, so that a
// table one of them had moved aside is back in the list. False when some of it could not be.
bool recoverFirst() {
    try {
        for (const auto& line : recoverInterruptedRuns())
            std::cerr << "quillmend: an interrupted run was put right: " << line << "\n";
        return true;
    } catch (const std::exception& e) {
        std::cerr << "quillmend: an interrupted run could not be put right (it is tried again "
                     "next time): "
                  << e.what() << "\n";
        return false;
    }
}

int run(const Arguments& args) {
    const std::string root = folderText(args.folder);
    if (const std::string why = unreadableFolder(root); !why.empty()) {
        std::cerr << "quillmend: cannot read the folder " << args.folder << ": " << why << "\n";
        return kExitUsage;
    }
    // A replace holds the run locks from before its recovery and its list until its end.
    std::optional<RunLock> lock;
    if (args.command == Arguments::Command::Replace) {
        fs::path working;
        try {
            working = workingDatabasePath();
        } catch (const std::exception& e) {
            std::cerr << "quillmend: " << e.what() << "\n";
            return kExitUsage;
        }
        if (!fs::is_regular_file(working)) {
            std::cerr << "quillmend: the working database " << working.string()
                      << " is missing; it is installed beside the program\n";
            return kExitUsage;
        }
        lock.emplace(RunLock::acquire(working, paradox::defaultBackupRoot()));
        if (lock->state() == RunLock::State::Busy) {
            std::cerr << "quillmend: " << lock->reason() << "\n";
            return kExitBusy;
        }
        if (!lock->held()) {
            std::cerr << "quillmend: " << lock->reason() << "\n";
            return kExitUsage;
        }
    }
    const bool recovered = recoverFirst();
    ConsoleUserInterface ui;
    CollectedTables list;
    FixedFolder current(root);
    AddTablesToParadoxListbox(ui, current, list);
    printMessages(ui);
    const int status = args.command == Arguments::Command::List
                           ? listTables(list.rows)
                           : replaceTables(args, list.rows, root);
    return recovered || status != kExitClean ? status : kExitIncomplete;
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away is seen as a failed write (EPIPE), not as a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    CheckedOutput out(STDOUT_FILENO);
    std::cout.rdbuf(&out);
    const int status = [&] {
        Arguments args;
        try {
            args = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
        } catch (const UsageError& e) {
            return usage(e.what());
        }
        if (args.command == Arguments::Command::Help) {
            std::cout << helpText();
            return kExitClean;
        }
        if (args.command == Arguments::Command::Version) {
            std::cout << "quillmend " << QM_VERSION << "\n";
            return kExitClean;
        }
        try {
            if (args.command == Arguments::Command::Runs)
                return listRecordedRuns();
            if (args.command == Arguments::Command::Undo)
                return undoRecordedRun(args.run, args.ignoreStaleLocks);
            if (args.command == Arguments::Command::Prune)
                return pruneRecordedRuns(args);
            return run(args);
        } catch (const std::exception& e) {
            std::cerr << "quillmend: " << e.what() << "\n";
            return kExitIncomplete;
        }
    }();
    const int final = withOutputChecked(status, out);
    std::cout.rdbuf(nullptr); // out goes before the stream does
    return final;
}
