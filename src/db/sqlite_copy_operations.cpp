// The typed operations of SqliteBackend (sqlite_backend.h): what the import, the replace run and
// the write-back ask of a working copy.

#include "db/sqlite_backend.h"

#include "app/error.h"
#include "db/snapshot_cursor.h"
#include "db/value_checks.h"
#include "paradox/ascii.h"

#include <sqlite3.h>

namespace qm::db {

namespace {

[[noreturn]] void malformed(const std::string& what) {
    throw Error(code::Malformed, what);
}

} // namespace

void SqliteBackend::createCopy(const std::string& name, const std::vector<JetColumn>& columns) {
    writable();
    pendingOrigins_.flush();
    if (columns.empty())
        malformed("Syntax error in CREATE TABLE statement.");
    // Refused before anything is made: the copy's bookkeeping could not name its rows.
    if (rowidName(columns).empty())
        malformed("The table '" + name +
                  "' cannot be made in the working database: " + kRowidNamesTaken + ".");
    {
        // Jet names are unique without regard to case, SQLite's only for ASCII.
        Statement s(db_, "SELECT 1 FROM sqlite_master WHERE upper(name) = ?");
        s.bindCopy(1, paradox::asciiUpper(name));
        if (s.step())
            malformed("Table '" + name + "' already exists.");
    }
    // Made before the step's transaction, so that a rolled-back step cannot take them along.
    bookkeeping_.ensureSideTables();
    Savepoint step(db_);
    std::string out = "CREATE TABLE " + quoteName(name) + "(";
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const JetColumn& c = columns[k];
        out += (k ? ", " : "") + quoteName(c.name) + " " + declaredType(c.type, c.size);
    }
    exec(out + ")");
    forget(name);
    bookkeeping_.createFor(name, columns);
    step.release();
    forget(name); // what is known of it now includes its triggers
}

void SqliteBackend::dropCopy(const std::string& name) {
    writable();
    pendingOrigins_.flush();
    const std::string stored = table(name).name;
    bookkeeping_.ensureSideTables();
    Savepoint step(db_);
    exec("DROP TABLE " + quoteName(stored));
    forget(stored);
    bookkeeping_.dropFor(stored);
    step.release();
}

void SqliteBackend::keepDeletedBytes() {
    if (deletedBytesKept_)
        return;
    // This SQLite build overwrites every value an UPDATE replaces with zeros, a memset of page
    // size for each changed index entry. The run's connection leaves them; the copy's pages are
    // still wiped when another connection drops the copy after its write-back.
    {
        Statement before(db_, "PRAGMA secure_delete");
        secureDeleteBefore_ = before.step() ? before.text(0) : "1";
    }
    exec("PRAGMA secure_delete=OFF");
    deletedBytesKept_ = true;
}

const SqliteBackend::ReplaceTexts&
SqliteBackend::replaceTexts(const TableInfo& info, const std::string& name, std::size_t column) {
    const std::string key = name + '\x1f' + std::to_string(column);
    if (auto it = replaceTexts_.find(key); it != replaceTexts_.end())
        return it->second;
    ReplaceTexts texts;
    const std::string columnName = quoteName(info.columns[column].name);
    texts.target = quoteName(name);
    texts.set = "UPDATE " + texts.target + " SET " + columnName + " = ?";
    texts.condition = "(" + columnName + " = ?)";
    if (info.tracking.cells) {
        // Each record's change was computed from its own old value: a row that already took a
        // change in this column must not take another record's as well.
        texts.condition += " AND NOT EXISTS (SELECT 1 FROM " + info.cellsTable +
                           " AS q WHERE q.rid = " + texts.target + "." + rowidOf(info) +
                           " AND q.col = " + std::to_string(column) + ")";
    }
    return replaceTexts_.emplace(key, std::move(texts)).first->second;
}

void SqliteBackend::replaceValue(const std::string& name, const std::string& column,
                                 const std::string& newValue, const std::string& oldValue) {
    writable();
    pendingOrigins_.flush();
    keepDeletedBytes();
    const TableInfo& info = table(name);
    std::optional<std::size_t> at;
    for (std::size_t c = 0; c < info.columns.size(); ++c)
        if (paradox::equalsIgnoringAsciiCase(info.columns[c].name, column))
            at = c;
    if (!at)
        throw Error(code::Unspecified, "No value given for one or more required parameters.");
    const JetColumn& target = info.columns[*at];
    checkValue(target, newValue, true);
    if (*at < info.rules.size()) {
        const std::string why = refusal(info.rules[*at], newValue);
        if (!why.empty())
            throw Error(code::TooLong, "The field " + target.name + " of " + info.name +
                                           " cannot take the value '" + newValue + "': " + why +
                                           ".");
    }
    // Only a text column is compared with the text the rows held.
    if (isNumericType(target.type) || target.type == JetType::DateTime)
        typeMismatch();
    if (isComparedAsText(target.type))
        ensureIndex(info, *at);
    const ReplaceTexts& texts = replaceTexts(info, name, *at);
    const Params params{newValue, oldValue};
    if (!info.rowid.empty() &&
        updateOneRow(texts.set, texts.target, info.rowid, texts.condition, params, 1))
        return;
    run(texts.set + " WHERE " + texts.condition, params);
}

std::unique_ptr<Cursor> SqliteBackend::openCopy(const std::string& name) {
    pendingOrigins_.flush();
    const TableInfo& info = table(name);
    std::vector<int> types;
    for (const auto& c : info.columns)
        types.push_back(adoType(c.type));
    const std::string every = "SELECT * FROM " + quoteName(name);
    // Rows come in the order they were inserted, the table's record order, even when an index
    // would cover the columns and hand them back sorted. The reader sees what is committed: rows
    // of a transaction still open on this connection are not in the snapshot.
    return std::make_unique<SnapshotCursor>(
        file_, every + " ORDER BY " + quoteName(info.name) + "." + rowidOf(info), every, Params{},
        std::move(types));
}

void SqliteBackend::exportCopy(const std::string& name, long long count,
                               const std::string& targetFolder, const std::string& targetFile) {
    pendingOrigins_.flush();
    ParadoxExportRequest request;
    request.count = count;
    request.targetFolder = targetFolder;
    request.targetFile = targetFile;
    request.sourceTable = table(name).name;
    request.workingDatabase = file_;
    if (!writeBack_)
        throw Error(code::Unspecified, "The Paradox 5.x export is not available in this build; "
                                       "nothing was written.");
    writeBack_->exportTable(request);
}

bool SqliteBackend::compact() {
    if (readOnly_)
        return false;
    pendingOrigins_.flush();
    statements_.clear(); // VACUUM waits for no statement of its own connection
    sqlite3_busy_timeout(db_, 0);
    const bool done = sqlite3_exec(db_, "VACUUM", nullptr, nullptr, nullptr) == SQLITE_OK &&
                      sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr,
                                   nullptr) == SQLITE_OK;
    sqlite3_busy_timeout(db_, 5000);
    return done;
}

} // namespace qm::db
