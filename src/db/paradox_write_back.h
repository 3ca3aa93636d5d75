#pragma once

// The two steps of the write-back that the connections take but that the Paradox writer carries
// out: a table of a Paradox folder dropped (its files are moved aside, never deleted) and the
// Paradox 5.x export of a working copy. A connection is given what carries them out
// (Connection::setWriteBack); without it both fail with a clear message and change nothing.

#include <filesystem>
#include <string>

namespace qm::db {

struct ParadoxDropRequest {
    std::filesystem::path folder; // the folder of the Paradox connection, as given
    std::string tableName;        // as the caller names it
    std::filesystem::path dbFile; // the table's .db, found without regard to case
};

// The first count rows of a working copy written as <file> in <folder>, as Jet's export
// "select top N * into [Paradox 5.x;Database=<folder>].[<file>] from [<table>]" wrote them.
struct ParadoxExportRequest {
    std::string sourceTable;  // the working copy
    long long count = -1;     // N, or -1 for every row
    std::string targetFolder; // as given
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
