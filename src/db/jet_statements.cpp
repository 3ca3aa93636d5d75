#include "db/jet_statements.h"

#include "app/error.h"
#include "db/value_checks.h"
#include "paradox/ascii.h"

#include <algorithm>
#include <cstdlib>

namespace qm::db::jet {

using sql::Kind;
using sql::Token;

namespace {

std::string literalText(const Token& t) {
    return t.kind == Kind::Text ? "'" + t.text + "'" : t.text;
}

std::optional<std::size_t> columnNamed(const std::vector<JetColumn>& columns,
                                       const std::string& name) {
    std::optional<std::size_t> found;
    for (std::size_t c = 0; c < columns.size(); ++c)
        if (paradox::equalsIgnoringAsciiCase(columns[c].name, name))
            found = c;
    return found;
}

// A column's type clause after its name: the type word and an optional (n[,m]); i moves past it.
JetColumn parseColumnType(const Tokens& t, std::size_t& i, std::string name) {
    const auto syntax = [] { malformed("Syntax error in CREATE TABLE statement."); };
    JetColumn c;
    c.name = std::move(name);
    if (i >= t.size() || t[i].kind != Kind::Word)
        malformed("Syntax error in field definition.");
    const auto type = jetTypeNamed(t[i++].text);
    if (!type)
        malformed("Syntax error in field definition.");
    c.type = *type;
    c.size = 255;
    if (i >= t.size() || !t[i].isSymbol("("))
        return c;
    ++i;
    if (i >= t.size() || t[i].kind != Kind::Number)
        syntax();
    const int n = std::atoi(t[i++].text.c_str());
    if (i < t.size() && t[i].isSymbol(",")) {
        ++i;
        if (i >= t.size() || t[i].kind != Kind::Number)
            syntax();
        ++i;
    }
    if (i >= t.size() || !t[i].isSymbol(")"))
        syntax();
    ++i;
    if (c.type == JetType::Text) {
        if (n < 1 || n > 255)
            malformed("Size of a field is too large.");
        c.size = n;
    }
    return c;
}

// The columns an INSERT names, from t[i] on; i moves past the list. Without a list, every column.
std::vector<std::size_t> insertColumns(const Tokens& t, std::size_t& i,
                                       const std::vector<JetColumn>& columns) {
    std::vector<std::size_t> targets;
    if (!t[i].isSymbol("(")) {
        for (std::size_t c = 0; c < columns.size(); ++c)
            targets.push_back(c);
        return targets;
    }
    ++i;
    while (i < t.size() && t[i].isName()) {
        bool found = false;
        for (std::size_t c = 0; c < columns.size(); ++c)
            if (paradox::equalsIgnoringAsciiCase(columns[c].name, t[i].text)) {
                targets.push_back(c);
                found = true;
            }
        if (!found)
            throw Error(code::Unspecified, "The INSERT INTO statement contains the following "
                                           "unknown field name: '" +
                                               t[i].text + "'.");
        ++i;
        if (i < t.size() && t[i].isSymbol(","))
            ++i;
    }
    if (i >= t.size() || !t[i].isSymbol(")"))
        malformed("Syntax error in INSERT INTO statement.");
    ++i;
    return targets;
}

struct Literal {
    std::optional<std::string> value;
    bool quoted = false;
};

// VALUES ( literal {, literal} ) from t[i] to the end.
std::vector<Literal> insertValues(const Tokens& t, std::size_t i) {
    const auto syntax = [] { malformed("Syntax error in INSERT INTO statement."); };
    if (i + 1 >= t.size() || !t[i].is("VALUES") || !t[i + 1].isSymbol("("))
        syntax();
    i += 2;
    std::vector<Literal> values;
    for (;;) {
        if (i >= t.size())
            syntax();
        std::string sign;
        if (t[i].isSymbol("-") || t[i].isSymbol("+")) {
            sign = t[i].text == "-" ? "-" : "";
            ++i;
            if (i >= t.size() || t[i].kind != Kind::Number)
                syntax();
        }
        const Token& v = t[i];
        if (v.kind == Kind::Text)
            values.push_back({v.text, true});
        else if (v.kind == Kind::Number)
            values.push_back({sign + v.text, false});
        else if (v.is("NULL"))
            values.push_back({std::nullopt, false});
        else
            malformed("Syntax error in query expression '" + literalText(v) + "'.");
        ++i;
        if (i < t.size() && t[i].isSymbol(",")) {
            ++i;
            continue;
        }
        if (i + 1 != t.size() || !t[i].isSymbol(")"))
            syntax();
        return values;
    }
}

} // namespace

Tokens statementTokens(const std::string& text) {
    Tokens t = sql::tokenize(text);
    while (!t.empty() && t.back().isSymbol(";"))
        t.pop_back();
    return t;
}

void malformed(const std::string& what) {
    throw Error(code::Malformed, what);
}

void notAStatement() {
    malformed("Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or "
              "'UPDATE'.");
}

void readOnly() {
    throw Error(code::Unspecified, "Cannot update. Database or object is read-only.");
}

CreateTable parseCreateTable(const Tokens& t) {
    const auto syntax = [] { malformed("Syntax error in CREATE TABLE statement."); };
    if (t.size() < 5 || !t[2].isName() || !t[3].isSymbol("("))
        syntax();
    CreateTable out{t[2].text, {}};
    std::size_t i = 4;
    for (;;) {
        if (i >= t.size() || !t[i].isName())
            syntax();
        std::string name = t[i++].text;
        out.columns.push_back(parseColumnType(t, i, std::move(name)));
        if (i < t.size() && t[i].isSymbol(",")) {
            ++i;
            continue;
        }
        if (i + 1 != t.size() || !t[i].isSymbol(")"))
            syntax();
        return out;
    }
}

std::string parseDropTable(const Tokens& t) {
    if (t.size() != 3 || !t[2].isName())
        malformed("Syntax error in DROP TABLE or DROP INDEX.");
    return t[2].text;
}

std::string insertTarget(const Tokens& t) {
    if (t.size() < 4 || !t[1].is("INTO") || !t[2].isName())
        malformed("Syntax error in INSERT INTO statement.");
    return t[2].text;
}

Params parseInsertRow(const Tokens& t, const std::vector<JetColumn>& columns) {
    std::size_t i = 3;
    const std::vector<std::size_t> targets = insertColumns(t, i, columns);
    const std::vector<Literal> values = insertValues(t, i);
    if (values.size() != targets.size())
        throw Error(code::Unspecified,
                    "Number of query values and destination fields are not the same.");
    Params row(columns.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        checkValue(columns[targets[k]], values[k].value, values[k].quoted);
        row[targets[k]] = values[k].value;
    }
    return row;
}

std::string updateTarget(const Tokens& t) {
    if (t.size() < 6 || !t[1].isName() || !t[2].is("SET"))
        malformed("Syntax error in UPDATE statement.");
    return t[1].text;
}

std::size_t whereAt(const Tokens& t, std::size_t from) {
    for (std::size_t i = from; i < t.size(); ++i)
        if (t[i].is("WHERE"))
            return i;
    return t.size();
}

std::vector<std::size_t> checkAssignments(const Tokens& t, std::size_t where,
                                          const std::string& tableName,
                                          const std::vector<JetColumn>& columns,
                                          const std::vector<FieldRule>& rules) {
    std::vector<std::size_t> set;
    std::size_t i = 3;
    while (i + 2 < where) {
        if (!t[i].isName() || !t[i + 1].isSymbol("="))
            malformed("Syntax error in UPDATE statement.");
        const Token& lit = t[i + 2];
        const auto col = columnNamed(columns, t[i].text);
        if (!col)
            throw Error(code::Unspecified, "No value given for one or more required parameters.");
        set.push_back(*col);
        // Assignments of a single literal are checked as Jet converts them.
        const bool single = i + 3 == where || t[i + 3].isSymbol(",");
        if (single && lit.kind == Kind::Text) {
            checkValue(columns[*col], lit.text, true);
            if (*col < rules.size()) {
                const std::string why = refusal(rules[*col], lit.text);
                if (!why.empty())
                    throw Error(code::TooLong, "The field " + columns[*col].name + " of " +
                                                   tableName + " cannot take the value '" +
                                                   lit.text + "': " + why + ".");
            }
        } else if (single && lit.kind == Kind::Number) {
            checkValue(columns[*col], lit.text, false);
        }
        std::size_t j = i + 2;
        while (j < where && !t[j].isSymbol(","))
            ++j;
        i = j + 1;
    }
    return set;
}

bool isExport(const Tokens& t) {
    return !t.empty() && t[0].is("SELECT") &&
           std::any_of(t.begin(), t.end(), [](const Token& k) { return k.is("INTO"); });
}

ExportStatement parseExport(const Tokens& t) {
    ExportStatement out;
    std::size_t i = 1;
    if (i + 1 < t.size() && t[i].is("TOP") && t[i + 1].kind == Kind::Number) {
        out.count = std::atoll(t[i + 1].text.c_str());
        i += 2;
    }
    const std::string prefix = "PARADOX 5.X;DATABASE=";
    if (i + 7 != t.size() || !t[i].isSymbol("*") || !t[i + 1].is("INTO") ||
        t[i + 2].kind != Kind::Name || !t[i + 3].isSymbol(".") || t[i + 4].kind != Kind::Name ||
        !t[i + 5].is("FROM") || !t[i + 6].isName() ||
        paradox::asciiUpper(t[i + 2].text.substr(0, prefix.size())) != prefix)
        malformed("Syntax error in query. Incomplete query clause.");
    out.targetFolder = t[i + 2].text.substr(prefix.size());
    out.targetFile = t[i + 4].text;
    out.table = t[i + 6].text;
    return out;
}

Select parseSelect(const Tokens& t) {
    if (t.empty() || !t[0].is("SELECT"))
        notAStatement();
    Select s;
    if (t.size() > 2 && t[1].is("TOP") && t[2].kind == Kind::Number) {
        s.limit = t[2].text;
        s.columnsAt = 3;
    }
    s.fromAt = t.size();
    for (std::size_t i = s.columnsAt; i < t.size(); ++i)
        if (t[i].is("FROM")) {
            s.fromAt = i;
            break;
        }
    if (s.fromAt + 1 < t.size() && t[s.fromAt + 1].isName()) {
        s.table = t[s.fromAt + 1].text;
        s.everyColumn = s.columnsAt + 1 == s.fromAt && t[s.columnsAt].isSymbol("*");
        s.plain = (s.fromAt + 2 == t.size() || t[s.fromAt + 2].is("WHERE")) &&
                  std::none_of(t.begin(), t.end(), [](const Token& k) {
                      return k.is("ORDER") || k.is("GROUP") || k.is("UNION") || k.is("DISTINCT");
                  });
    }
    return s;
}

std::optional<std::string> deleteTarget(const Tokens& t) {
    if (t.size() >= 3 && t[0].is("DELETE") && t[1].is("FROM") && t[2].isName())
        return t[2].text;
    return std::nullopt;
}

std::vector<std::size_t> checkWhere(const std::vector<JetColumn>& columns, const Tokens& t,
                                    std::size_t from) {
    std::vector<std::size_t> indexed;
    auto columnIndex = [&](const Token& k) -> std::optional<std::size_t> {
        if (!k.isName())
            return std::nullopt;
        for (std::size_t c = 0; c < columns.size(); ++c)
            if (paradox::equalsIgnoringAsciiCase(columns[c].name, k.text))
                return c;
        return std::nullopt;
    };
    for (std::size_t i = from + 1; i + 1 < t.size(); ++i) {
        const Token& op = t[i];
        const bool comparison = op.isSymbol("=") || op.isSymbol("<>") || op.isSymbol("<") ||
                                op.isSymbol(">") || op.isSymbol("<=") || op.isSymbol(">=") ||
                                op.isSymbol("!=") || op.is("LIKE");
        if (!comparison)
            continue;
        const Token& left = t[i - 1];
        const Token& right = t[i + 1];
        for (auto [col, lit] : {std::pair{&left, &right}, std::pair{&right, &left}}) {
            auto c = columnIndex(*col);
            if (!c || lit->kind != Kind::Text)
                continue;
            const JetType type = columns[*c].type;
            if (isNumericType(type) || type == JetType::DateTime)
                typeMismatch();
            if (op.isSymbol("=") && isComparedAsText(type))
                indexed.push_back(*c);
        }
    }
    return indexed;
}

std::string translate(const Tokens& t, std::size_t from, std::size_t to, Params& params) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        if (!out.empty())
            out += ' ';
        const Token& k = t[i];
        switch (k.kind) {
        case Kind::Name:
            out += quoteName(k.text);
            break;
        case Kind::Text:
            out += '?';
            params.emplace_back(k.text);
            break;
        case Kind::Word:
        case Kind::Number:
            out += k.text;
            break;
        case Kind::Symbol:
            // Jet's & joins texts.
            out += k.text == "&" ? "||" : k.text;
            break;
        }
    }
    return out;
}

} // namespace qm::db::jet
