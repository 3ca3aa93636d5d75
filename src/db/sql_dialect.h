#pragma once

// The tokens of the SQL that the import, the replace run and the export send: names between
// back quotes or brackets, texts between apostrophes (doubled inside), numbers, words and
// punctuation. Both backends read their statements through it.

#include <string>
#include <vector>

namespace qm::db::sql {

enum class Kind { Word, Name, Text, Number, Symbol };

struct Token {
    Kind kind;
    std::string text; // Word as written; Name and Text unquoted; Symbol one or two characters
    bool is(const char* keyword) const; // a Word equal to keyword, ignoring ASCII case
    bool isSymbol(const char* s) const { return kind == Kind::Symbol && text == s; }
    bool isName() const { return kind == Kind::Name || kind == Kind::Word; }
};

// Throws qm::Error (malformed statement) for an unterminated quote, name or bracket.
std::vector<Token> tokenize(const std::string& sql);

std::string upper(std::string s);
bool equalsIgnoreCase(const std::string& a, const std::string& b);

// Number of characters of UTF-8 text (invalid bytes count one each).
std::size_t characterCount(const std::string& utf8);
// A decimal number as Jet reads one from text: optional sign, digits with an optional point,
// optional exponent, blanks around allowed.
bool looksNumeric(const std::string& text);
// YYYY-MM-DD, optionally followed by a blank and HH:MM:SS[.mmm]; or HH:MM:SS[.mmm] alone. The
// year may have a sign and more than four digits: a Paradox date holds any day number, and the
// working copy must take every date the table holds, or a copy of every record would fail where
// a copy of the hit records alone succeeds.
bool looksLikeDateTime(const std::string& text);

} // namespace qm::db::sql
