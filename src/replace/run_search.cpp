#include "replace/run_search.h"

#include "db/paradox_backend.h"
#include "paradox/table.h"

#include <algorithm>

namespace qm {

std::vector<std::string> tableColumns(const TableRow& row) {
    const auto table = paradox::Table::open(db::findTableFile(row.folder, row.name));
    std::vector<std::string> names;
    for (const auto& f : table.fields())
        names.push_back(f.name);
    return names;
}

std::vector<Matcher> runMatchers(const RunInputs& in) {
    std::vector<Matcher> matchers;
    // An empty find text would hit every value and change none, and still write a change-log
    // line for each of those hits.
    constexpr const char* kEmptyFind =
        "the find text is empty; an empty find text hits every value and changes none";
    if (in.selectedTab == 0) {
        if (in.findText.empty())
            throw PatternError(kEmptyFind);
        matchers.emplace_back(in.findText, in.replaceText, in.search);
    } else if (in.selectedTab == 1) {
        const std::size_t sets =
            std::min<std::size_t>(std::min(in.setFind.size(), in.setReplace.size()), 32767);
        matchers.reserve(sets);
        for (std::size_t s = 0; s < sets; ++s) {
            try {
                if (in.setFind[s].empty())
                    throw PatternError(kEmptyFind);
                matchers.emplace_back(in.setFind[s], in.setReplace[s], in.search);
            } catch (const PatternError& e) {
                throw PatternError("set " + std::to_string(s + 1) + ": " + e.what());
            }
        }
    }
    return matchers;
}

std::string checkSearch(const RunInputs& in) {
    try {
        (void)runMatchers(in);
    } catch (const PatternError& e) {
        return e.what();
    }
    return unknownColumns(in);
}

std::string unknownColumns(const RunInputs& in) {
    std::vector<std::string> unknown;
    for (const auto* names : {&in.columns.only, &in.columns.skip})
        for (const auto& name : *names)
            unknown.push_back(name);
    if (unknown.empty())
        return {};
    bool anyRead = false;
    for (const auto& r : in.rows) {
        if (!r.ticked)
            continue;
        std::vector<std::string> columns;
        try {
            columns = tableColumns(r.table);
        } catch (const std::exception&) {
            continue; // the run says why it cannot work on the table
        }
        anyRead = true;
        std::erase_if(unknown, [&](const std::string& name) {
            return std::any_of(columns.begin(), columns.end(),
                               [&](const std::string& c) { return sameColumnName(c, name); });
        });
    }
    if (unknown.empty() || !anyRead)
        return {};
    std::string names;
    for (const auto& n : unknown)
        names += (names.empty() ? "" : ", ") + n;
    return (unknown.size() == 1 ? "no ticked table has a column named "
                                : "no ticked table has the columns ") +
           names;
}

} // namespace qm
