#pragma once

// The records of one working copy searched, and every hit logged and UPDATEd in the copy, with the
// line labels of the run's error reports (102 to 126).

#include "db/connection.h"
#include "replace/candidates.h"
#include "replace/run_context.h"

#include <cstddef>
#include <string>
#include <vector>

namespace qm {

// The records of one working copy searched through a snapshot, every hit logged and UPDATEd in
// the copy through the working database (steps 102 to 126).
class TableSearch {
  public:
    // records: the table's; candidates: the records its copy holds, when not all.
    TableSearch(RunContext& run, std::size_t index, TableOutcome& outcome, long long records,
                const CandidateRecords* candidates)
        : run_(run), trap_(run.trap), row_(run.in.rows[index].table), table_(row_.name),
          outcome_(outcome), tableRecords_(records), candidates_(candidates),
          own_(index < run.in.rowColumns.size() ? run.in.rowColumns[index] : kEveryColumn),
          everyColumn_(run.in.columns.all() && own_.all()) {}

    // False when the copy could not be opened: then it must not be exported.
    bool open();
    long long records() const { return last_ + 1; }
    void searchRecords();
    void close();

  private:
    static inline const ColumnChoice kEveryColumn;

    // Rows searched, told in the table's records: those left out of the copy were searched
    // already, so the rows stand for their share of the whole.
    long long told(long long rows) const {
        return last_ + 1 > 0 ? rows * tableRecords_ / (last_ + 1) : 0;
    }
    bool searched(int field);
    void searchValue(long record, int field);
    // One find/replace pair on the value; returns true when it changed it.
    bool apply(const Matcher& m, long record, int field, std::string& column, bool changedHere);
    void update(const std::string& column);
    void commitNowAndThen();

    RunContext& run_;
    Trap& trap_;
    const TableRow& row_;
    const std::string& table_;
    TableOutcome& outcome_;
    const long long tableRecords_;
    const CandidateRecords* candidates_;
    const ColumnChoice& own_;
    const bool everyColumn_;
    std::vector<signed char> columnSearched_; // by field index: -1 not yet known
    db::Connection connection_;
    db::Recordset snapshot_;
    long last_ = -1; // the last record's index
    bool inTransaction_ = false;
    long updatesSinceCommit_ = 0;
    std::string value_; // reused: a million rows would otherwise each allocate
    std::string newValue_;
};

} // namespace qm
