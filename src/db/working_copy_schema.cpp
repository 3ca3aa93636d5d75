#include "db/working_copy_schema.h"

#include "app/error.h"
#include "paradox/ascii.h"

#include <sqlite3.h>

#include <algorithm>

namespace qm::db {

namespace {

// Each working copy has a side table, keyed by the copy's rowid, holding the .db file offset of
// the record the row came from. A plain rowid table takes the appends of an import at next to
// no cost; SELECT * never sees it. (Its stored name predates the word "origin"; copies made
// before keep being read.)
constexpr const char* kOriginsPrefix = "MSysQmRowSource_";
// The rowids of the rows an UPDATE touched since the import, kept by a trigger on the copy: the
// write-back then looks at those rows only, and a row no statement changed is never compared
// with its record, let alone written back.
constexpr const char* kChangedRowsPrefix = "MSysQmChanged_";
constexpr const char* kChangedRowsTriggerPrefix = "MSysQmOnUpdate_";
// The (rowid, column) pairs whose value an UPDATE changed since the import, one trigger per
// column: an UPDATE computed from the snapshot leaves those alone.
constexpr const char* kChangedCellsPrefix = "MSysQmChangedCells_";
constexpr const char* kCellTriggerPrefix = "MSysQmOnSet_";
// A row that leaves the copy, or takes another rowid, loses its origin with it. The origins are
// then always origins of rows that exist, and counting them says how many rows know their record
// without looking each one up.
constexpr const char* kOriginOnDeletePrefix = "MSysQmOriginOnDelete_";
constexpr const char* kOriginOnMovePrefix = "MSysQmOriginOnMove_";
constexpr const char* kCopyStatus = "MSysQmWorkingCopy";
constexpr const char* kFieldRules = "MSysQmFieldRules";

std::string named(const char* prefix, const std::string& table) {
    return quoteName(prefix + paradox::asciiUpper(table));
}

} // namespace

const char* const kRowidNamesTaken =
    "its fields take the names ROWID, _ROWID_ and OID, all the names by which the working "
    "database tells its rows apart";

std::string rowidName(const std::vector<std::string>& columnNames) {
    for (const char* name : {"rowid", "_rowid_", "oid"}) {
        const std::string up = paradox::asciiUpper(name);
        if (std::none_of(columnNames.begin(), columnNames.end(),
                         [&](const std::string& c) { return paradox::asciiUpper(c) == up; }))
            return name;
    }
    return {};
}

std::string rowidName(const std::vector<JetColumn>& columns) {
    std::vector<std::string> names;
    names.reserve(columns.size());
    for (const auto& c : columns)
        names.push_back(c.name);
    return rowidName(names);
}

std::string originsTable(const std::string& table) {
    return named(kOriginsPrefix, table);
}
std::string changedRowsTable(const std::string& table) {
    return named(kChangedRowsPrefix, table);
}
std::string changedCellsTable(const std::string& table) {
    return named(kChangedCellsPrefix, table);
}
std::string columnIndexName(const std::string& table, std::size_t column) {
    return quoteName("MSysQmIx_" + paradox::asciiUpper(table) + "_" + std::to_string(column));
}

void WorkingCopySchema::exec(const std::string& text) {
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throwSqliteFailure(db_, rc);
}

void WorkingCopySchema::ensureSideTables() {
    if (sideTables_ || readOnly_)
        return;
    Savepoint step(db_);
    exec(std::string("CREATE TABLE IF NOT EXISTS ") + kCopyStatus +
         "(tbl TEXT PRIMARY KEY, created INTEGER, expected INTEGER, inserted INTEGER, "
         "failed INTEGER, leftout INTEGER NOT NULL DEFAULT 0)");
    // A working database an older build made has no count of records left out: none were.
    Statement& column = statements_.get(std::string("SELECT 1 FROM pragma_table_info('") +
                                        kCopyStatus + "') WHERE name = 'leftout'");
    const bool counted = column.step();
    column.reset();
    if (!counted)
        exec(std::string("ALTER TABLE ") + kCopyStatus +
             " ADD COLUMN leftout INTEGER NOT NULL DEFAULT 0");
    exec(std::string("CREATE TABLE IF NOT EXISTS ") + kFieldRules +
         "(tbl TEXT NOT NULL, col INTEGER NOT NULL, kind INTEGER, size INTEGER, codepage "
         "INTEGER, reason TEXT, PRIMARY KEY(tbl, col))");
    step.release();
    sideTables_ = true;
}

void WorkingCopySchema::createFor(const std::string& table, const std::vector<JetColumn>& columns) {
    const std::string rowid = rowidName(columns);
    if (rowid.empty())
        throw Error(code::Unspecified, "The table '" + table +
                                           "' cannot be a working copy: " + kRowidNamesTaken + ".");
    ensureSideTables();
    const std::string oldRowid = "old." + rowid;
    const std::string newRowid = "new." + rowid;
    const std::string copy = quoteName(table);
    const std::string origins = originsTable(table);
    const std::string rows = changedRowsTable(table);
    const std::string cells = changedCellsTable(table);
    exec("DROP TABLE IF EXISTS " + origins);
    statements_.get(std::string("DELETE FROM ") + kFieldRules + " WHERE tbl = ?")
        .run({paradox::asciiUpper(table)});
    exec("CREATE TABLE " + origins + "(rid INTEGER PRIMARY KEY, offset INTEGER NOT NULL)");
    exec("DROP TABLE IF EXISTS " + rows);
    exec("CREATE TABLE " + rows + "(rid INTEGER PRIMARY KEY)");
    exec("CREATE TRIGGER " + named(kChangedRowsTriggerPrefix, table) + " AFTER UPDATE ON " + copy +
         " BEGIN INSERT OR IGNORE INTO " + rows + " VALUES(" + oldRowid +
         "); INSERT OR IGNORE INTO " + rows + " VALUES(" + newRowid + "); END");
    exec("DROP TABLE IF EXISTS " + cells);
    exec("CREATE TABLE " + cells +
         "(rid INTEGER NOT NULL, col INTEGER NOT NULL, PRIMARY KEY(rid, col)) WITHOUT ROWID");
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::string c = quoteName(columns[k].name);
        exec("CREATE TRIGGER " +
             quoteName(kCellTriggerPrefix + paradox::asciiUpper(table) + "_" + std::to_string(k)) +
             " AFTER UPDATE OF " + c + " ON " + copy + " WHEN old." + c + " IS NOT new." + c +
             " BEGIN INSERT OR IGNORE INTO " + cells + " VALUES(" + newRowid + ", " +
             std::to_string(k) + "); END");
    }
    exec("CREATE TRIGGER " + named(kOriginOnDeletePrefix, table) + " AFTER DELETE ON " + copy +
         " BEGIN DELETE FROM " + origins + " WHERE rid = " + oldRowid + "; END");
    exec("CREATE TRIGGER " + named(kOriginOnMovePrefix, table) + " AFTER UPDATE ON " + copy +
         " WHEN " + newRowid + " IS NOT " + oldRowid + " BEGIN DELETE FROM " + origins +
         " WHERE rid = " + oldRowid + "; END");
    statements_.get(std::string("DELETE FROM ") + kCopyStatus + " WHERE tbl = ?")
        .run({paradox::asciiUpper(table)});
}

