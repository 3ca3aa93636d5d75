#pragma once

// A folder of Paradox tables reached through our own reader, doing what the ODBC driver did for
// us: a table's records as a static snapshot, and a table dropped (its files moved aside by the
// write-back given to it).

#include "db/backend.h"

#include <filesystem>
#include <string>

namespace qm::paradox {
enum class FieldType : std::uint8_t;
}

namespace qm::db {

// The provider's data type number for a Paradox field type: Alpha 200, Number 5, Money 6,
// Short 2, Long and Autoinc 3, Date 133, Time 134, Timestamp 135, Logical 11, Memo 201, Binary,
// Formatted memo, OLE and Graphic 205, Bytes 128, BCD 131.
int adoTypeOf(paradox::FieldType type);

// The .db file of a table in folder, found as the Windows driver finds it: the name compared
// with each file's name less ".db" without regard to case. NoSuchTable when none; a clear
// error when two files differ only in case.
std::filesystem::path findTableFile(const std::filesystem::path& folder, const std::string& table);

class ParadoxWriteBack;

class ParadoxBackend : public Backend {
  public:
    // Fails with a clear message when the folder does not exist. writeBack carries out the
    // drop; without one the drop fails and the table stays as it is.
    ParadoxBackend(std::string folder, ParadoxWriteBack* writeBack);

    std::unique_ptr<Cursor> schema() override;
    void beginTrans() override;
    void commitTrans() override {}
    void rollbackTrans() override {}

    // A table's records as a snapshot, and a table's files moved aside by the write-back.
    std::unique_ptr<Cursor> openTable(const std::string& table);
    void dropTable(const std::string& table);

    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
    ParadoxWriteBack* writeBack_;
};

} // namespace qm::db
