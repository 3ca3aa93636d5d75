#pragma once

// The tables a run has worked on, each known by its file's identity and by its folder's with
// its name: a folder reached twice through a link lists the same table twice, and a second pass
// would change it again. A lookup costs two status calls however many tables came before.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>

namespace qm {

class WorkedTables {
  public:
    // The row that named the same table first (its text as add() got it), or null.
    const std::string* find(const std::filesystem::path& db) const;
    void add(const std::filesystem::path& db, const std::string& row);

  private:
    using FileKey = std::pair<std::uint64_t, std::uint64_t>; // device, inode
    using NameKey = std::tuple<std::uint64_t, std::uint64_t, std::string>;
    // A table whose files are links is known by the folder they lead to.
    static bool keysOf(const std::filesystem::path& db, FileKey& file, NameKey& name);

    std::map<FileKey, std::string> byFile_;
    std::map<NameKey, std::string> byName_;
};

} // namespace qm
