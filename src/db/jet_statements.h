#pragma once

// The statements the working database takes, read and checked as Jet reads and checks them,
// and translated into SQLite's own text with every quoted literal as a parameter. The working
// database (sqlite_backend.h) runs what comes out; nothing here touches a database.

#include "db/field_rules.h"
#include "db/jet_types.h"
#include "db/sql_dialect.h"
#include "db/sqlite_statement.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qm::db::jet {

using Tokens = std::vector<sql::Token>;

// The statement's tokens without the semicolons that close it.
Tokens statementTokens(const std::string& text);

[[noreturn]] void malformed(const std::string& what);
[[noreturn]] void notAStatement();
[[noreturn]] void readOnly();

// CREATE TABLE name ( col type [(n[,m])] {, col type [(n[,m])]} )
struct CreateTable {
    std::string name;
    std::vector<JetColumn> columns;
};
CreateTable parseCreateTable(const Tokens& t);

// DROP TABLE name: the name.
std::string parseDropTable(const Tokens& t);

// INSERT INTO name [(cols)] VALUES ( literal {, literal} ): the table named, and then the row
// it gives, one value per column of the table in its order, each checked as Jet converts it.
std::string insertTarget(const Tokens& t);
Params parseInsertRow(const Tokens& t, const std::vector<JetColumn>& columns);

// UPDATE name SET col = literal {, col = literal} [WHERE ...]: the table named, where its WHERE
// stands (t.size() without one), and the columns it sets, each single literal checked as Jet
// converts it and against the Paradox field's rule.
std::string updateTarget(const Tokens& t);
std::size_t whereAt(const Tokens& t, std::size_t from);
std::vector<std::size_t> checkAssignments(const Tokens& t, std::size_t where,
                                          const std::string& tableName,
                                          const std::vector<JetColumn>& columns,
                                          const std::vector<FieldRule>& rules);

// select [top N] * into [Paradox 5.x;Database=<folder>].[<file>] from [<table>]
struct ExportStatement {
    long long count = -1; // N, or -1 without TOP
    std::string targetFolder;
    std::string targetFile;
    std::string table; // as the statement names it
};
bool isExport(const Tokens& t);
ExportStatement parseExport(const Tokens& t);

// SELECT [TOP n] ... FROM name [WHERE ...]
struct Select {
    std::optional<std::string> limit; // n
    std::size_t columnsAt = 1;        // after SELECT [TOP n]
    std::size_t fromAt = 0;           // t.size() without FROM
    std::optional<std::string> table; // the name after FROM, if a name stands there
    bool everyColumn = false;         // SELECT * FROM name
    // Nothing but a table and perhaps a WHERE: the rows come in the table's record order.
    bool plain = false;
};
Select parseSelect(const Tokens& t);

// DELETE FROM name [WHERE ...]: the name, if the statement is one.
std::optional<std::string> deleteTarget(const Tokens& t);

// Jet's checks on the comparisons of a WHERE clause that starts at t[from]. Returns the text
// columns compared for equality with a literal, which an index serves.
std::vector<std::size_t> checkWhere(const std::vector<JetColumn>& columns, const Tokens& t,
                                    std::size_t from);

// t[from, to) as SQLite text: names quoted its way, & as ||, each quoted literal a ? whose value
// joins params.
std::string translate(const Tokens& t, std::size_t from, std::size_t to, Params& params);

} // namespace qm::db::jet
