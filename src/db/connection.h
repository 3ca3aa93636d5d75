#pragma once

// The two database connections of the program and the recordsets read through them.
//
// The classes carry the operations the import, the export and the replace run are written
// against, with the provider's enumeration values. The connection string picks the backend:
// the Paradox driver string reaches a folder of Paradox tables through our own reader, the Jet
// string reaches the working database, an SQLite file named dbTemp.mdb.

#include "app/error_report.h"
#include "app/variant.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qm::db {

class RecordFilter;

inline constexpr int adUseServer = 2;
inline constexpr int adUseClient = 3;
inline constexpr int adModeReadWrite = 3;
inline constexpr int adSchemaTables = 20;
inline constexpr int adOpenStatic = 3;
inline constexpr int adLockOptimistic = 3;
inline constexpr int adStateClosed = 0;
inline constexpr int adStateOpen = 1;

inline constexpr const char* kWorkingDatabaseFile = "dbTemp.mdb";

// "PROVIDER=Microsoft.Jet.OLEDB.4.0;Data Source=" + folder + separator + "dbTemp.mdb;JET
// OLEDB:Database Password=". On this platform the separator is '/', so the file reads as
// "/dbTemp.mdb" where Windows had "\dbTemp.mdb".
std::string workingDatabaseConnectionString(const std::string& applicationFolder);
// The working database of the running program, wherever workingDatabasePath() puts it: beside
// the program, or the user's own copy when the program's folder cannot be written.
std::string workingDatabaseConnectionString();
// "Driver={Microsoft Paradox Driver (*.db )};DriverID=538;Fil=Paradox 5.X;DefaultDir=" + folder
// + ";Dbq=" + folder + ";CollatingSequence=ASCII;"
std::string paradoxConnectionString(const std::string& folder);

class Backend;
class Cursor;
class ParadoxBackend;
class ParadoxWriteBack;
class SqliteBackend;

// A connection. Properties are set before open(), as the provider wants them.
class Connection {
  public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setCursorLocation(int location) { cursorLocation_ = location; }
    int cursorLocation() const { return cursorLocation_; }
    void setMode(int mode) { mode_ = mode; }
    int mode() const { return mode_; }
    // What carries out DROP TABLE on a Paradox folder and the Paradox export on the working
    // database (paradox_write_back.h); none by default.
    void setWriteBack(ParadoxWriteBack* writeBack) { writeBack_ = writeBack; }

    void open(const std::string& connectionString);
    // Only 20, the catalogue of tables (TABLE_NAME, TABLE_TYPE).
    std::unique_ptr<Cursor> openSchema(int queryType);
    void close();
    bool isOpen() const { return backend_ != nullptr; }

    // Transactions of the working database, as the provider's BeginTrans/CommitTrans/
    // RollbackTrans. The import wraps its inserts in one so a million records do not each
    // pay for a commit.
    void beginTrans();
    void commitTrans();
    void rollbackTrans();

    Backend& backend() const; // throws ObjectClosed when not open
    // The working database behind a connection opened on it; null for any other (see
    // working_database.h, which callers go through). Throws ObjectClosed when not open.
    SqliteBackend* workingBackend() const;
    // The Paradox folder behind a connection opened on one; null for any other.
    ParadoxBackend* paradoxBackend() const;
    const std::string& connectionString() const { return connectionString_; }

  private:
    int cursorLocation_ = adUseServer;
    int mode_ = 0;
    ParadoxWriteBack* writeBack_ = nullptr;
    std::string connectionString_;
    std::unique_ptr<Backend> backend_;
    SqliteBackend* working_ = nullptr; // backend_, when it is the working database
    ParadoxBackend* folder_ = nullptr; // backend_, when it is a Paradox folder
};

// A recordset: always a static snapshot with an exact record count.
class Recordset {
  public:
    Recordset();
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    void setCursorLocation(int location) { cursorLocation_ = location; }
    int cursorLocation() const { return cursorLocation_; }

    // Takes a snapshot made elsewhere: a working copy or a Paradox table opened through
    // working_database.h, or the catalogue of openSchema.
    void attach(std::unique_ptr<Cursor> cursor);

    bool eof() const;
    void moveNext();
    long recordCount() const;
    int fieldCount() const;
    std::string fieldName(int i) const;
    int fieldType(int i) const; // the provider's data type number
    Variant value(int i) const; // Null for NULL
    // NullToDefault(value(i), "") as text, into a string the caller reuses.
    void text(int i, std::string& out) const;
    // The Paradox record the current row came from (its file offset in the .db); empty when
    // the backend does not know.
    std::optional<std::uint64_t> origin() const;
    // See Cursor::mayHold.
    bool mayHold(RecordFilter& filter) const;
    int state() const { return cursor_ ? adStateOpen : adStateClosed; }
    void close();

  private:
    Cursor& cursor() const; // throws ObjectClosed when closed
    int cursorLocation_ = adUseServer;
    std::unique_ptr<Cursor> cursor_;
};

// The three connection objects of the import and the export, opened in the order whose line
// labels the error reports name: 100 working-database connection object, 102 Paradox connection
// object, 104 recordset object, 106 Paradox cursor location 3, 108 open the Paradox connection on
// the current folder, 110 working-database cursor location 2, 112 mode 3, 114 open the working
// database. Each step runs through the caller's trap.
struct ConnectionSet {
    std::unique_ptr<Connection> working;
    std::unique_ptr<Connection> paradox;
    std::unique_ptr<Recordset> recordset;
};
// writeBack, when given, carries out the write-back's drop and export on the two connections.
[[noreturn]] void objectNotSet();
// The object a step works on: one a failed step never made fails as an unset object variable.
template <class T> T& need(T* object) {
    if (!object)
        objectNotSet();
    return *object;
}

void openConnections(Trap& trap, ConnectionSet& set, const std::string& folder,
                     ParadoxWriteBack* writeBack = nullptr);

// True when the working database holds a user table of that name, ignoring case through upper-
// casing. Opens and closes a connection of its own; failures go to the caller.
bool TableExistsInDbTemp(const std::string& tableName);

} // namespace qm::db
