#include "app/installation.h"

#include "app/common.h"
#include "app/error.h"
#include "platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qm {

namespace fs = std::filesystem;

namespace {

constexpr const char* kWorkingDatabase = "dbTemp.mdb";
constexpr const char* kSamples = "Samples";

bool writable(const fs::path& p) {
    platform::FileStatus st;
    if (platform::status(p, st) != 0)
        return false;
    return (st.mode & 0222) != 0 && platform::writeAccess(p) == 0;
}

[[noreturn]] void cannotCopy(const fs::path& from, const fs::path& to, const std::string& why) {
    throw Error(code::PathFileAccess, "Cannot make your own copy of " + from.string() + " in " +
                                          to.string() + ": " + why);
}

// The user's data folder, made private to the user when it is made here.
fs::path makeUserDataFolder() {
    const fs::path folder = userDataFolder();
    std::error_code ec;
    if (fs::is_directory(folder, ec))
        return folder;
    fs::create_directories(folder.parent_path(), ec);
    if (const int e = platform::makeFolder(folder, 0700))
        throw Error(code::PathFileAccess,
                    "Cannot create the folder " + folder.string() + ": " + std::strerror(e));
    return folder;
}

// A copy made under a temporary name and renamed into place, so that a copy cut short is never
// taken for a whole one; whoever renames first wins, the other's copy is dropped.
template <class Copy> void copyIntoPlace(const fs::path& from, const fs::path& to, Copy copy) {
    const fs::path part = to.parent_path() / ("." + to.filename().string() + ".part-" +
                                              std::to_string(platform::processId()));
    std::error_code ec;
    fs::remove_all(part, ec);
    try {
        copy(from, part);
    } catch (const fs::filesystem_error& e) {
        fs::remove_all(part, ec);
        cannotCopy(from, to, e.code().message());
    }
    if (const int e = platform::renameFile(part, to)) {
        fs::remove_all(part, ec);
        if (!fs::exists(to, ec))
            cannotCopy(from, to, std::strerror(e));
    }
}

} // namespace

fs::path userDataFolder() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = fs::path(home) / ".local" / "share";
    else
        base = fs::temp_directory_path();
    return base / "Quillmend";
}

bool applicationFolderWritable() {
    const fs::path app = applicationFolder();
    if (!writable(app))
        return false;
    std::error_code ec;
    const fs::path db = app / kWorkingDatabase;
    return !fs::exists(db, ec) || writable(db);
}

fs::path workingDatabasePath() {
    const fs::path shipped = fs::path(applicationFolder()) / kWorkingDatabase;
    if (applicationFolderWritable())
        return shipped;
    const fs::path own = userDataFolder() / kWorkingDatabase;
    std::error_code ec;
    if (fs::exists(own, ec) || !fs::is_regular_file(shipped, ec))
        return own;
    copyIntoPlace(shipped, makeUserDataFolder() / kWorkingDatabase,
                  [](const fs::path& from, const fs::path& to) {
                      fs::copy_file(from, to);
                      fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write);
                  });
    return own;
}

std::string samplesFolder() {
    const fs::path shipped = fs::path(applicationFolder()) / kSamples;
    std::error_code ec;
    if (applicationFolderWritable() || !fs::is_directory(shipped, ec))
        return shipped.string();
    const fs::path own = userDataFolder() / kSamples;
    if (!fs::exists(own, ec))
        copyIntoPlace(
            shipped, makeUserDataFolder() / kSamples, [](const fs::path& from, const fs::path& to) {
                fs::copy(from, to, fs::copy_options::recursive);
                // The shipped files are read-only; the user's copy is there to change.
                for (const auto& e : fs::recursive_directory_iterator(to))
                    fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
                fs::permissions(to, fs::perms::owner_all, fs::perm_options::add);
            });
    return own.string();
}

} // namespace qm
