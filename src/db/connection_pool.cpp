#include "db/connection_pool.h"

#include <sqlite3.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qm::db::pool {

namespace {

struct Pool {
    std::mutex mutex;
    std::map<std::string, int> held; // file -> holds
    std::map<std::pair<std::string, int>, std::vector<sqlite3*>> idle;
};

Pool& pool() {
    static Pool p;
    return p;
}

std::string key(const std::filesystem::path& file) {
    return file.lexically_normal().string();
}

} // namespace

sqlite3* take(const std::filesystem::path& file, int flags) {
    Pool& p = pool();
    std::lock_guard guard(p.mutex);
    auto it = p.idle.find({key(file), flags});
    if (it == p.idle.end() || it->second.empty())
        return nullptr;
    sqlite3* db = it->second.back();
    it->second.pop_back();
    return db;
}

void give(const std::filesystem::path& file, int flags, sqlite3* db) {
    if (!db)
        return;
    {
        Pool& p = pool();
        std::lock_guard guard(p.mutex);
        const std::string k = key(file);
        // A connection left inside a transaction would hold the file's locks for the next user.
        if (p.held.count(k) && sqlite3_get_autocommit(db) && !sqlite3_next_stmt(db, nullptr)) {
            p.idle[{k, flags}].push_back(db);
            return;
        }
    }
    sqlite3_close(db);
}

void hold(const std::filesystem::path& file) {
    Pool& p = pool();
    std::lock_guard guard(p.mutex);
    ++p.held[key(file)];
}

void release(const std::filesystem::path& file) {
    std::vector<sqlite3*> closing;
    {
        Pool& p = pool();
        std::lock_guard guard(p.mutex);
        const std::string k = key(file);
        if (auto it = p.held.find(k); it != p.held.end() && --it->second > 0)
            return;
        p.held.erase(k);
        for (auto it = p.idle.begin(); it != p.idle.end();)
            if (it->first.first == k) {
                closing.insert(closing.end(), it->second.begin(), it->second.end());
                it = p.idle.erase(it);
            } else {
                ++it;
            }
    }
    for (sqlite3* db : closing)
        sqlite3_close(db);
}

} // namespace qm::db::pool
