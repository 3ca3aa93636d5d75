#include "db/sql_dialect.h"

#include "app/error.h"

#include <cctype>

namespace qm::db::sql {

namespace {

bool isWordStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c >= 0x80;
}
bool isWordChar(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
}

[[noreturn]] void malformed(const std::string& what) {
    throw Error(code::Malformed, "Syntax error in the statement: " + what + ".");
}

} // namespace

bool Token::is(const char* keyword) const {
    return kind == Kind::Word && equalsIgnoreCase(text, keyword);
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

namespace {

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// 'text' with '' for an apostrophe inside; i is on the opening apostrophe and moves past the
// closing one. Runs between apostrophes are copied whole: a million INSERTs pass through here.
Token readText(const std::string& s, std::size_t& i) {
    std::string text;
    ++i;
    for (;;) {
        const std::size_t quote = s.find('\'', i);
        if (quote == std::string::npos)
            malformed("a text is not closed by an apostrophe");
        text.append(s, i, quote - i);
        if (quote + 1 < s.size() && s[quote + 1] == '\'') {
            text += '\'';
            i = quote + 2;
            continue;
        }
        i = quote + 1;
        return {Kind::Text, std::move(text)};
    }
}

// `name`, [name] or "name"; i is on the opening mark and moves past the closing one.
Token readName(const std::string& s, std::size_t& i) {
    const char open = s[i];
    const char close = open == '[' ? ']' : open;
    const std::size_t end = s.find(close, i + 1);
    if (end == std::string::npos)
        malformed(open == '`'   ? "a name is not closed by a back quote"
                  : open == '[' ? "a name is not closed by a bracket"
                                : "a name is not closed by a quotation mark");
    Token t{Kind::Name, s.substr(i + 1, end - i - 1)};
    i = end + 1;
    return t;
}

// Digits with points, and an exponent when digits follow its sign.
Token readNumber(const std::string& s, std::size_t& i) {
    const std::size_t n = s.size();
    std::size_t j = i;
    while (j < n && (isDigit(s[j]) || s[j] == '.'))
        ++j;
    if (j < n && (s[j] == 'e' || s[j] == 'E')) {
        std::size_t k = j + 1;
        if (k < n && (s[k] == '+' || s[k] == '-'))
            ++k;
        if (k < n && isDigit(s[k])) {
            while (k < n && isDigit(s[k]))
                ++k;
            j = k;
        }
    }
    Token t{Kind::Number, s.substr(i, j - i)};
    i = j;
    return t;
}

Token readWord(const std::string& s, std::size_t& i) {
    std::size_t j = i;
    while (j < s.size() && isWordChar(static_cast<unsigned char>(s[j])))
        ++j;
    Token t{Kind::Word, s.substr(i, j - i)};
    i = j;
    return t;
}

// One character, or one of the two-character comparisons.
Token readSymbol(const std::string& s, std::size_t& i) {
    std::string sym(1, s[i]);
    if (i + 1 < s.size()) {
        const std::string two = s.substr(i, 2);
        if (two == "<>" || two == "<=" || two == ">=" || two == "!=")
            sym = two;
    }
    i += sym.size();
    return {Kind::Symbol, std::move(sym)};
}

} // namespace

std::vector<Token> tokenize(const std::string& s) {
    std::vector<Token> out;
    out.reserve(16 + s.size() / 8);
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (std::isspace(c))
            ++i;
        else if (c == '\'')
            out.push_back(readText(s, i));
        else if (c == '`' || c == '[' || c == '"')
            out.push_back(readName(s, i));
        else if (isDigit(s[i]) || (c == '.' && i + 1 < n && isDigit(s[i + 1])))
            out.push_back(readNumber(s, i));
        else if (isWordStart(c))
            out.push_back(readWord(s, i));
        else
            out.push_back(readSymbol(s, i));
    }
    return out;
}

} // namespace qm::db::sql
