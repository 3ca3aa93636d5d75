#include "db/import_prints.h"

#include "paradox/folder_listing.h"

#include <map>
#include <mutex>

namespace qm::db {

namespace fs = std::filesystem;

namespace {

std::mutex& guard() {
    static std::mutex m;
    return m;
}

std::map<std::string, ImportPrint>& prints() {
    static std::map<std::string, ImportPrint> p;
    return p;
}

std::string key(const fs::path& db) {
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(fs::absolute(db), ec);
    return (ec ? fs::absolute(db) : real).string();
}

std::string reasonFor(const std::string& difference) {
    return std::string(paradox::kChangedDuringRun) + ": " + difference;
}

} // namespace

void notePrintBeforeImport(const fs::path& db) {
    ImportPrint p;
    try {
        p.print = paradox::printFamily(db);
    } catch (const std::exception& e) {
        // The import will fail on the same file and say so; the write-back must not trust it.
        p.changedWhileRead = std::string("its files could not be read: ") + e.what();
    }
    std::lock_guard lock(guard());
    prints()[key(db)] = std::move(p);
}

void notePrintAfterImport(const fs::path& db) {
    const paradox::FreshListing now;
    std::string difference;
    std::optional<ImportPrint> before = importPrint(db);
    if (!before || !before->changedWhileRead.empty())
        return;
    try {
        // Sizes and times: the swap compares every byte with the print taken before.
        difference = paradox::familyDifference(before->print, paradox::printFamily(db, false));
    } catch (const std::exception& e) {
        difference = std::string("its files could not be read: ") + e.what();
    }
    if (difference.empty())
        return;
    std::lock_guard lock(guard());
    prints()[key(db)].changedWhileRead = difference;
}

std::optional<ImportPrint> importPrint(const fs::path& db) {
    std::lock_guard lock(guard());
    const auto it = prints().find(key(db));
    if (it == prints().end())
        return std::nullopt;
    return it->second;
}

std::string changedSinceImport(const fs::path& db) {
    const paradox::FreshListing now;
    const std::optional<ImportPrint> p = importPrint(db);
    if (!p)
        return {};
    if (!p->changedWhileRead.empty())
        return reasonFor(p->changedWhileRead);
    try {
        if (std::string d = paradox::familyDifference(p->print, paradox::printFamily(db, false));
            !d.empty())
            return reasonFor(d);
    } catch (const std::exception& e) {
        return reasonFor(std::string("its files could not be read: ") + e.what());
    }
    return {};
}

} // namespace qm::db
