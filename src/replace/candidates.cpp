#include "replace/candidates.h"

#include "paradox/table.h"

#include <cstring>

namespace qm {

using paradox::FieldType;

const std::string& textFormAlphabet(FieldType type) {
    static const std::string none;
    static const std::string integer = "-0123456789";
    static const std::string real = "-+.0123456789einfa"; // shortest forms, inf and nan
    static const std::string time = "-:.0123456789";
    static const std::string timestamp = "- :.0123456789";
    static const std::string logical = "TrueFals";
    static const std::string bcd = "-.0123456789?"; // '?' for a nibble that is no digit
    switch (type) {
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Autoinc:
    case FieldType::Date:
        return integer;
    case FieldType::Money:
    case FieldType::Number:
        return real;
    case FieldType::Time:
        return time;
    case FieldType::Timestamp:
        return timestamp;
    case FieldType::Logical:
        return logical;
    case FieldType::Bcd:
        return bcd;
    default:
        return none;
    }
}

namespace {

// Every byte decodes: ASCII always does, the rest as the code page says.
bool readable(std::span<const std::uint8_t> bytes, const CodePageBytes& page) {
    if (page.allValid)
        return true;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, bytes.data() + i, 8);
        if ((w & 0x8080808080808080ULL) == 0)
            continue;
        for (std::size_t j = i; j < i + 8; ++j)
            if (!page.valid[bytes[j]])
                return false;
    }
    for (; i < bytes.size(); ++i)
        if (!page.valid[bytes[i]])
            return false;
    return true;
}

} // namespace

CandidateRecords::CandidateRecords(const std::vector<Matcher>& matchers,
                                   const ColumnChoice& columns, const ColumnChoice& own)
    : matchers_(matchers), columns_(columns), own_(own) {}

bool CandidateRecords::searched(const std::string& column) const {
    return columns_.includes(column) && own_.includes(column);
}

void CandidateRecords::prepare(const paradox::Table& table) {
    prepared_ = true;
    page_ = &codePageBytes(table.codePage());
    bytesTell_ = page_->oneToOne;
    for (const Matcher& m : matchers_) {
        needles_.emplace_back(m, *page_);
        if (needles_.back().kind() == StoredNeedle::Kind::Anything)
            bytesTell_ = false;
    }
    for (const auto& f : table.fields()) {
        FieldPlan p;
        p.searched = searched(f.name);
        if (!paradox::hasTextForm(f.type)) {
            p.kind = Kind::NoText;
        } else if (f.type == FieldType::Alpha || f.type == FieldType::Memo) {
            p.kind = Kind::Stored;
            p.memo = f.type == FieldType::Memo;
        } else {
            p.kind = f.type == FieldType::Timestamp ? Kind::Timestamp : Kind::Form;
            for (const Matcher& m : matchers_)
                p.formMayHit = p.formMayHit || findFitsAlphabet(m, textFormAlphabet(f.type));
        }
        plan_.push_back(p);
    }
}

bool CandidateRecords::mayHit(const paradox::Table& table, std::span<const std::uint8_t> record) {
    if (!prepared_)
        prepare(table);
    if (!bytesTell_ || matchers_.empty())
        return !matchers_.empty();
    const auto& fields = table.fields();
    bool may = false;
    for (std::size_t k = 0; k < plan_.size() && k < fields.size(); ++k) {
        const FieldPlan& p = plan_[k];
        switch (p.kind) {
        case Kind::NoText:
            break;
        case Kind::Form:
            may = may || (p.searched && p.formMayHit);
            break;
        case Kind::Timestamp:
            // Read to find the out-of-range values the import would fail on.
            (void)table.decode(k, record);
            may = may || (p.searched && p.formMayHit);
            break;
        case Kind::Stored: {
            const auto stored = table.storedText(k, record, scratch_);
            if (stored.empty())
                break; // Null
            if (!readable(stored, *page_))
                return true; // the import reports it
            if (p.searched && !may)
                for (const auto& n : needles_)
                    if (n.mayOccur(stored)) {
                        may = true;
                        break;
                    }
            break;
        }
        }
        // Past a possible hit only the reading of the remaining values could still matter, and
        // the import reads them anyway.
        if (may)
            return true;
    }
    return false;
}

bool CandidateRecords::hits(const std::vector<std::string>& fieldNames,
                            const std::vector<std::optional<std::string>>& values) {
    if (searchedByIndex_.size() < values.size())
        searchedByIndex_.resize(values.size(), -1);
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (!values[k] || values[k]->empty())
            continue;
        if (searchedByIndex_[k] < 0)
            searchedByIndex_[k] = k < fieldNames.size() && searched(fieldNames[k]);
        if (!searchedByIndex_[k])
            continue;
        for (const Matcher& m : matchers_)
            if (m.apply(*values[k], out_) != Matcher::Result::Miss)
                return true; // a hit, or a value the run will name as given up
    }
    return false;
}

} // namespace qm
