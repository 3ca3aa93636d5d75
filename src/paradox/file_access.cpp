#include "paradox/file_access.h"

#include "paradox/writer.h"

#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace qm::paradox {

using platform::FileStatus;

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& p, int e) {
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

} // namespace

std::string accessLost(const FileStatus& old, const FileStatus& now) {
    const unsigned owner = (old.mode >> 6) & 7, members = (old.mode >> 3) & 7,
                   others = old.mode & 7;
    if (now.group != old.group && (members & ~others) != 0)
        return "its group " + platform::groupName(old.group) +
               " cannot be kept (this user may not give files to that group), and its members "
               "would lose access to it";
    if (now.owner != old.owner) {
        // The old owner keeps what the group or everybody gets.
        const unsigned left = platform::userInGroup(old.owner, now.group) ? members : others;
        if ((owner & ~left) != 0)
            return "its owner " + platform::userName(old.owner) +
                   " cannot be kept (only root may give a file to another user), and would lose "
                   "access to it";
    }
    return {};
}

void keepOwnerAndMode(const fs::path& newFile, const FileStatus& old) {
    platform::File file;
    if (const int e = file.open(newFile, platform::File::Read | platform::File::NoFollow))
        fail("Cannot open", newFile, e);
    FileStatus now;
    if (const int e = file.status(now))
        fail("Cannot read the status of", newFile, e);
    if (now.owner != old.owner || now.group != old.group) {
        // Only root gives a file away; a member of the old group may still give it that group.
        if (file.setOwner(old.owner, old.group) != 0 && now.group != old.group)
            (void)file.setOwner(-1, old.group);
        if (const int e = file.status(now))
            fail("Cannot read the status of", newFile, e);
    }
    if (const std::string lost = accessLost(old, now); !lost.empty())
        throw FileError(lost, EPERM);
    // After the change of owner, which clears the set-id bits.
    if (const int e = file.setPermissions(old.mode))
        fail("Cannot set the permissions of", newFile, e);
}

void makePrivateFolder(const fs::path& folder) {
    std::error_code ec;
    if (folder.has_parent_path())
        fs::create_directories(folder.parent_path(), ec);
    if (ec)
        throw FileError("Cannot create the folder \"" + folder.parent_path().string() +
                            "\": " + ec.message(),
                        ec.value());
    if (const int e = platform::makeFolder(folder, 0700))
        fail("Cannot create the folder", folder, e);
    FileStatus st;
    if (const int e = platform::status(folder, st))
        fail("Cannot read the status of", folder, e);
    if (!st.directory)
        throw FileError("\"" + folder.string() + "\" is not a folder.", ENOTDIR);
    // mkdir's mode passes through the umask, and some file systems give their own: set it.
    if (st.mode != 0700 && st.owner == platform::effectiveUser()) {
        if (const int e = platform::setPermissions(folder, 0700))
            fail("Cannot make private the folder", folder, e);
        if (const int e = platform::status(folder, st))
            fail("Cannot read the status of", folder, e);
    }
    if ((st.mode & 077) != 0)
        throw FileError("The folder \"" + folder.string() +
                            "\" cannot be made private to its user: others may read it.",
                        EPERM);
}

} // namespace qm::paradox
