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

} // namespace qm::db::sql
