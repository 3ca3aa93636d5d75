#include "db/import.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "db/field_rules.h"
#include "db/import_prints.h"
#include "db/paradox_backend.h"
#include "db/working_database.h"
#include "paradox/ascii.h"

namespace qm::db {

JetType columnTypeFor(int adoType) {
    const std::string name = paradox::asciiLower(AdoTypeName(adoType).toString());
    const auto has = [&](const char* s) { return name.find(s) != std::string::npos; };
    if (has("adlongvarbinary"))
        return JetType::OleObject;
    if (has("longvar"))
        return JetType::Memo;
    if (has("char"))
        return JetType::Text;
    if (has("decimal"))
        return JetType::Decimal;
    if (has("single"))
        return JetType::Double;
    if (has("int"))
        return JetType::Long;
    if (has("numeric"))
        return JetType::Numeric;
    if (has("date") || has("timestamp"))
        return JetType::DateTime;
    if (has("double"))
        return JetType::Double;
    return JetType::Text;
}

namespace {

// One table copied into the working database, step by step with the line labels its error
// reports name; every step runs through the procedure's trap.
class TableImport {
  public:
    TableImport(UserInterface& ui, const CurrentFolder& folder, const std::string& tableName,
                RecordFilter* filter)
        : ui_(ui), folder_(folder), tableName_(tableName), filter_(filter),
          trap_(ui, where::paradox("sendTableToAccess")) {
        // A full disk would otherwise fail, and report, every record of the table in turn.
        trap_.propagateStorageFailures();
    }

    WorkingCopyStatus run();

  private:
    void dropOlderCopy();
    void notePrintBefore();
    void createCopy();
    void copyRecords();
    void copyRecord();
    // The filter's look at the record as stored.
    bool mayHold();
    // The record's values; false when one could not be read.
    bool readRecord();
    void readValue(int field, bool& readable);
    bool insertRecord();
    void recordWhatArrived();
    void close();

