#include "db/table_facts.h"

#include "paradox/table.h"

namespace qm::db {

TableFacts tableFacts(const std::filesystem::path& tableFile) {
    TableFacts facts;
    try {
        const auto table = paradox::Table::open(tableFile);
        facts.records = table.recordCount();
        facts.level = table.header().levelName();
        facts.codePage = table.codePage();
        facts.read = true;
    } catch (const paradox::EncryptedTableError& e) {
        facts.encrypted = true;
        facts.why = e.what();
    } catch (const std::exception& e) {
        facts.why = e.what();
    }
    return facts;
}

} // namespace qm::db
