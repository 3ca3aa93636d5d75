#include "paradox/file_access.h"

#include "paradox/writer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& p, int e = errno) {
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

std::string userName(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found)
        return std::string(found->pw_name) + " (" + std::to_string(uid) + ")";
    return std::to_string(uid);
}

std::string groupName(gid_t gid) {
    std::vector<char> buf(16384);
    group gr{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found)
        return std::string(found->gr_name) + " (" + std::to_string(gid) + ")";
    return std::to_string(gid);
}

// Whether the user uid is a member of group gid, as the system's user database says.
bool inGroup(uid_t uid, gid_t gid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return false;
    if (found->pw_gid == gid)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
        groups.resize(static_cast<std::size_t>(count *= 2));
    groups.resize(static_cast<std::size_t>(count));
    for (gid_t g : groups)
        if (g == gid)
            return true;
    return false;
}

} // namespace

std::string accessLost(const struct stat& old, const struct stat& now) {
    const unsigned owner = (old.st_mode >> 6) & 7, members = (old.st_mode >> 3) & 7,
                   others = old.st_mode & 7;
    if (now.st_gid != old.st_gid && (members & ~others) != 0)
        return "its group " + groupName(old.st_gid) +
               " cannot be kept (this user may not give files to that group), and its members "
               "would lose access to it";
    if (now.st_uid != old.st_uid) {
        // The old owner keeps what the group or everybody gets.
        const unsigned left = inGroup(old.st_uid, now.st_gid) ? members : others;
        if ((owner & ~left) != 0)
            return "its owner " + userName(old.st_uid) +
                   " cannot be kept (only root may give a file to another user), and would lose "
                   "access to it";
    }
    return {};
}

void keepOwnerAndMode(const fs::path& newFile, const struct stat& old) {
    const int fd = ::open(newFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        fail("Cannot open", newFile);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat now {};
    if (::fstat(fd, &now) != 0)
        fail("Cannot read the status of", newFile);
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
        // Only root gives a file away; a member of the old group may still give it that group.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && now.st_gid != old.st_gid)
            (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        if (::fstat(fd, &now) != 0)
            fail("Cannot read the status of", newFile);
    }
    if (const std::string lost = accessLost(old, now); !lost.empty())
        throw FileError(lost, EPERM);
    // After the change of owner, which clears the set-id bits.
    if (::fchmod(fd, old.st_mode & 07777) != 0)
        fail("Cannot set the permissions of", newFile);
}

void makePrivateFolder(const fs::path& folder) {
    std::error_code ec;
    if (folder.has_parent_path())
        fs::create_directories(folder.parent_path(), ec);
    if (ec)
        throw FileError("Cannot create the folder \"" + folder.parent_path().string() +
                            "\": " + ec.message(),
                        ec.value());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        fail("Cannot create the folder", folder);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        fail("Cannot read the status of", folder);
    if (!S_ISDIR(st.st_mode))
        throw FileError("\"" + folder.string() + "\" is not a folder.", ENOTDIR);
    // mkdir's mode passes through the umask, and some file systems give their own: set it.
    if ((st.st_mode & 07777) != 0700 && st.st_uid == ::geteuid()) {
        if (::chmod(folder.c_str(), 0700) != 0)
            fail("Cannot make private the folder", folder);
        if (::stat(folder.c_str(), &st) != 0)
            fail("Cannot read the status of", folder);
    }
    if ((st.st_mode & 077) != 0)
        throw FileError("The folder \"" + folder.string() +
                            "\" cannot be made private to its user: others may read it.",
                        EPERM);
}

} // namespace qm::paradox
