#include "db/import.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "db/field_rules.h"
#include "db/import_prints.h"
#include "db/paradox_backend.h"
#include "db/working_database.h"

#include <cctype>

namespace qm::db {

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

std::string typeClause(int adoType) {
    const std::string name = lower(AdoTypeName(adoType).toString());
    const auto has = [&](const char* s) { return name.find(s) != std::string::npos; };
    if (has("adlongvarbinary"))
        return "` OLEOBJECT,";
    if (has("longvar"))
        return "` MEMO,";
    if (has("char"))
        return "` TEXT,";
    if (has("decimal"))
        return "` DECIMAL,";
    if (has("single"))
        return "` DOUBLE,";
    if (has("int"))
        return "` INT,";
    if (has("numeric"))
        return "` NUMERIC,";
    if (has("date"))
        return "` DATETIME,";
    if (has("timestamp"))
        return "` DATETIME,";
    if (has("double"))
        return "` FLOAT,";
    return "` TEXT,";
}

WorkingCopyStatus sendTableToAccess(UserInterface& ui, const CurrentFolder& folder,
                                    const std::string& tableName) {
    Trap trap(ui, where::paradox("sendTableToAccess"));
    // A full disk would otherwise fail, and report, every record of the table in turn.
    trap.propagateStorageFailures();
    ConnectionSet c;
    openConnections(trap, c, folder.get());
    Connection* working = c.working.get();
    Connection* paradox = c.paradox.get();
    Recordset* rs = c.recordset.get();
    const auto need = [](auto* object) -> auto& {
        if (!object)
            throw Error(code::Unspecified, "Object variable or With block variable not set.");
        return *object;
    };

    WorkingCopyStatus status;
    bool exists = trap.test(116, [&] { return TableExistsInDbTemp(tableName); });
    if (exists)
        trap.step(118, [&] { need(working).execute("DROP TABLE `" + tableName + "`"); });
    // What the table looks like before a record is read: the write-back replaces it only while it
    // is still exactly that.
    std::optional<std::filesystem::path> dbFile;
    try {
        dbFile = findTableFile(folder.get(), tableName);
        notePrintBeforeImport(*dbFile);
    } catch (const std::exception&) {
        // The open below fails on the same table and is reported.
    }
    bool opened =
        trap.step(120, [&] { need(rs).open("SELECT * FROM `" + tableName + "`", need(paradox)); });

    std::string statement;
    trap.step(122, [&] { statement = "CREATE TABLE `" + tableName + "`("; });
    int fieldCount = 0;
    trap.step(124, [&] { fieldCount = need(rs).fieldCount(); });
    for (int i = 0; i < fieldCount; ++i) {
        trap.step(126, [&] { ui.processEvents(); });
        std::string name;
        trap.step(128, [&] { name = need(rs).fieldName(i); });
        int type = 0;
        trap.step(130, [&] { type = need(rs).fieldType(i); });
        trap.step(132, [&] { statement += "`" + name + typeClause(type); });
    }
    trap.step(176, [&] {
        if (!statement.empty())
            statement.pop_back();
    });
    trap.step(178, [&] { statement += ");"; });
    status.created = trap.step(182, [&] { need(working).execute(statement); });

    long last = -1;
    const bool counted = trap.step(184, [&] { last = need(rs).recordCount() - 1; });
    status.expected = last + 1;
    // One transaction around the inserts: the statements stay one per record, but a million of
    // them do not each wait for the disk.
    constexpr long kRecordsPerCommit = 32768;
    const bool inTransaction = status.created && working && working->isOpen() &&
                               trap.step(186, [&] { working->beginTrans(); });
    // The working database is given each row's values beside its statement, which it would
    // otherwise read back out of the text; the text is still built and logged as it stands. A
    // name with a back quote cannot be read back the same way, so its statements go as text.
    std::optional<WorkingDatabase> direct;
    if (working && working->isOpen() && working->workingBackend() && fieldCount > 0 &&
        tableName.find('`') == std::string::npos)
        direct.emplace(*working);
    std::vector<std::optional<std::string>> values(static_cast<std::size_t>(fieldCount));
    // Handed over as values, a statement is only text for whoever logs statements; with nobody
    // listening, a million of them are not built at all. The steps keep their line numbers.
    const bool buildText = !direct || Connection::hasStatementLog();
    for (long j = 0; j <= last; ++j) {
        if (inTransaction && j > 0 && j % kRecordsPerCommit == 0) {
            // A transaction larger than the page cache spills its pages to the log and writes
            // them again at the commit; commits in runs keep every page written once.
            trap.step(186, [&] {
                working->commitTrans();
                working->beginTrans();
            });
        }
        trap.step(188, [&] { ui.processEvents(); });
        trap.step(190, [&] {
            if (buildText)
                statement = "INSERT INTO `" + tableName + "` VALUES('";
        });
        // A value that cannot be read would leave the text of another value in its place: the
        // record is not inserted then, and counts as lost.
        bool readable = true;
        for (int k = 0; k < fieldCount; ++k) {
            trap.step(194, [&] { ui.processEvents(); });
            std::optional<std::string>& value = values[static_cast<std::size_t>(k)];
            value.reset();
            std::string text;
            if (!trap.step(196, [&] {
                    // NullToDefault(value, "") as text; Null reads as the empty text, and the
                    // value is copied once rather than three times.
                    Variant v = need(rs).value(k);
                    // v is ours: its text is taken rather than copied.
                    text =
                        v.isText() ? std::move(const_cast<std::string&>(v.text())) : v.toString();
                }))
                readable = false;
            if (text.empty()) {
                trap.step(200, [&] {
                    if (buildText)
                        statement.pop_back();
                });
                trap.step(202, [&] {
                    if (buildText)
                        statement += "NULL, '";
                });
            } else {
                std::string plain; // the value before its apostrophes were doubled
                trap.step(204, [&] {
                    if (!buildText || text.find('\'') == std::string::npos)
                        return;
                    std::string doubled;
                    doubled.reserve(text.size() + 4);
                    for (char ch : text) {
                        doubled += ch;
                        if (ch == '\'')
                            doubled += '\'';
                    }
                    plain = text;
                    text.swap(doubled);
                });
                trap.step(206, [&] {
                    if (!buildText)
                        return;
                    statement += text;
                    statement += "', '";
                });
                value = plain.empty() ? std::move(text) : std::move(plain);
            }
        }
        trap.step(210, [&] {
            if (buildText)
                statement.resize(statement.size() >= 3 ? statement.size() - 3 : 0);
        });
        trap.step(212, [&] {
            if (buildText)
                statement += ")";
        });
        bool inserted = false;
        if (readable) {
            inserted = trap.step(216, [&] {
                const std::optional<std::uint64_t> origin = need(rs).origin();
                if (direct && working->isOpen()) {
                    if (buildText)
                        Connection::logStatement(working->connectionString(), statement);
                    direct->insertRecordValues(tableName, values, origin);
                } else {
                    WorkingDatabase(need(working)).insertRecord(statement, origin);
                }
            });
        }
        if (inserted)
            ++status.inserted;
        else
            ++status.failed;
        trap.step(218, [&] { need(rs).moveNext(); });
    }
    if (inTransaction)
        trap.step(220, [&] { working->commitTrans(); });
    if (!opened || !counted)
        ++status.failed;
    // What the write-back needs to know: the count the table had and what arrived.
    if (status.created)
        trap.step(220, [&] {
            WorkingDatabase database(need(working));
            status.recorded = true;
            database.recordFieldRules(tableName,
                                      fieldRulesFor(findTableFile(folder.get(), tableName)));
            database.recordStatus(tableName, status);
            status = database.status(tableName);
        });
    trap.step(222, [&] { need(rs).close(); });
    if (dbFile)
        notePrintAfterImport(*dbFile);
    trap.step(224, [&] { need(working).close(); });
    trap.step(226, [&] { need(paradox).close(); });
    return status;
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
