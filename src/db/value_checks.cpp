#include "db/value_checks.h"

#include "app/error.h"

#include <algorithm>

namespace qm::db {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The text forms of a stored Number that is no number or is infinite. The working copy takes them
// as it takes every value a table holds: a copy of every record would otherwise fail where a copy
// of the hit records alone succeeds. A column of numbers is never compared with text, so no
// replacement sets such a value.
bool nonFiniteForm(const std::string& v) {
    return v == "nan" || v == "-nan" || v == "inf" || v == "-inf";
}

// The text form of a BCD value with nibbles above 9 (left by the BDE beyond the precision, or by
// damage): a "?" for each. The working copy takes it for the same reason as above.
bool oddBcdForm(std::string v) {
    if (v.find('?') == std::string::npos)
        return false;
    std::replace(v.begin(), v.end(), '?', '0');
    return looksNumeric(v);
}

// Characters of UTF-8 text; a byte that is no part of a sequence counts as one.
std::size_t characterCount(const std::string& utf8) {
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool digitsAt(const std::string& t, std::size_t pos, std::size_t count) {
    if (pos + count > t.size())
        return false;
    return std::all_of(t.begin() + static_cast<std::ptrdiff_t>(pos),
                       t.begin() + static_cast<std::ptrdiff_t>(pos + count), isDigit);
}

// HH:MM:SS[.mmm] at pos, to the end of t.
bool timeAt(const std::string& t, std::size_t pos) {
    if (!digitsAt(t, pos, 2) || t.size() < pos + 8 || t[pos + 2] != ':' ||
        !digitsAt(t, pos + 3, 2) || t[pos + 5] != ':' || !digitsAt(t, pos + 6, 2))
        return false;
    if (t.size() == pos + 8)
        return true;
    return t.size() == pos + 12 && t[pos + 8] == '.' && digitsAt(t, pos + 9, 3);
}

// Digits from i on; i moves past them. Returns how many.
std::size_t skipDigits(const std::string& text, std::size_t& i) {
    const std::size_t from = i;
    while (i < text.size() && isDigit(text[i]))
        ++i;
    return i - from;
}

void skipSign(const std::string& text, std::size_t& i) {
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
}

void skipBlanks(const std::string& text, std::size_t& i) {
    while (i < text.size() && text[i] == ' ')
        ++i;
}

} // namespace

void typeMismatch() {
    throw Error(code::TypeMismatch, "Data type mismatch in criteria expression.");
}

void checkValue(const JetColumn& column, const std::optional<std::string>& value, bool isText) {
    if (!value)
        return;
    if (isNumericType(column.type)) {
        if (column.type == JetType::Bit && isText && (*value == "True" || *value == "False"))
            return;
        const bool bcd = column.type == JetType::Numeric || column.type == JetType::Decimal;
        if (!looksNumeric(*value) && !nonFiniteForm(*value) && !(bcd && oddBcdForm(*value)))
            typeMismatch();
    } else if (column.type == JetType::DateTime) {
        if (!looksLikeDateTime(*value))
            typeMismatch();
    } else if (column.type == JetType::Text) {
        if (static_cast<int>(characterCount(*value)) > column.size)
            throw Error(code::TooLong, "The field is too small to accept the amount of data you "
                                       "attempted to add. Try inserting or pasting less data.");
    }
}

bool looksNumeric(const std::string& text) {
    std::size_t i = 0;
    skipBlanks(text, i);
    skipSign(text, i);
    std::size_t digits = skipDigits(text, i);
    if (i < text.size() && text[i] == '.') {
        ++i;
        digits += skipDigits(text, i);
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        skipSign(text, i);
        if (skipDigits(text, i) == 0)
            return false;
    }
    skipBlanks(text, i);
    return i == text.size();
}

bool looksLikeDateTime(const std::string& t) {
    if (timeAt(t, 0))
        return true;
    std::size_t pos = 0;
    if (!t.empty() && t[0] == '-')
        pos = 1;
    if (!digitsAt(t, pos, 4))
        return false;
    // The year's digits past the first four.
    while (pos + 4 < t.size() && isDigit(t[pos + 4]))
        ++pos;
    if (t.size() < pos + 10 || t[pos + 4] != '-' || !digitsAt(t, pos + 5, 2) || t[pos + 7] != '-' ||
        !digitsAt(t, pos + 8, 2))
        return false;
    if (t.size() == pos + 10)
        return true;
    return t[pos + 10] == ' ' && timeAt(t, pos + 11);
}

} // namespace qm::db