void WorkingCopySchema::dropFor(const std::string& table) {
    ensureSideTables();
    exec("DROP TABLE IF EXISTS " + originsTable(table));
    exec("DROP TABLE IF EXISTS " + changedRowsTable(table));
    exec("DROP TABLE IF EXISTS " + changedCellsTable(table));
    statements_.get(std::string("DELETE FROM ") + kFieldRules + " WHERE tbl = ?")
        .run({paradox::asciiUpper(table)});
    statements_.get(std::string("DELETE FROM ") + kCopyStatus + " WHERE tbl = ?")
        .run({paradox::asciiUpper(table)});
}

std::string WorkingCopySchema::ensureOrigins(const std::string& table) {
    exec("CREATE TABLE IF NOT EXISTS " + originsTable(table) +
         "(rid INTEGER PRIMARY KEY, offset INTEGER NOT NULL)");
    return "INSERT INTO " + originsTable(table) + " VALUES(?,?)";
}

bool WorkingCopySchema::has(const char* type, const std::string& name, const std::string& ofTable) {
    Statement& s = statements_.get(
        ofTable.empty() ? "SELECT 1 FROM sqlite_master WHERE type = ? AND name = ?"
                        : "SELECT 1 FROM sqlite_master WHERE type = ? AND name = ? AND "
                          "tbl_name = ?");
    s.bindCopy(1, type);
    s.bindCopy(2, name);
    if (!ofTable.empty())
        s.bindCopy(3, ofTable);
    const bool found = s.step();
    s.reset();
    return found;
}

bool WorkingCopySchema::triggerUses(const std::string& name, const std::string& text) {
    Statement& s = statements_.get(
        "SELECT 1 FROM sqlite_master WHERE type = 'trigger' AND name = ? AND instr(sql, ?) > 0");
    s.bindCopy(1, name);
    s.bindCopy(2, text);
    const bool found = s.step();
    s.reset();
    return found;
}

