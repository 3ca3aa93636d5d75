#include "paradox/owner_lock.h"

#include "paradox/durable_files.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qm::paradox::detail {

void OwnerLock::create(const fs::path& path) {
    for (;;) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throwFileError("Cannot create the swap's lock file", path);
        if (::flock(fd_, LOCK_EX) != 0) {
            const int e = errno;
            release();
            throwFileError("Cannot lock the swap's lock file", path, e);
        }
        struct stat held {
        }, named{};
        if (::fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            break;
        release();
    }
    path_ = path;
}

bool OwnerLock::tryTake(const fs::path& path, bool& absent) {
    absent = false;
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        absent = errno == ENOENT;
        if (!absent)
            throwFileError("Cannot open the swap's lock file", path);
        return false;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        release();
        if (e == EWOULDBLOCK)
            return false;
        throwFileError("Cannot lock the swap's lock file", path, e);
    }
    path_ = path;
    return true;
}

void OwnerLock::removeAndRelease() {
    if (!path_.empty())
        ::unlink(path_.c_str());
    release();
}

void OwnerLock::release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    path_.clear();
}

fs::path ownerFileOf(const fs::path& journalOrTemp) {
    std::string name = journalOrTemp.filename().string();
    for (const char* ext : {".tmp", ".swap"})
        if (name.size() > std::strlen(ext) && name.ends_with(ext))
            name.resize(name.size() - std::strlen(ext));
    return journalOrTemp.parent_path() / (name + ".owner");
}

} // namespace qm::paradox::detail
