#include "replace/worked_tables.h"

#include "paradox/ascii.h"
#include "platform/files.h"

namespace qm {

namespace fs = std::filesystem;

bool WorkedTables::keysOf(const fs::path& db, FileKey& file, NameKey& name) {
    platform::FileStatus link, st, folder;
    if (platform::linkStatus(db, link) != 0 || platform::status(db, st) != 0)
        return false;
    fs::path real = db;
    if (link.symlink) {
        std::error_code ec;
        real = fs::canonical(db, ec);
        if (ec)
            return false;
    }
    const fs::path parent = real.parent_path().empty() ? fs::path(".") : real.parent_path();
    if (platform::status(parent, folder) != 0)
        return false;
    file = {st.device, st.inode};
    // The file's own identity changes when a write-back renames new files into place; the
    // folder's does not.
    name = {folder.device, folder.inode, paradox::asciiUpper(real.filename().string())};
    return true;
}

const std::string* WorkedTables::find(const fs::path& db) const {
    FileKey file;
    NameKey name;
    if (!keysOf(db, file, name))
        return nullptr;
    if (const auto it = byFile_.find(file); it != byFile_.end())
        return &it->second;
    if (const auto it = byName_.find(name); it != byName_.end())
        return &it->second;
    return nullptr;
}

void WorkedTables::add(const fs::path& db, const std::string& row) {
    FileKey file;
    NameKey name;
    if (!keysOf(db, file, name))
        return;
    byFile_.emplace(file, row);
    byName_.emplace(std::move(name), row);
}

} // namespace qm
