#include "db/field_rules.h"

#include "db/value_checks.h"
#include "paradox/codepage.h"
#include "paradox/index_plan.h"
#include "paradox/table.h"

#include <algorithm>
#include <cctype>

namespace qm::db {

namespace fs = std::filesystem;
using paradox::FieldType;

namespace {

void freeze(FieldRule& rule, const std::string& reason) {
    if (rule.kind != FieldRule::Kind::Frozen) {
        rule.kind = FieldRule::Kind::Frozen;
        rule.reason = reason;
    }
}

bool digits(const std::string& t, std::size_t pos, std::size_t n) {
    if (pos + n > t.size())
        return false;
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isdigit(static_cast<unsigned char>(t[pos + k])))
            return false;
    return true;
}

bool validTime(const std::string& t) {
    if (!(t.size() == 8 || t.size() == 12) || !digits(t, 0, 2) || t[2] != ':' || !digits(t, 3, 2) ||
        t[5] != ':' || !digits(t, 6, 2))
        return false;
    if (t.size() == 12 && (t[8] != '.' || !digits(t, 9, 3)))
        return false;
    return std::stoi(t.substr(0, 2)) < 24 && std::stoi(t.substr(3, 2)) < 60 &&
           std::stoi(t.substr(6, 2)) < 60;
}

} // namespace

std::vector<FieldRule> fieldRulesFor(const fs::path& dbFile) {
    const paradox::Table table = paradox::Table::open(dbFile);
    const auto& fields = table.fields();
    std::vector<FieldRule> rules(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FieldRule& r = rules[i];
        switch (fields[i].type) {
        case FieldType::Alpha:
            r.kind = FieldRule::Kind::Alpha;
            r.size = fields[i].size;
            r.codePage = table.codePage();
            break;
        case FieldType::Memo:
            r.kind = FieldRule::Kind::Memo;
            r.codePage = table.codePage();
            break;
        case FieldType::Money:
            r.kind = FieldRule::Kind::Money;
            break;
        case FieldType::Time:
            r.kind = FieldRule::Kind::Time;
            break;
        case FieldType::Logical:
            r.kind = FieldRule::Kind::Logical;
            break;
        default:
            break;
        }
    }
    // A key or indexed field takes new values where its table can be re-sorted and its index
    // files rebuilt; elsewhere the plan says why not.
    const paradox::IndexPlan plan = paradox::planIndexes(table);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (plan.refusal[i].empty())
            continue;
        if (plan.key[i]) {
            freeze(rules[i], "it is part of the table's primary key, and " + plan.refusal[i]);
            continue;
        }
        std::string index = "a secondary index";
        for (const auto& idx : plan.indexes)
            if (std::find(idx.fields.begin(), idx.fields.end(), i) != idx.fields.end()) {
                index = "the secondary index " + idx.data.filename().string();
                break;
            }
        freeze(rules[i], "it is part of " + index + ", and " + plan.refusal[i]);
    }
    return rules;
}

std::string refusal(const FieldRule& rule, const std::string& text) {
    switch (rule.kind) {
    case FieldRule::Kind::Any:
        return {};
    case FieldRule::Kind::Frozen:
        return rule.reason;
    case FieldRule::Kind::Alpha: {
        if (!paradox::canEncode(rule.codePage, text))
            return "the text holds a character that code page " + std::to_string(rule.codePage) +
                   " lacks";
        if (paradox::encode(rule.codePage, text).size() > static_cast<std::size_t>(rule.size))
            return "the text is longer than the field's " + std::to_string(rule.size) +
                   " characters";
        return {};
    }
    case FieldRule::Kind::Memo:
        if (!paradox::canEncode(rule.codePage, text))
            return "the text holds a character that code page " + std::to_string(rule.codePage) +
                   " lacks";
        return {};
    case FieldRule::Kind::Money:
        return looksNumeric(text) && text.front() != ' ' && text.back() != ' '
                   ? std::string()
                   : "the text is not an amount of money";
    case FieldRule::Kind::Time:
        return validTime(text) ? std::string() : "the text is not a time of day HH:MM:SS";
    case FieldRule::Kind::Logical:
        return text == "True" || text == "False" ? std::string()
                                                 : "a logical field holds only True or False";
    }
    return {};
}

} // namespace qm::db
