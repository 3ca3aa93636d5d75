#pragma once

// The records of one table that the run can change, told from the rest before anything goes
// into the working copy (db::RecordFilter): a record is a candidate when one of its searched
// values is hit by a find text of the run (the pair, or any of the sets), with the run's search
// options. Every other record is left out of the working copy. That changes nothing the run
// does: every UPDATE names in its WHERE a whole value that a find text hits, in the column it
// searched, so it can match only candidates, and a candidate's values are only ever changed by
// such UPDATEs. A chain of sets (one set's replacement holding another set's find text) is no
// exception: each set is tested against the value as the table held it, and a value an earlier
// set changed belongs to a candidate already.
//
// Most records are told apart by their stored bytes alone (stored_text_search.h); the rest are
// decoded and tested with the run's own matchers.

#include "db/record_filter.h"
#include "replace/matcher.h"
#include "replace/search_options.h"
#include "replace/stored_text_search.h"

#include <string>
#include <vector>

namespace qm {

namespace paradox {
enum class FieldType : std::uint8_t;
}

// A superset of the characters of the text forms of a field type that has no stored text
// (numbers, dates, times, logical values, BCD); empty for Alpha and Memo, and for the types the
// working copy holds no text of.
const std::string& textFormAlphabet(paradox::FieldType type);

class CandidateRecords : public db::RecordFilter {
  public:
    // For one table; the matchers and choices must outlive this object.
    CandidateRecords(const std::vector<Matcher>& matchers, const ColumnChoice& columns,
                     const ColumnChoice& own);

    bool mayHit(const paradox::Table& table, std::span<const std::uint8_t> record) override;
    bool hits(const std::vector<std::string>& fieldNames,
              const std::vector<std::optional<std::string>>& values) override;
    void copied(long long record) override { copied_.push_back(record); }
    // The table's record number (from 1) of a row of the copy (from 0).
    long long recordNumber(long long row) const {
        return row >= 0 && static_cast<std::size_t>(row) < copied_.size()
                   ? copied_[static_cast<std::size_t>(row)] + 1
                   : row + 1;
    }

  private:
    bool searched(const std::string& column) const;
    void prepare(const paradox::Table& table);

    enum class Kind : std::uint8_t {
        NoText,    // the working copy holds Null: never read, never searched
        Stored,    // Alpha or Memo: bytes in the code page
        Form,      // a text form made from a number, date, time, ...
        Timestamp, // a form too, and one whose reading can fail
    };
    struct FieldPlan {
        Kind kind = Kind::NoText;
        bool memo = false;
        bool searched = false;
        bool formMayHit = false; // Form, Timestamp: some find text fits its alphabet
    };

    const std::vector<Matcher>& matchers_;
    const ColumnChoice& columns_;
    const ColumnChoice& own_;
    bool prepared_ = false;
    bool bytesTell_ = false; // stored bytes can rule out a hit (a one-to-one code page)
    const CodePageBytes* page_ = nullptr;
    std::vector<FieldPlan> plan_;
    std::vector<StoredNeedle> needles_;
    std::vector<signed char> searchedByIndex_; // hits(): -1 not yet known
    std::vector<std::uint8_t> scratch_;
    std::string out_;
    std::vector<long long> copied_;
};

} // namespace qm
