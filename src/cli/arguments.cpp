#include "cli/arguments.h"

#include <map>

namespace qm::cli {

namespace {

const std::map<std::string, bool>& options() {
    // name -> takes a value
    static const std::map<std::string, bool> known = {
        {"--table", true},
        {"--all", false},
        {"--find", true},
        {"--replace", true},
        {"--sets", true},
        {"--separator", true},
        {"--dry-run", false},
        {"--ignore-case", false},
        {"--whole-word", false},
        {"--regex", false},
        {"--columns", true},
        {"--skip-columns", true},
        {"--ignore-stale-locks", false},
        {"--ignore-unreadable-checks", false},
    };
    return known;
}

void setOnce(std::optional<std::string>& slot, const std::string& option,
             const std::string& value) {
    if (slot)
        throw UsageError(option + " is given more than once");
    slot = value;
}

// Column names split at commas, blanks around each name dropped; an empty name is refused.
void addColumns(std::vector<std::string>& names, const std::string& option,
                const std::string& value) {
    std::size_t from = 0;
    for (;;) {
        const auto comma = value.find(',', from);
        std::string name = value.substr(from, comma == std::string::npos ? comma : comma - from);
        const auto first = name.find_first_not_of(" \t");
        const auto last = name.find_last_not_of(" \t");
        name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
        if (name.empty())
            throw UsageError(option +
                             " needs column names separated by commas, without an "
                             "empty one ('" +
                             value + "')");
        names.push_back(name);
        if (comma == std::string::npos)
            return;
        from = comma + 1;
    }
}

} // namespace

namespace {

// runs takes nothing, undo at most the name of a run and, as replace, --ignore-stale-locks.
Arguments parseRunsOrUndo(const std::vector<std::string>& args) {
    Arguments a;
    a.command = args[0] == "runs" ? Arguments::Command::Runs : Arguments::Command::Undo;
    std::vector<std::string> rest;
    bool endOfOptions = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (!endOfOptions && args[i] == "--")
            endOfOptions = true;
        else if (!endOfOptions && a.command == Arguments::Command::Undo &&
                 args[i] == "--ignore-stale-locks")
            a.ignoreStaleLocks = true;
        else if (!endOfOptions && args[i].size() > 1 && args[i][0] == '-')
            throw UsageError(args[0] + " takes no option ('" + args[i] + "')");
        else
            rest.push_back(args[i]);
    }
    if (a.command == Arguments::Command::Runs && !rest.empty())
        throw UsageError("runs takes no argument ('" + rest.front() + "')");
    if (rest.size() > 1)
        throw UsageError("undo takes one run at most ('" + rest[0] + "', '" + rest[1] + "')");
    if (!rest.empty() && rest[0].empty())
        throw UsageError("the run to undo is an empty text");
    a.run = rest.empty() ? std::string() : rest[0];
    return a;
}

// A whole number of at least 1, as --keep and --older-than take it.
int positiveCount(const std::string& option, const std::string& value) {
    int n = 0;
    for (char c : value) {
        if (c < '0' || c > '9' || n > 100000000)
            throw UsageError(option + " needs a whole number of at least 1 ('" + value + "')");
        n = n * 10 + (c - '0');
    }
    if (n < 1)
        throw UsageError(option + " needs a whole number of at least 1 ('" + value + "')");
    return n;
}

// prune (--keep N | --older-than DAYS) [--dry-run]; nothing else.
Arguments parsePrune(const std::vector<std::string>& args) {
    Arguments a;
    a.command = Arguments::Command::Prune;
    std::optional<std::string> keep, olderThan;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "--dry-run" && !value) {
            a.dryRun = true;
            continue;
        }
        if (name != "--keep" && name != "--older-than")
            throw UsageError("prune takes --keep N or --older-than DAYS, and --dry-run ('" +
                             args[i] + "')");
        if (!value && i + 1 >= args.size())
            throw UsageError(name + " needs a value");
        setOnce(name == "--keep" ? keep : olderThan, name, value ? *value : args[++i]);
    }
    if (keep.has_value() == olderThan.has_value())
        throw UsageError("give prune either --keep N (the newest runs to keep) or --older-than "
                         "DAYS, not both and not neither");
    if (keep)
        a.keep = positiveCount("--keep", *keep);
    else
        a.olderThanDays = positiveCount("--older-than", *olderThan);
    return a;
}

