#pragma once

// Work that the connections recognise but that the Paradox writer carries out: dropping a
// Paradox table (its files are moved aside, never deleted) and the Paradox 5.x export of the
// working copy. The write-back installs both; without them the statements fail with a clear
// message and change nothing.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace qm::db {

struct ParadoxDropRequest {
    std::filesystem::path folder; // the folder of the Paradox connection, as given
    std::string tableName;        // as the statement names it
    std::filesystem::path dbFile; // the table's .db, found without regard to case
};
using ParadoxDropHandler = std::function<void(const ParadoxDropRequest&)>;
void setParadoxDropHandler(ParadoxDropHandler handler);
const ParadoxDropHandler& paradoxDropHandler();

// select top N * into [Paradox 5.x;Database=<folder>].[<file>] from [<table>]
struct ParadoxExportRequest {
    std::string sourceTable;  // the working copy
    long long count = -1;     // N, or -1 without TOP
    std::string targetFolder; // after "Database=", as written
    std::string targetFile;   // "T.db"
    std::filesystem::path workingDatabase;
};
using ParadoxExportHandler = std::function<void(const ParadoxExportRequest&)>;
void setParadoxExportHandler(ParadoxExportHandler handler);
const ParadoxExportHandler& paradoxExportHandler();

} // namespace qm::db
