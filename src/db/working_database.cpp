#include "db/working_database.h"

#include "app/error.h"
#include "db/sqlite_backend.h"

namespace qm::db {

namespace {

SqliteBackend& workingBackendOf(Connection& connection) {
    SqliteBackend* backend = connection.workingBackend();
    if (!backend)
        throw Error(code::Unspecified, "The connection is not one to the working database.");
    return *backend;
}

} // namespace

WorkingDatabase::WorkingDatabase(Connection& connection) : connection_(connection) {
    (void)backend();
}

// Looked up on each call: the connection may have been closed since, and then says so.
SqliteBackend& WorkingDatabase::backend() const {
    return workingBackendOf(connection_);
}

void WorkingDatabase::insertRecord(const std::string& sql, std::optional<std::uint64_t> origin) {
    Connection::logStatement(connection_.connectionString(), sql);
    backend().insertRecord(sql, origin);
}

void WorkingDatabase::insertRecordValues(const std::string& table, const Params& values,
                                         std::optional<std::uint64_t> origin) {
    backend().insertTexts(table, values, origin);
}

void WorkingDatabase::updateFromSnapshot(const std::string& sql) {
    Connection::logStatement(connection_.connectionString(), sql);
    backend().updateFromSnapshot(sql);
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

} // namespace qm::db
