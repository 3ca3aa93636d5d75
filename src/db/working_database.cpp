#include "db/working_database.h"

#include "app/error.h"
#include "db/operation_log.h"
#include "db/paradox_backend.h"
#include "db/sqlite_backend.h"

namespace qm::db {

namespace {

void log(Operation::Kind kind, const std::string& table, std::string column = {},
         Params values = {}) {
    if (hasOperationLog())
        logOperation({kind, table, std::move(column), std::move(values)});
}

} // namespace

WorkingDatabase::WorkingDatabase(Connection& connection) : connection_(connection) {
    (void)backend();
}

// Looked up on each call: the connection may have been closed since, and then says so.
SqliteBackend& WorkingDatabase::backend() const {
    SqliteBackend* backend = connection_.workingBackend();
    if (!backend)
        throw Error(code::Unspecified, "The connection is not one to the working database.");
    return *backend;
}

void WorkingDatabase::createCopy(const std::string& table, const std::vector<JetColumn>& columns) {
    if (hasOperationLog()) {
        Params names;
        for (const auto& c : columns)
            names.emplace_back(c.name);
        log(Operation::Kind::CreateCopy, table, {}, std::move(names));
    }
    backend().createCopy(table, columns);
}

void WorkingDatabase::dropCopy(const std::string& table) {
    log(Operation::Kind::DropCopy, table);
    backend().dropCopy(table);
}

void WorkingDatabase::insertRecordValues(const std::string& table, const Params& values,
                                         std::optional<std::uint64_t> origin) {
    if (hasOperationLog())
        log(Operation::Kind::CopyRecord, table, {}, values);
    backend().insertTexts(table, values, origin);
}

void WorkingDatabase::replaceValue(const std::string& table, const std::string& column,
                                   const std::string& newValue, const std::string& oldValue) {
    if (hasOperationLog())
        log(Operation::Kind::ReplaceValue, table, column, {newValue, oldValue});
    backend().replaceValue(table, column, newValue, oldValue);
}

std::unique_ptr<Cursor> WorkingDatabase::openCopy(const std::string& table) {
    log(Operation::Kind::OpenCopy, table);
    return backend().openCopy(table);
}

void WorkingDatabase::exportCopy(const std::string& table, long long count,
                                 const std::string& targetFolder, const std::string& targetFile) {
    if (hasOperationLog())
        log(Operation::Kind::ExportCopy, table, {},
            {std::to_string(count), targetFolder, targetFile});
    backend().exportCopy(table, count, targetFolder, targetFile);
}

void WorkingDatabase::recordFieldRules(const std::string& table,
                                       const std::vector<FieldRule>& rules) {
    backend().recordFieldRules(table, rules);
}

void WorkingDatabase::recordStatus(const std::string& table, const WorkingCopyStatus& status) {
    backend().recordStatus(table, status);
}

WorkingCopyStatus WorkingDatabase::status(const std::string& table) {
    return backend().status(table);
}

void compactWorkingDatabase() {
    try {
        Connection connection;
        connection.setMode(adModeReadWrite);
        connection.open(workingDatabaseConnectionString());
        WorkingDatabase(connection).backend().compact();
    } catch (const std::exception&) {
        // The space is given back by a later run.
    }
}

ParadoxFolder::ParadoxFolder(Connection& connection) : connection_(connection) {
    (void)backend();
}

ParadoxBackend& ParadoxFolder::backend() const {
    ParadoxBackend* backend = connection_.paradoxBackend();
    if (!backend)
        throw Error(code::Unspecified, "The connection is not one to a Paradox folder.");
    return *backend;
}

std::unique_ptr<Cursor> ParadoxFolder::openTable(const std::string& table) {
    log(Operation::Kind::OpenTable, table);
    return backend().openTable(table);
}

void ParadoxFolder::dropTable(const std::string& table) {
    log(Operation::Kind::DropTable, table);
    backend().dropTable(table);
}

} // namespace qm::db
