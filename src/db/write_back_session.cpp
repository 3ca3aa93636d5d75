#include "db/write_back_session.h"

#include "app/error.h"
#include "db/connection.h"
#include "db/paradox_backend.h"
#include "db/sqlite_backend.h"
#include "db/working_copy_write_back.h"
#include "paradox/ascii.h"
#include "paradox/family_swap.h"

namespace qm::db {

namespace fs = std::filesystem;

WriteBackSession::WriteBackSession(fs::path backupRoot, bool preview)
    : backupRoot_(backupRoot.empty() ? paradox::defaultBackupRoot() : std::move(backupRoot)),
      preview_(preview) {}

void WriteBackSession::dropTable(const ParadoxDropRequest& request) {
    dropped_ = fs::absolute(request.dbFile);
}

void WriteBackSession::exportTable(const ParadoxExportRequest& request) {
    std::string stem = request.targetFile;
    if (stem.size() > 3 && paradox::equalsIgnoringAsciiCase(stem.substr(stem.size() - 3), ".db"))
        stem.resize(stem.size() - 3);
    fs::path db;
    try {
        db = findTableFile(request.targetFolder, stem);
    } catch (const Error& e) {
        if (e.code() != code::NoSuchTable)
            throw;
        throw Error(code::Unspecified,
                    "The Paradox table " + request.targetFile + " is not in " +
                        request.targetFolder +
                        "; the export writes changed values back into the table the working "
                        "copy came from and creates no new table.");
    }
    std::error_code ec;
    if (!dropped_ || !fs::equivalent(*dropped_, db, ec))
        throw Error(code::Unspecified, "Table '" + request.targetFile + "' already exists.");
    dropped_.reset();
    SqliteBackend working(request.workingDatabase, adModeReadWrite, nullptr);
    // The write-back walks the copy, its origins and its changed rows in rowid order, each page
    // about once: a cache of a few pages each does it as fast as a large one, and a large one
    // would only add the copy's size to the memory the import and the run already took.
    working.setCacheKiB(1024);
    outcomes_[paradox::asciiUpper(request.sourceTable)] = writeBackWorkingCopy(
        working, request.sourceTable, db, backupRoot_, request.count,
        untestedAccepted_.count(paradox::asciiUpper(request.sourceTable)) > 0, preview_);
}

void WriteBackSession::acceptUntestedValues(const std::string& workingCopy) {
    untestedAccepted_.insert(paradox::asciiUpper(workingCopy));
}

std::optional<WriteBack> WriteBackSession::takeOutcome(const std::string& workingCopy) {
    const auto it = outcomes_.find(paradox::asciiUpper(workingCopy));
    if (it == outcomes_.end())
        return std::nullopt;
    WriteBack out = std::move(it->second);
    outcomes_.erase(it);
    return out;
}

} // namespace qm::db
