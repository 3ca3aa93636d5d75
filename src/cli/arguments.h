#pragma once

// The command line of quillmend, read into one plain record before anything touches a folder.

#include "replace/search_options.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::cli {

// A command line that cannot be carried out as given; the text says what is wrong.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Arguments {
    enum class Command { Help, Version, List, Replace, Runs, Undo, Prune };
    Command command = Command::Help;
    std::string folder;
    std::string run; // undo: the run to put back; empty: the newest one not yet undone
    std::vector<std::string> tables; // --table, in the order given
    bool all = false;
    std::optional<std::string> find;
    std::optional<std::string> replace;
    std::optional<std::string> sets;
    std::string separator = "::"; // the Load Sets dialog's default
    bool separatorGiven = false;
    bool dryRun = false;
    int keep = 0;                        // prune --keep: the newest runs kept; 0: not given
    int olderThanDays = 0;               // prune --older-than; 0: not given
    bool ignoreStaleLocks = false;       // --ignore-stale-locks
    bool ignoreUnreadableChecks = false; // --ignore-unreadable-checks
    SearchOptions search;                // --ignore-case, --whole-word, --regex
    ColumnChoice columns;                // --columns, --skip-columns (names split at commas)
};

// args without the program name. Throws UsageError.
Arguments parseArguments(const std::vector<std::string>& args);

// The text of --help.
std::string helpText();

} // namespace qm::cli