// One option of list or replace, known and with its value when it takes one.
void applyOption(Arguments& a, const std::string& name, const std::optional<std::string>& value) {
    if (name == "--table")
        a.tables.push_back(*value);
    else if (name == "--all")
        a.all = true;
    else if (name == "--find")
        setOnce(a.find, name, *value);
    else if (name == "--replace")
        setOnce(a.replace, name, *value);
    else if (name == "--sets")
        setOnce(a.sets, name, *value);
    else if (name == "--separator") {
        if (a.separatorGiven)
            throw UsageError("--separator is given more than once");
        a.separator = *value;
        a.separatorGiven = true;
    } else if (name == "--ignore-stale-locks")
        a.ignoreStaleLocks = true;
    else if (name == "--ignore-unreadable-checks")
        a.ignoreUnreadableChecks = true;
    else if (name == "--dry-run")
        a.dryRun = true;
    else if (name == "--ignore-case")
        a.search.matchCase = false;
    else if (name == "--whole-word")
        a.search.wholeWord = true;
    else if (name == "--regex")
        a.search.regex = true;
    else if (name == "--columns")
        addColumns(a.columns.only, name, *value);
    else if (name == "--skip-columns")
        addColumns(a.columns.skip, name, *value);
}

// The options after the command, applied; returns the other arguments. optionsGiven gets the
// name of every option, in order.
std::vector<std::string> readOptions(const std::vector<std::string>& args, Arguments& a,
                                     std::vector<std::string>& optionsGiven) {
    std::vector<std::string> positional;
    bool endOfOptions = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const auto known = options().find(name);
        if (known == options().end())
            throw UsageError("unknown option '" + name + "'");
        if (known->second && !value) {
            if (i + 1 >= args.size())
                throw UsageError(name + " needs a value");
            value = args[++i];
        } else if (!known->second && value) {
            throw UsageError(name + " takes no value");
        }
        optionsGiven.push_back(name);
        applyOption(a, name, value);
    }
    return positional;
}

// What replace needs besides its folder: the tables, and one way to give the texts.
void checkReplaceArguments(const Arguments& a) {
    if (a.all && !a.tables.empty())
        throw UsageError("give either --table or --all, not both");
    if (!a.all && a.tables.empty())
        throw UsageError("name the tables to change with --table NAME, or give --all");
    if (a.sets && (a.find || a.replace))
        throw UsageError("give either --find and --replace, or --sets, not both");
    if (!a.sets) {
        if (!a.find || !a.replace)
            throw UsageError("give --find TEXT and --replace TEXT, or --sets FILE");
        if (a.find->empty())
            throw UsageError("--find needs a text that is not empty (an empty find text hits "
                             "every value and changes none)");
    }
    if (a.separatorGiven && !a.sets)
        throw UsageError("--separator goes with --sets");
}

// --help and --version before the end of the options win over everything else.
bool asks(const std::vector<std::string>& args, const char* option, const char* shortOption) {
    for (const auto& arg : args) {
        if (arg == "--")
            return false;
        if (arg == option || (shortOption && arg == shortOption))
            return true;
    }
    return false;
}

} // namespace

Arguments parseArguments(const std::vector<std::string>& args) {
    Arguments a;
    if (asks(args, "--help", "-h"))
        return a;
    if (asks(args, "--version", nullptr)) {
        a.command = Arguments::Command::Version;
        return a;
    }
    if (args.empty())
        throw UsageError("no command given");
    if (args[0] == "help")
        return a;
    if (args[0] == "runs" || args[0] == "undo")
        return parseRunsOrUndo(args);
    if (args[0] == "prune")
        return parsePrune(args);
    if (args[0] == "list")
        a.command = Arguments::Command::List;
    else if (args[0] == "replace")
        a.command = Arguments::Command::Replace;
    else
        throw UsageError("unknown command '" + args[0] +
                         "' (the commands are replace, list, runs, undo and prune)");

    std::vector<std::string> replaceOnly; // options given that only replace takes
    const std::vector<std::string> positional = readOptions(args, a, replaceOnly);
    if (positional.empty())
        throw UsageError("no folder given");
    if (positional.size() > 1)
        throw UsageError("more than one folder given ('" + positional[0] + "', '" + positional[1] +
                         "'); put a text that begins with '-' after --");
    a.folder = positional[0];
    if (a.folder.empty())
        throw UsageError("the folder is an empty text");
    if (a.command == Arguments::Command::List) {
        if (!replaceOnly.empty())
            throw UsageError(replaceOnly.front() + " belongs to the replace command, not to list");
        return a;
    }
    checkReplaceArguments(a);
    return a;
}

