// quillmend: the replace run and the table list of the windows, for scripts. Same engine, same
// working database beside the program, same change log and backups; no window and no prompt.

#include "app/common.h"
#include "cli/arguments.h"
#include "cli/console_ui.h"
#include "cli/summary.h"
#include "db/catalogue.h"
#include "db/connection.h"
#include "db/paradox_backend.h"
#include "paradox/family_swap.h"
#include "paradox/table.h"
#include "replace/replace_run.h"
#include "sets/set_files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

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

// The folder as the rows will name it: absolute, normalised, no trailing separator.
std::string folderText(const std::string& given) {
    std::string s = fs::absolute(given).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

// Empty when the folder can be listed; otherwise why not.
std::string unreadableFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "it is not a folder";
    DIR* d = ::opendir(folder.c_str());
    if (!d)
        return std::strerror(errno);
    ::closedir(d);
    return {};
}

// Why a table's files must not be replaced although the process could: a folder or file with
// no write permission bit for anyone is read-only by its owner's wish, root or not.
std::string readOnlyReason(const TableRow& row) {
    const auto check = [](const fs::path& p, const char* what) -> std::string {
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0)
            return {};
        if ((st.st_mode & 0222) == 0)
            return std::string(what) + " " + p.string() +
                   " is read-only (no write permission is set)";
        if (::access(p.c_str(), W_OK) != 0)
            return std::string(what) + " " + p.string() +
                   " cannot be written: " + std::strerror(errno);
        return {};
    };
    if (auto why = check(row.folder, "its folder"); !why.empty())
        return why;
    try {
        for (const auto& member : paradox::familyFiles(db::findTableFile(row.folder, row.name)))
            if (auto why = check(member, "its file"); !why.empty())
                return why;
    } catch (const std::exception&) {
        // The run itself says what is wrong with a table it cannot find.
    }
    return {};
}

int listTables(const std::vector<TableRow>& rows) {
    for (const auto& row : rows) {
        std::cout << row.name << '\t' << row.folder << '\t';
        try {
            const auto table = paradox::Table::open(db::findTableFile(row.folder, row.name));
            std::cout << table.recordCount() << '\t' << table.header().levelName() << '\t'
                      << table.codePage() << '\n';
        } catch (const paradox::EncryptedTableError&) {
            std::cout << "-\t-\t-\tpassword-protected\n";
        } catch (const std::exception& e) {
            std::cout << "-\t-\t-\tcannot be read: " << e.what() << '\n';
        }
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

int replaceTables(const Arguments& args, const std::vector<TableRow>& rows,
                  const std::string& root) {
    const fs::path working = fs::path(applicationFolder()) / db::kWorkingDatabaseFile;
    if (!fs::is_regular_file(working)) {
        std::cerr << "quillmend: the working database " << working.string()
                  << " is missing; it is installed beside the program\n";
        return kExitUsage;
    }
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
    if (args.sets) {
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
        in.selectedTab = 1;
        in.setFind = lists.findList();
        in.setReplace = lists.replaceList();
    } else {
        in.selectedTab = 0;
        in.findText = *args.find;
        in.replaceText = *args.replace;
    }

    // Tables that must not be written are left out of the run and reported with it.
    std::vector<TableOutcome> outcomes;
    bool anyTicked = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        bool tick = ticked[i];
        if (tick) {
            if (const std::string why = readOnlyReason(rows[i]); !why.empty()) {
                TableOutcome o;
                o.table = rows[i];
                o.writeBack = TableOutcome::WriteBack::NotWritten;
                o.reason = why;
                outcomes.push_back(o);
                tick = false;
            }
        }
        anyTicked = anyTicked || tick;
        in.rows.push_back({rows[i], tick});
    }

    RunOptions options;
    options.dryRun = args.dryRun;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    if (terminal)
        options.progress = [](const std::string& table, long long done, long long total) {
            if (done >= total)
                std::cerr << "\r\033[K" << std::flush;
            else
                std::cerr << "\r\033[K" << table << ": " << done << " of " << total << " records"
                          << std::flush;
        };

    RunResult result;
    result.end = RunResult::End::Completed;
    if (anyTicked) {
        result = runReplace(ui, in, options);
        // The run's closing box says in one text what the summary says per table.
        if (result.end == RunResult::End::Completed)
            ui.dropLast();
    }
    printMessages(ui);
    outcomes.insert(outcomes.end(), result.tables.begin(), result.tables.end());
    std::cout << runSummary(outcomes, result, args.dryRun) << std::flush;
    return exitStatus(outcomes, result);
}

} // namespace

int main(int argc, char** argv) {
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
        const std::string root = folderText(args.folder);
        if (const std::string why = unreadableFolder(root); !why.empty()) {
            std::cerr << "quillmend: cannot read the folder " << args.folder << ": " << why << "\n";
            return kExitUsage;
        }
        ConsoleUserInterface ui;
        CollectedTables list;
        FixedFolder current(root);
        AddTablesToParadoxListbox(ui, current, list);
        printMessages(ui);
        if (args.command == Arguments::Command::List)
            return listTables(list.rows);
        return replaceTables(args, list.rows, root);
    } catch (const std::exception& e) {
        std::cerr << "quillmend: " << e.what() << "\n";
        return kExitIncomplete;
    }
}
