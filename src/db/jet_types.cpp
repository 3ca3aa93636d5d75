#include "db/jet_types.h"

#include "paradox/ascii.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace qm::db {

namespace {

struct TypeRow {
    JetType type;
    // Keeps text affinity: it holds "TEXT" and no "INT".
    const char* declared;
    int ado;
    bool numeric;
};

constexpr TypeRow kTypes[] = {
    {JetType::Text, "TEXT_JETTEXT",
     202, // adVarWChar
     false},
    {JetType::Memo, "TEXT_JETMEMO",
     203, // adLongVarWChar
     false},
    {JetType::Long, "TEXT_JETLONG", 3, true},
    {JetType::Short, "TEXT_JETSHORT", 2, true},
    {JetType::Byte, "TEXT_JETBYTE", 17, true},
    {JetType::Decimal, "TEXT_JETDECIMAL", 131, true},
    {JetType::Numeric, "TEXT_JETNUMERIC", 131, true},
    {JetType::Double, "TEXT_JETDOUBLE", 5, true},
    {JetType::Single, "TEXT_JETSINGLE", 4, true},
    {JetType::Currency, "TEXT_JETCURRENCY", 6, true},
    {JetType::DateTime, "TEXT_JETDATETIME", 7, false},
    {JetType::Bit, "TEXT_JETBIT", 11, true},
    {JetType::OleObject, "TEXT_JETOLEOBJECT", 205, false},
    {JetType::Binary, "TEXT_JETBINARY", 204, false},
};

const TypeRow& rowOf(JetType type) {
    const auto it = std::find_if(std::begin(kTypes), std::end(kTypes),
                                 [&](const TypeRow& r) { return r.type == type; });
    return it != std::end(kTypes) ? *it : kTypes[0];
}

} // namespace

std::string declaredType(JetType type, int size) {
    std::string d = rowOf(type).declared;
    if (type == JetType::Text)
        d += "(" + std::to_string(size) + ")";
    return d;
}

std::optional<JetColumn> columnFromDeclared(const std::string& name, const std::string& declared) {
    const std::string up = paradox::asciiUpper(declared);
    const auto open = up.find('(');
    const std::string base = up.substr(0, open);
    for (const TypeRow& row : kTypes) {
        if (base != row.declared)
            continue;
        JetColumn c{name, row.type, 255};
        if (open != std::string::npos)
            c.size = std::atoi(up.c_str() + open + 1);
        return c;
    }
    return std::nullopt;
}

int adoType(JetType type) {
    return rowOf(type).ado;
}

bool isNumericType(JetType type) {
    return rowOf(type).numeric;
}

bool isComparedAsText(JetType type) {
    return type == JetType::Text || type == JetType::Memo;
}

} // namespace qm::db
