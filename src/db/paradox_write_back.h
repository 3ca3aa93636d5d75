#pragma once

// The two statements of the write-back that the connections recognise but that the Paradox
// writer carries out: DROP TABLE on a Paradox folder (the table's files are moved aside, never
// deleted) and the Paradox 5.x export of a working copy. A connection is given what carries them
// out (Connection::setWriteBack); without it both statements fail with a clear message and change
// nothing.

#include <filesystem>
#include <string>

namespace qm::db {

struct ParadoxDropRequest {
    std::filesystem::path folder; // the folder of the Paradox connection, as given
    std::string tableName;        // as the statement names it
    std::filesystem::path dbFile; // the table's .db, found without regard to case
};

// select top N * into [Paradox 5.x;Database=<folder>].[<file>] from [<table>]
struct ParadoxExportRequest {
    std::string sourceTable;  // the working copy
    long long count = -1;     // N, or -1 without TOP
    std::string targetFolder; // after "Database=", as written
    std::string targetFile;   // "T.db"
    std::filesystem::path workingDatabase;
};

class ParadoxWriteBack {
  public:
    virtual ~ParadoxWriteBack() = default;
    virtual void dropTable(const ParadoxDropRequest& request) = 0;
    virtual void exportTable(const ParadoxExportRequest& request) = 0;
};

} // namespace qm::db
