#include "db/export.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "db/connection.h"
#include "db/import.h"
#include "db/paradox_backend.h"
#include "db/working_copy_write_back.h"
#include "db/working_database.h"
#include "db/write_back_session.h"

#include <optional>

namespace qm::db {

namespace {

// A copy that lost records must not replace the table: checked before anything is dropped.
std::optional<WriteBack> refusalBeforeDrop(Connection* working, const std::string& tableName) {
    if (!working || !working->isOpen())
        return std::nullopt;
    try {
        const WorkingCopyStatus st = WorkingDatabase(*working).status(tableName);
        if (!st.complete())
            return notWritten(incompleteCopyReason(st));
    } catch (const std::exception& e) {
        return notWritten(std::string("its working copy cannot be read: ") + e.what());
    }
    return std::nullopt;
}

// The drop, the count of the copy's rows and the export (116 to 128), which the session carries
// out; what the export came to.
WriteBack dropAndExport(Trap& trap, ConnectionSet& c, const std::string& folderText,
                        const std::string& tableName, WriteBackSession& session) {
    Connection* working = c.working.get();
    Recordset* rs = c.recordset.get();
    session.forgetDrop();
    (void)session.takeOutcome(tableName);
    trap.step(116, [&] { ParadoxFolder(need(c.paradox.get())).dropTable(tableName); });
    trap.step(118, [&] { need(rs).setCursorLocation(adUseClient); });
    trap.step(120, [&] { need(rs).attach(WorkingDatabase(need(working)).openCopy(tableName)); });
    long count = 0;
    if (trap.test(122, [&] { return !need(rs).eof(); }))
        trap.step(124, [&] { count = need(rs).recordCount(); });
    trap.step(126, [&] {
        if (need(rs).state() != adStateClosed)
            need(rs).close();
    });
    std::string target = CollapseBackslashes(folderText + kSeparator);
    // The collapse keeps two leading separators, as a network name has; an absolute path of
    // this system has one, and a second would follow the path into every name made from it.
    if (target.rfind("//", 0) == 0 && folderText.rfind("//", 0) != 0)
        target.erase(0, 1);
    std::string failure;
    trap.step(128, [&] {
        try {
            WorkingDatabase(need(working)).exportCopy(tableName, count, target, tableName + ".db");
        } catch (const std::exception& e) {
            failure = e.what();
            throw;
        }
    });
    // A drop that got no export leaves the table as it was.
    session.forgetDrop();
    // From here the table may hold its new values: whatever fails now must not say otherwise.
    trap.setFilter(nullptr);
    if (auto outcome = session.takeOutcome(tableName))
        return std::move(*outcome);
    return notWritten(failure.empty() ? "the export did not run" : failure);
}

} // namespace

WriteBack sendTableToParadox(UserInterface& ui, const CurrentFolder& folder,
                             const std::string& tableName, WriteBackSession& session) {
    Trap trap(ui, where::paradox("sendTableToParadox"));
    // Until the export has run, a failure of the working database leaves with the table
    // untouched; the caller says why it was not written back.
    trap.propagateStorageFailures();
    ConnectionSet c;
    const std::string folderText = folder.get();
    openConnections(trap, c, folderText, &session);
    std::optional<WriteBack> refused = refusalBeforeDrop(c.working.get(), tableName);
    WriteBack result =
        refused ? std::move(*refused) : dropAndExport(trap, c, folderText, tableName, session);
    // The working copy goes only when the table got what it held.
    if (result.state != WriteBack::State::NotWritten) {
        if (trap.test(130, [&] { return TableExistsInDbTemp(tableName); }))
            trap.step(132, [&] { WorkingDatabase(need(c.working.get())).dropCopy(tableName); });
    }
    trap.step(134, [&] { need(c.working.get()).close(); });
    trap.step(136, [&] { need(c.paradox.get()).close(); });
    return result;
}

} // namespace qm::db