    UserInterface& ui_;
    const CurrentFolder& folder_;
    const std::string& tableName_;
    RecordFilter* filter_;
    std::vector<std::string> names_; // the fields', for the filter
    long record_ = 0;                // the record being copied, from 0
    Trap trap_;
    ConnectionSet connections_;
    Connection* working_ = nullptr;
    Connection* paradox_ = nullptr;
    Recordset* rs_ = nullptr;
    WorkingCopyStatus status_;
    std::optional<std::filesystem::path> dbFile_;
    bool opened_ = false;
    bool counted_ = false;
    std::vector<JetColumn> columns_;
    int fieldCount_ = 0;
    long last_ = -1;
    // The working database of the inserts, once its connection is open.
    std::optional<WorkingDatabase> direct_;
    std::vector<std::optional<std::string>> values_;
};

WorkingCopyStatus TableImport::run() {
    openConnections(trap_, connections_, folder_.get());
    working_ = connections_.working.get();
    paradox_ = connections_.paradox.get();
    rs_ = connections_.recordset.get();
    dropOlderCopy();
    notePrintBefore();
    opened_ = trap_.step(
        120, [&] { need(rs_).attach(ParadoxFolder(need(paradox_)).openTable(tableName_)); });
    createCopy();
    copyRecords();
    recordWhatArrived();
    close();
    return status_;
}

void TableImport::dropOlderCopy() {
    const bool exists = trap_.test(116, [&] { return TableExistsInDbTemp(tableName_); });
    if (exists)
        trap_.step(118, [&] { WorkingDatabase(need(working_)).dropCopy(tableName_); });
}

// What the table looks like before a record is read: the write-back replaces it only while it
// is still exactly that.
void TableImport::notePrintBefore() {
    try {
        dbFile_ = findTableFile(folder_.get(), tableName_);
        notePrintBeforeImport(*dbFile_);
    } catch (const std::exception&) {
        // The open fails on the same table and is reported.
    }
}

void TableImport::createCopy() {
    trap_.step(124, [&] { fieldCount_ = need(rs_).fieldCount(); });
    for (int i = 0; i < fieldCount_; ++i) {
        trap_.step(126, [&] { ui_.processEvents(); });
        std::string name;
        trap_.step(128, [&] { name = need(rs_).fieldName(i); });
        names_.push_back(name);
        int type = 0;
        trap_.step(130, [&] { type = need(rs_).fieldType(i); });
        trap_.step(132, [&] { columns_.push_back({name, columnTypeFor(type), 255}); });
    }
    status_.created =
        trap_.step(182, [&] { WorkingDatabase(need(working_)).createCopy(tableName_, columns_); });
}

void TableImport::copyRecords() {
    counted_ = trap_.step(184, [&] { last_ = need(rs_).recordCount() - 1; });
    status_.expected = last_ + 1;
    // One transaction around the inserts: the statements stay one per record, but a million of
    // them do not each wait for the disk.
    constexpr long kRecordsPerCommit = 32768;
    const bool inTransaction = status_.created && working_ && working_->isOpen() &&
                               trap_.step(186, [&] { working_->beginTrans(); });
    if (working_ && working_->isOpen() && working_->workingBackend())
        direct_.emplace(*working_);
    values_.assign(static_cast<std::size_t>(fieldCount_), std::nullopt);
    for (long j = 0; j <= last_; ++j) {
        if (inTransaction && j > 0 && j % kRecordsPerCommit == 0) {
            // A transaction larger than the page cache spills its pages to the log and writes
            // them again at the commit; commits in runs keep every page written once.
            trap_.step(186, [&] {
                working_->commitTrans();
                working_->beginTrans();
            });
        }
        record_ = j;
        copyRecord();
    }
    if (inTransaction)
        trap_.step(220, [&] { working_->commitTrans(); });
    if (!opened_ || !counted_)
        ++status_.failed;
}

void TableImport::copyRecord() {
    trap_.step(188, [&] { ui_.processEvents(); });
    // Without a copy no record can be left out of it: each counts as lost, as it does when every
    // record is copied, and the end of the run does not call them copied.
    const bool filtering = filter_ && opened_ && status_.created;
    if (filtering && !mayHold()) {
        // A record the filter sees cannot change is not copied; its statements are never made.
        ++status_.leftOut;
        trap_.step(218, [&] { need(rs_).moveNext(); });
        return;
    }
    const bool readable = readRecord();
    if (readable && filtering && !filter_->hits(names_, values_)) {
        ++status_.leftOut;
    } else if (readable && insertRecord()) {
        ++status_.inserted;
        if (filter_)
            filter_->copied(record_);
    } else {
        ++status_.failed;
    }
    trap_.step(218, [&] { need(rs_).moveNext(); });
}

bool TableImport::mayHold() {
    try {
        return need(rs_).mayHold(*filter_);
    } catch (const std::exception&) {
        return true; // it cannot tell: the record goes the usual way, and a fault is met there
    }
}

bool TableImport::readRecord() {
    // A value that cannot be read would leave another value in its place: the record is not
    // inserted then, and counts as lost.
    bool readable = true;
    for (int k = 0; k < fieldCount_; ++k)
        readValue(k, readable);
    return readable;
}

void TableImport::readValue(int k, bool& readable) {
    trap_.step(194, [&] { ui_.processEvents(); });
    std::optional<std::string>& value = values_[static_cast<std::size_t>(k)];
    value.reset();
    std::string text;
    if (!trap_.step(196, [&] {
            // NullToDefault(value, "") as text; Null reads as the empty text, and the value is
            // copied once rather than three times.
            Variant v = need(rs_).value(k);
            // v is ours: its text is taken rather than copied.
            text = v.isText() ? std::move(const_cast<std::string&>(v.text())) : v.toString();
        }))
        readable = false;
    // The empty text goes in as NULL.
    if (!text.empty())
        value = std::move(text);
}

bool TableImport::insertRecord() {
    return trap_.step(216, [&] {
        const std::optional<std::uint64_t> origin = need(rs_).origin();
        if (direct_ && working_->isOpen())
            direct_->insertRecordValues(tableName_, values_, origin);
        else
            WorkingDatabase(need(working_)).insertRecordValues(tableName_, values_, origin);
    });
}

// What the write-back needs to know: the count the table had and what arrived.
void TableImport::recordWhatArrived() {
    if (!status_.created)
        return;
    trap_.step(220, [&] {
        WorkingDatabase database(need(working_));
        status_.recorded = true;
        database.recordFieldRules(tableName_,
                                  fieldRulesFor(findTableFile(folder_.get(), tableName_)));
        database.recordStatus(tableName_, status_);
        status_ = database.status(tableName_);
    });
}

void TableImport::close() {
    trap_.step(222, [&] { need(rs_).close(); });
    if (dbFile_)
        notePrintAfterImport(*dbFile_);
    trap_.step(224, [&] { need(working_).close(); });
    trap_.step(226, [&] { need(paradox_).close(); });
}

} // namespace

WorkingCopyStatus sendTableToAccess(UserInterface& ui, const CurrentFolder& folder,
                                    const std::string& tableName, RecordFilter* filter) {
    return TableImport(ui, folder, tableName, filter).run();
}

WorkingCopyStatus workingCopyStatus(Connection& working, const std::string& tableName) {
    return WorkingDatabase(working).status(tableName);
}

WorkingCopyStatus workingCopyStatus(const std::string& tableName) {
    Connection working;
    working.setMode(adModeReadWrite);
    working.open(workingDatabaseConnectionString());
    return workingCopyStatus(working, tableName);
}

} // namespace qm::db