std::string helpText() {
    return R"(Usage:
  quillmend replace FOLDER (--table NAME ... | --all)
                    (--find TEXT --replace TEXT | --sets FILE [--separator SEP])
                    [--ignore-case] [--whole-word] [--regex]
                    [--columns A,B] [--skip-columns C] [--dry-run] [--ignore-stale-locks]
                    [--ignore-unreadable-checks]
  quillmend list FOLDER
  quillmend runs
  quillmend undo [RUN] [--ignore-stale-locks]
  quillmend prune (--keep N | --older-than DAYS) [--dry-run]
  quillmend --help
  quillmend --version

replace   Replaces text in the Paradox tables of FOLDER and its sub-folders, as "Start
          Replacing" does: each table is copied into the working database, every hit is
          written to the change log and changed there, and only the changed values are
          written back into the table's files. The old files go to the backup folder.
list      Prints the tables of FOLDER and its sub-folders, one a line, tab-separated:
          name, folder, record count, level, code page (and a note for a table that
          cannot be read).
runs      Prints the runs that wrote tables back, newest first, one a line, tab-separated:
          its name, its number of tables, written, undone or partly undone, the size of
          its backups, and what it replaced; then each table's file on a line of its own.
          A last line gives what all backups take, and their folder.
undo      Puts back the tables of RUN (a name runs prints; default: the newest run not
          undone yet) as they were before it, from their old files in the backup folder.
          A table is put back only while its files are still exactly what that run wrote;
          one changed since (by a later run, say) is left as it is and named. Each table
          is replaced as a whole or not at all, under the same locks as a run; the files
          undo replaces go to the backup folder like any old files. Stale lock files
          beside a table keep it as it is, as they keep a replace, unless
          --ignore-stale-locks is given.
prune     Removes the backup folders and records of older runs, the newest kept: all but
          the N newest (--keep N), or those older than DAYS days (--older-than DAYS).
          Says what it removed and the room given back (--dry-run: what it would remove).
          It never touches a table, never removes a backup folder that a killed run's
          journal still needs, and removes nothing while a run or an undo is in progress.

Options:
  --table NAME     a table to change, by its name as list prints it (".db" may follow;
                   case does not matter). A name found in more than one folder is given
                   with its folder relative to FOLDER: sub/NAME. Repeat for more tables.
  --all            every table list prints
  --find TEXT      the text to find (exact and case-sensitive unless the options
                   below say otherwise; not empty)
  --replace TEXT   what replaces every occurrence (may be empty)
  --sets FILE      find and replace sets, one a line: find text, separator, replace
                   text; lines without the separator are skipped. A value is tested
                   against each set in turn and changed by the first one that hits.
  --separator SEP  the separator of the sets file (default ::)
  --ignore-case    letters match whatever their case (Unicode case folding: grey and
                   Grey, über and ÜBER, дом and ДОМ)
  --whole-word     a hit may not begin or end inside a word; word characters are
                   letters, digits and the underscore ("Ltd" hits in "Acme Ltd."
                   but not in "Ltda")
  --regex          the find texts are regular expressions (PCRE2 syntax); $1 or \1
                   in the replace text inserts group 1, $0 the whole hit, $$ a dollar.
                   A hit is never empty text. A value on which the expression needs
                   too much work is left as it is and reported as refused
  --columns A,B    search only these columns (names as in the table, case does not
                   matter; repeat or separate with commas)
  --skip-columns C never search these columns
                   A name that no chosen table has is an error. The options apply to
                   --find and to every set of --sets alike.
  --dry-run        does everything but the write-back and reports what would change
                   and what would be refused; writes nothing (no table, no change log,
                   no backup)
  --ignore-stale-locks
                   goes on although lock files of Paradox programs lie beside the
                   tables that no program holds (left by one that ended without
                   removing them); without it such a run changes nothing. A table
                   another program holds is never written back.
  --ignore-unreadable-checks
                   writes the new values of a table whose validity file (.VAL) cannot
                   be read without testing them against its checks; without it such a
                   table's values are refused. The summary names such tables either way.
  -h, --help       this text
  --version        the program's version

Files:
  The change log is backups.log in $TEMP (else the system's temporary folder). Old table
  files go to $XDG_DATA_HOME/Quillmend/backups (else ~/.local/share/Quillmend/backups).
  The working database is dbTemp.mdb in the folder of this program; when that folder
  cannot be written, a copy of it in $XDG_DATA_HOME/Quillmend (else ~/.local/share/Quillmend).

One run at a time:
  A replace (dry runs too) holds a lock beside the working database and one in the backup
  folder until it ends. While another run (a window's or another quillmend's) holds them,
  replace does nothing and ends with status 3. Before listing or reading any table, list
  and replace finish or undo what a killed run left.

Exit status:
  0  every table was processed and written back, or needed no change
  1  a value was refused or a table was not written back (the summary says why), the run
     stopped on an error, or standard output could not be written
  2  bad arguments, an unreadable folder or sets file, no table to work on, an invalid
     regular expression, a column name that no chosen table has, a working database or
     backup folder that cannot be used, a change log that is a link or not the user's own
     file, or stale lock files without --ignore-stale-locks; nothing was changed
  3  another run is in progress; nothing was changed
  undo: 0 every table of the run is back as it was; 1 a table was left as it is (the
  report says why); 2 no such run, or none left to undo; 3 another run is in progress
  prune: 0 every run chosen was removed (or none was chosen); 1 a run chosen was kept (the
  report says why); 2 bad arguments or a backup folder that cannot be used; 3 another run
  is in progress; 2 and 3 remove nothing
)";
}

} // namespace qm::cli
