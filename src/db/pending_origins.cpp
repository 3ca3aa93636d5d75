#include "db/pending_origins.h"

#include "db/working_copy_schema.h"

namespace qm::db {

void PendingOrigins::add(const std::string& table, const std::string& singleInsert,
                         std::int64_t rid, std::int64_t offset) {
    if (singleInsert_ != singleInsert)
        flush();
    singleInsert_ = singleInsert;
    table_ = table;
    rows_.emplace_back(rid, offset);
    if (rows_.size() >= kBatch)
        flush();
}

void PendingOrigins::flush() {
    if (rows_.empty())
        return;
    decltype(rows_) rows;
    rows.swap(rows_);
    rows_.reserve(kBatch);
    std::size_t k = 0;
    if (rows.size() == kBatch) {
        std::string text = "INSERT INTO " + originsTable(table_) + " VALUES(?,?)";
        for (std::size_t i = 1; i < kBatch; ++i)
            text += ",(?,?)";
        Statement& s = statements_.get(text);
        for (std::size_t i = 0; i < kBatch; ++i) {
            s.bindInt64(static_cast<int>(2 * i + 1), rows[i].first);
            s.bindInt64(static_cast<int>(2 * i + 2), rows[i].second);
        }
        s.run();
        k = kBatch;
    }
    for (; k < rows.size(); ++k) {
        Statement& s = statements_.get(singleInsert_);
        s.bindInt64(1, rows[k].first);
        s.bindInt64(2, rows[k].second);
        s.run();
    }
}

} // namespace qm::db
