#include "replace/table_search.h"

#include "db/working_database.h"

namespace qm {

bool TableSearch::open() {
    trap_.step(102, [&] { connection_.setMode(db::adModeReadWrite); });
    trap_.step(104, [&] { connection_.open(db::workingDatabaseConnectionString()); });
    const bool opened = trap_.step(
        106, [&] { snapshot_.attach(db::WorkingDatabase(connection_).openCopy(table_)); });
    if (!opened || !connection_.isOpen()) {
        // Never exported: the export would replace the table with what could not be read.
        if (!run_.watch.endedByStorage())
            outcome_.reason = "its working copy could not be opened";
        trap_.step(126, [&] { connection_.close(); });
        return false;
    }
    trap_.step(108, [&] { last_ = snapshot_.recordCount() - 1; });
    run_.progress.searching(table_, 0, tableRecords_, true);
    // The UPDATEs of one table share one transaction, so a hit does not each wait for the
    // disk. The snapshot reads through a connection of its own and does not see them.
    try {
        connection_.beginTrans();
        inTransaction_ = true;
    } catch (const std::exception&) {
        // Without one, each statement commits by itself.
    }
    return true;
}

void TableSearch::searchRecords() {
    try {
        if (trap_.test(110, [&] { return snapshot_.eof(); }))
            return;
        for (long j = 0; j <= last_ && run_.watch.storageFailure.empty(); ++j) {
            run_.ui.checkCancel();
            if ((j & 255) == 0)
                run_.progress.searching(table_, told(j), tableRecords_, false);
            int fields = 0;
            trap_.step(112, [&] { fields = snapshot_.fieldCount(); });
            for (int k = 0; k < fields && run_.watch.storageFailure.empty(); ++k)
                if (searched(k))
                    searchValue(j, k);
            trap_.step(122, [&] { snapshot_.moveNext(); });
        }
    } catch (const Error&) {
        // The working copy keeps the UPDATEs made before the failure.
        if (inTransaction_) {
            try {
                connection_.commitTrans();
            } catch (const std::exception&) {
                // The failure being reported is the one that matters.
            }
        }
        throw;
    }
}

bool TableSearch::searched(int field) {
    if (everyColumn_)
        return true;
    const auto at = static_cast<std::size_t>(field);
    if (at >= columnSearched_.size())
        columnSearched_.resize(at + 1, -1);
    if (columnSearched_[at] < 0) {
        std::string name;
        trap_.step(118, [&] { name = snapshot_.fieldName(field); });
        columnSearched_[at] = run_.in.columns.includes(name) && own_.includes(name);
    }
    return columnSearched_[at] == 1;
}

void TableSearch::searchValue(long record, int field) {
    value_.clear();
    trap_.step(114, [&] { snapshot_.text(field, value_); });
    if (value_.empty())
        return;
    std::string column;
    bool changedHere = false; // by an earlier set of this value
    for (const auto& m : run_.setup.matchers)
        changedHere = apply(m, record, field, column, changedHere) || changedHere;
}

bool TableSearch::apply(const Matcher& m, long record, int field, std::string& column,
                        bool changedHere) {
    auto found = Matcher::Result::Miss;
    trap_.test(116, [&] {
        found = m.apply(value_, newValue_);
        return found != Matcher::Result::Miss;
    });
    if (found == Matcher::Result::Miss)
        return false;
    if (column.empty())
        trap_.step(118, [&] { column = snapshot_.fieldName(field); });
    if (found == Matcher::Result::Abandoned) {
        addLeft(outcome_, column, m.abandonReason(), 1);
        return false;
    }
    if (!run_.options.dryRun && run_.readOnly.empty())
        trap_.step(118, [&] {
            run_.changeLog.write(changeLogLine(m.find(), m.replace(), table_, column) +
                                 run_.setup.changeLogNote);
        });
    ++outcome_.hits;
    RunWatch& watch = run_.watch;
    watch.updateChanges = newValue_ != value_;
    watch.updateRefusal.clear();
    watch.changedEarlier = changedHere;
    update(column);
    if (run_.options.onHit)
        run_.options.onHit(RunHit{table_, row_.folder, column,
                                  candidates_ ? candidates_->recordNumber(record) : record + 1,
                                  value_, newValue_, m.find(), m.replace(),
                                  changedHere ? "an earlier set changed this value first"
                                  : run_.readOnly.empty()
                                      ? watch.updateRefusal
                                      : "the table is not written back: " + run_.readOnly});
    commitNowAndThen();
    return watch.updateChanges && watch.updateRefusal.empty();
}

void TableSearch::update(const std::string& column) {
    RunWatch& watch = run_.watch;
    watch.column = &column;
    watch.inUpdate = true;
    trap_.step(120, [&] {
        db::WorkingDatabase(connection_).replaceValue(table_, column, newValue_, value_);
    });
    watch.inUpdate = false;
    watch.column = nullptr;
}

void TableSearch::commitNowAndThen() {
    constexpr long kUpdatesPerCommit = 16384;
    if (!inTransaction_ || ++updatesSinceCommit_ != kUpdatesPerCommit)
        return;
    // More changed pages than the page cache holds would be written to the log twice; a commit
    // now and then writes each once.
    updatesSinceCommit_ = 0;
    trap_.step(124, [&] {
        connection_.commitTrans();
        connection_.beginTrans();
    });
}

void TableSearch::close() {
    if (inTransaction_ && run_.watch.storageFailure.empty())
        trap_.step(124, [&] { connection_.commitTrans(); });
    trap_.step(124, [&] { snapshot_.close(); });
    trap_.step(126, [&] { connection_.close(); });
}

} // namespace qm
