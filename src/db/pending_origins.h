#pragma once

// The origins of rows inserted inside a transaction: nobody else sees those rows yet, so their
// origins wait and go into the origins table many to a statement. Every other use of the
// connection writes them first (flush), and a rollback drops them with their rows (discard).

#include "db/sqlite_statement.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qm::db {

class PendingOrigins {
  public:
    explicit PendingOrigins(StatementCache& statements) : statements_(statements) {}

    // The origin of row rid of the copy table, whose origins table takes singleInsert.
    void add(const std::string& table, const std::string& singleInsert, std::int64_t rid,
             std::int64_t offset);
    void flush();
    void discard() { rows_.clear(); }

  private:
    static constexpr std::size_t kBatch = 100;
    StatementCache& statements_;
    std::vector<std::pair<std::int64_t, std::int64_t>> rows_;
    std::string singleInsert_;
    std::string table_;
};

} // namespace qm::db
