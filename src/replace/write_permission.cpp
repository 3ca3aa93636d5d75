#include "replace/write_permission.h"

#include "db/paradox_backend.h"
#include "paradox/family_swap.h"
#include "platform/files.h"

#include <cstring>
#include <filesystem>

namespace qm {

namespace fs = std::filesystem;

namespace {

std::string notWritable(const fs::path& p, const char* what) {
    platform::FileStatus st;
    if (platform::status(p, st) != 0)
        return {};
    if ((st.mode & 0222) == 0)
        return std::string(what) + " " + p.string() + " is read-only (no write permission is set)";
    if (const int e = platform::writeAccess(p))
        return std::string(what) + " " + p.string() + " cannot be written: " + std::strerror(e);
    return {};
}

} // namespace

std::string readOnlyReason(const TableRow& row) {
    try {
        return readOnlyReason(db::findTableFile(row.folder, row.name));
    } catch (const std::exception&) {
        // The run itself says what is wrong with a table it cannot find.
        return notWritable(row.folder, "its folder");
    }
}

std::string readOnlyReason(const fs::path& db) {
    if (auto why = notWritable(db.parent_path(), "its folder"); !why.empty())
        return why;
    for (const auto& member : paradox::familyFiles(db))
        if (auto why = notWritable(member, "its file"); !why.empty())
            return why;
    return {};
}

} // namespace qm
