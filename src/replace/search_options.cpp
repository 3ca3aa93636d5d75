#include "replace/search_options.h"

#include <QString>
#include <algorithm>

namespace qm {

namespace {

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& n : names) {
        if (!text.empty())
            text += ", ";
        text += n;
    }
    return text;
}

bool listed(const std::vector<std::string>& names, const std::string& column) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& n) { return sameColumnName(n, column); });
}

} // namespace

std::string SearchOptions::describe() const {
    std::string text;
    const auto add = [&](const char* what) {
        if (!text.empty())
            text += ", ";
        text += what;
    };
    if (!matchCase)
        add("ignore case");
    if (wholeWord)
        add("whole words");
    if (regex)
        add("regular expression");
    return text;
}

bool sameColumnName(const std::string& a, const std::string& b) {
    if (a == b)
        return true;
    return QString::fromStdString(a).toCaseFolded() == QString::fromStdString(b).toCaseFolded();
}

bool ColumnChoice::includes(const std::string& column) const {
    if (!only.empty() && !listed(only, column))
        return false;
    return !listed(skip, column);
}

std::string ColumnChoice::describe() const {
    std::string text;
    if (!only.empty())
        text = "columns " + joined(only);
    if (!skip.empty())
        text += (text.empty() ? "skipping " : "; skipping ") + joined(skip);
    return text;
}

} // namespace qm
