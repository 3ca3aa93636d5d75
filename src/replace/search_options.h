#pragma once

// The choices beside the find text: how a find text meets a value, and which columns are
// searched at all. Everything off (the default) is the exact, case-sensitive search of every
// column that the run has always done.

#include <string>
#include <vector>

namespace qm {

struct SearchOptions {
    bool matchCase = true;  // off: letters match whatever their case
    bool wholeWord = false; // a hit may not begin or end inside a word
    bool regex = false;     // the find text is a regular expression (PCRE2 syntax)

    bool plain() const { return matchCase && !wholeWord && !regex; }
    // The chosen options in words ("ignore case, whole words, regular expression"); empty when
    // plain().
    std::string describe() const;
};

// Columns to search, by name, compared without regard to case. A column is searched when it is
// in `only` (or `only` is empty) and not in `skip`.
struct ColumnChoice {
    std::vector<std::string> only;
    std::vector<std::string> skip;

    bool all() const { return only.empty() && skip.empty(); }
    bool includes(const std::string& column) const;
    // "columns A, B; skipping C"; empty when all().
    std::string describe() const;
};

// Whether two column names are the same name, case aside (Unicode simple case folding).
bool sameColumnName(const std::string& a, const std::string& b);

} // namespace qm
