#pragma once

// The column types of the working database: the declared type each is stored under and the data
// type number a recordset reports. One table holds both, one row per type.
//
// Every column is stored with text affinity whatever its declared type, so a value comes back
// exactly as it went in ('007' stays '007'); the Jet type lives on in the declared type
// ("TEXT_JETLONG" and so on) and drives the checks Jet makes.

#include <optional>
#include <string>

namespace qm::db {

enum class JetType {
    Text,
    Memo,
    Long,
    Short,
    Byte,
    Decimal,
    Numeric,
    Double,
    Single,
    Currency,
    DateTime,
    Bit,
    OleObject,
    Binary
};

struct JetColumn {
    std::string name;
    JetType type = JetType::Text;
    int size = 255; // Text: characters
};

// The declared SQLite type that stands for a Jet type, and back.
std::string declaredType(JetType type, int size);
std::optional<JetColumn> columnFromDeclared(const std::string& name, const std::string& declared);

// The provider's data type number of a Jet column, as a recordset reports it.
int adoType(JetType type);

// Number and yes/no columns: a quoted text compared with one is a type mismatch.
bool isNumericType(JetType type);
// Text and memo columns, which an equality compares as text (and an index helps).
bool isComparedAsText(JetType type);

} // namespace qm::db
