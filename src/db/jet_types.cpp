#include "db/jet_types.h"

#include "paradox/ascii.h"

#include <algorithm>
#include <array>
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
    // Jet's name for the type and its synonyms; unused places are null.
    std::array<const char*, 6> names;
};

constexpr TypeRow kTypes[] = {
    {JetType::Text,
     "TEXT_JETTEXT",
     202, // adVarWChar
     false,
     {"TEXT", "VARCHAR", "CHAR", "CHARACTER", "STRING", "ALPHANUMERIC"}},
    {JetType::Memo,
     "TEXT_JETMEMO",
     203, // adLongVarWChar
     false,
     {"MEMO", "LONGTEXT", "LONGCHAR", "NOTE"}},
    {JetType::Long, "TEXT_JETLONG", 3, true, {"INT", "INTEGER", "LONG", "INTEGER4"}},
    {JetType::Short, "TEXT_JETSHORT", 2, true, {"SHORT", "SMALLINT", "INTEGER2"}},
    {JetType::Byte, "TEXT_JETBYTE", 17, true, {"BYTE", "TINYINT"}},
    {JetType::Decimal, "TEXT_JETDECIMAL", 131, true, {"DECIMAL", "DEC"}},
    {JetType::Numeric, "TEXT_JETNUMERIC", 131, true, {"NUMERIC"}},
    {JetType::Double, "TEXT_JETDOUBLE", 5, true, {"FLOAT", "DOUBLE", "FLOAT8", "NUMBER"}},
    {JetType::Single, "TEXT_JETSINGLE", 4, true, {"REAL", "SINGLE", "FLOAT4"}},
    {JetType::Currency, "TEXT_JETCURRENCY", 6, true, {"CURRENCY", "MONEY"}},
    {JetType::DateTime, "TEXT_JETDATETIME", 7, false, {"DATETIME", "DATE", "TIME", "TIMESTAMP"}},
    {JetType::Bit, "TEXT_JETBIT", 11, true, {"BIT", "YESNO", "LOGICAL"}},
    {JetType::OleObject,
     "TEXT_JETOLEOBJECT",
     205,
     false,
     {"OLEOBJECT", "LONGBINARY", "GENERAL", "IMAGE"}},
    {JetType::Binary, "TEXT_JETBINARY", 204, false, {"BINARY", "VARBINARY"}},
};

const TypeRow& rowOf(JetType type) {
    const auto it = std::find_if(std::begin(kTypes), std::end(kTypes),
                                 [&](const TypeRow& r) { return r.type == type; });
    return it != std::end(kTypes) ? *it : kTypes[0];
}

} // namespace

std::optional<JetType> jetTypeNamed(const std::string& word) {
    const std::string up = paradox::asciiUpper(word);
    for (const TypeRow& row : kTypes)
        for (const char* name : row.names)
            if (name && up == name)
                return row.type;
    return std::nullopt;
}

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