Tracking WorkingCopySchema::tracking(const std::string& table, const std::string& rowid) {
    const std::string key = paradox::asciiUpper(table);
    Tracking t;
    if (rowid != "rowid" && !triggerUses(kChangedRowsTriggerPrefix + key, "new." + rowid))
        return t;
    t.rows = has("table", kChangedRowsPrefix + key, "") &&
             has("trigger", kChangedRowsTriggerPrefix + key, table);
    t.cells = has("table", kChangedCellsPrefix + key, "");
    t.origins = has("trigger", kOriginOnDeletePrefix + key, table) &&
                has("trigger", kOriginOnMovePrefix + key, table);
    return t;
}

void WorkingCopySchema::recordStatus(const std::string& table, const WorkingCopyStatus& st) {
    ensureSideTables();
    statements_
        .get(std::string("INSERT OR REPLACE INTO ") + kCopyStatus +
             "(tbl, created, expected, inserted, failed, leftout) VALUES(?,?,?,?,?,?)")
        .run({paradox::asciiUpper(table), std::to_string(st.created ? 1 : 0),
              std::to_string(st.expected), std::to_string(st.inserted), std::to_string(st.failed),
              std::to_string(st.leftOut)});
}

void WorkingCopySchema::recordFieldRules(const std::string& table,
                                         const std::vector<FieldRule>& rules) {
    ensureSideTables();
    const std::string key = paradox::asciiUpper(table);
    statements_.get(std::string("DELETE FROM ") + kFieldRules + " WHERE tbl = ?").run({key});
    for (std::size_t i = 0; i < rules.size(); ++i)
        statements_.get(std::string("INSERT INTO ") + kFieldRules + " VALUES(?,?,?,?,?,?)")
            .run({key, std::to_string(i), std::to_string(static_cast<int>(rules[i].kind)),
                  std::to_string(rules[i].size), std::to_string(rules[i].codePage),
                  rules[i].reason});
}

std::vector<FieldRule> WorkingCopySchema::fieldRules(const std::string& table,
                                                     std::size_t columns) {
    std::vector<FieldRule> rules;
    if (readOnly_)
        return rules;
    const std::string key = paradox::asciiUpper(table);
    Statement& r = statements_.get(std::string("SELECT col, kind, size, codepage, reason FROM ") +
                                   kFieldRules + " WHERE tbl = ? ORDER BY col");
    r.bindCopy(1, key);
    while (r.step()) {
        const auto col = static_cast<std::size_t>(r.int64(0));
        if (col >= columns)
            continue;
        rules.resize(columns);
        FieldRule& rule = rules[col];
        rule.kind = static_cast<FieldRule::Kind>(r.int64(1));
        rule.size = static_cast<int>(r.int64(2));
        rule.codePage = static_cast<std::uint16_t>(r.int64(3));
        rule.reason = r.text(4);
    }
    r.reset();
    return rules;
}

WorkingCopyStatus WorkingCopySchema::recorded(const std::string& table) {
    ensureSideTables();
    WorkingCopyStatus st;
    Statement& s =
        statements_.get(std::string("SELECT created, expected, inserted, failed, leftout FROM ") +
                        kCopyStatus + " WHERE tbl = ?");
    s.bindCopy(1, paradox::asciiUpper(table));
    if (s.step()) {
        st.recorded = true;
        st.created = s.int64(0) != 0;
        st.expected = s.int64(1);
        st.inserted = s.int64(2);
        st.failed = s.int64(3);
        st.leftOut = s.int64(4);
    }
    s.reset();
    return st;
}

void WorkingCopySchema::countRows(const std::string& table, const std::string& rowid,
                                  bool originsKept, WorkingCopyStatus& st) {
    const auto count = [&](const std::string& text) {
        Statement& c = statements_.get(text);
        const long long n = c.step() ? c.int64(0) : 0;
        c.reset();
        return n;
    };
    st.rowsNow = count("SELECT COUNT(*) FROM " + quoteName(table));
    // Without the triggers (a copy made by an older build) an origin may outlive its row, and
    // only the join tells.
    st.withOrigin = originsKept ? count("SELECT COUNT(*) FROM " + originsTable(table))
                                : count("SELECT COUNT(*) FROM " + quoteName(table) + " JOIN " +
                                        originsTable(table) +
                                        " AS s ON s.rid = " + quoteName(table) + "." + rowid);
}

} // namespace qm::db
