#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace qm::platform {

namespace {

FileStatus fromStat(const struct stat& st) {
    FileStatus s;
    s.regular = S_ISREG(st.st_mode);
    s.directory = S_ISDIR(st.st_mode);
    s.symlink = S_ISLNK(st.st_mode);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.mode = st.st_mode & 07777;
    s.owner = st.st_uid;
    s.group = st.st_gid;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.links = static_cast<std::uint64_t>(st.st_nlink);
    s.modifiedNanoseconds =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

struct flock wholeFile(short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 0; // to the end, however far it grows
    return l;
}

} // namespace

int status(const fs::path& path, FileStatus& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    out = fromStat(st);
    return 0;
}

int linkStatus(const fs::path& path, FileStatus& out) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno;
    out = fromStat(st);
    return 0;
}

bool present(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

File::~File() {
    if (fd_ >= 0)
        ::close(fd_);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int File::open(const fs::path& path, unsigned flags, unsigned permissions) {
    if (fd_ >= 0)
        ::close(fd_);
    int f = O_CLOEXEC;
    if ((flags & Read) && (flags & Write))
        f |= O_RDWR;
    else if (flags & Write)
        f |= O_WRONLY;
    else
        f |= O_RDONLY;
    if (flags & Create)
        f |= O_CREAT;
    if (flags & Truncate)
        f |= O_TRUNC;
    if (flags & Append)
        f |= O_APPEND;
    if (flags & NoFollow)
        f |= O_NOFOLLOW;
    if (flags & NonBlocking)
        f |= O_NONBLOCK;
    if (flags & Directory)
        f |= O_DIRECTORY;
    if (flags & Exclusive)
        f |= O_EXCL;
    fd_ = ::open(path.c_str(), f, static_cast<mode_t>(permissions));
    return fd_ < 0 ? errno : 0;
}

int File::createUnique(std::string& pattern, int suffixLength) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = ::mkostemps(pattern.data(), suffixLength, O_CLOEXEC);
    return fd_ < 0 ? errno : 0;
}

int File::checkOwn(const fs::path& path) {
    struct stat opened {
    }, named{};
    if (::fstat(fd_, &opened) != 0 || ::lstat(path.c_str(), &named) != 0)
        return errno;
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino ||
        !S_ISREG(opened.st_mode) || opened.st_nlink != 1)
        return EEXIST;
    return 0;
}

int File::createNew(const fs::path& path, unsigned permissions, bool read) {
    const unsigned flags = Write | Create | Exclusive | NoFollow | (read ? Read : 0u);
    if (const int e = open(path, flags, permissions))
        return e;
    if (const int e = checkOwn(path)) {
        (void)close();
        return e;
    }
    return 0;
}

int File::openOwn(const fs::path& path, unsigned flags) {
    if (const int e = open(path, (flags | NoFollow) & ~(Create | Exclusive)))
        return e;
    if (const int e = checkOwn(path)) {
        (void)close();
        return e;
    }
    return 0;
}

int File::read(void* data, std::size_t n, std::size_t& got) {
    for (;;) {
        const ssize_t r = ::read(fd_, data, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            got = 0;
            return errno;
        }
        got = static_cast<std::size_t>(r);
        return 0;
    }
}

int File::readAt(std::uint64_t offset, void* data, std::size_t n) const {
    auto* p = static_cast<unsigned char*>(data);
    while (n) {
        const ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno;
        if (r == 0)
            return EIO;
        p += r;
        n -= static_cast<std::size_t>(r);
        offset += static_cast<std::uint64_t>(r);
    }
    return 0;
}

int File::readUpTo(std::uint64_t offset, void* data, std::size_t n, std::size_t& got) const {
    auto* p = static_cast<unsigned char*>(data);
    got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd_, p + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno;
        if (r == 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return 0;
}

int File::write(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return errno;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

int File::writeAt(std::uint64_t offset, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n) {
        const ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return errno;
        p += w;
        n -= static_cast<std::size_t>(w);
        offset += static_cast<std::uint64_t>(w);
    }
    return 0;
}

int File::copyRangeFrom(const File& from, std::uint64_t offset, std::uint64_t n) {
    while (n) {
        loff_t in = static_cast<loff_t>(offset), out = static_cast<loff_t>(offset);
        const ssize_t c = ::copy_file_range(from.fd_, &in, fd_, &out, n, 0);
        if (c < 0 && errno == EINTR)
            continue;
        if (c < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
            return EOPNOTSUPP;
        if (c < 0)
            return errno;
        if (c == 0)
            return EIO;
        offset += static_cast<std::uint64_t>(c);
        n -= static_cast<std::uint64_t>(c);
    }
    return 0;
}

int File::sync() {
    // Some file systems cannot flush a folder and say EINVAL; there is nothing more to do.
    return ::fsync(fd_) != 0 && errno != EINVAL ? errno : 0;
}

int File::status(FileStatus& out) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return errno;
    out = fromStat(st);
    return 0;
}

int File::setPermissions(unsigned mode) {
    return ::fchmod(fd_, static_cast<mode_t>(mode & 07777)) != 0 ? errno : 0;
}

int File::setModifiedTime(std::int64_t nanoseconds) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    times[1].tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    if (times[1].tv_nsec < 0) {
        times[1].tv_nsec += 1000000000;
        --times[1].tv_sec;
    }
    return ::futimens(fd_, times) != 0 ? errno : 0;
}

int File::setOwner(long owner, long group) {
    return ::fchown(fd_, static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0 ? errno : 0;
}

int File::lock(bool exclusive, bool wait) {
    const int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    for (;;) {
        if (::flock(fd_, op) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

void File::unlock() {
    ::flock(fd_, LOCK_UN);
}

int File::lockRecords(bool exclusive) {
    const short type = exclusive ? F_WRLCK : F_RDLCK;
    struct flock l = wholeFile(type);
    int rc = ::fcntl(fd_, F_OFD_SETLK, &l);
    if (rc != 0 && errno == EINVAL) {
        l = wholeFile(type); // a kernel without open-file-description locks
        rc = ::fcntl(fd_, F_SETLK, &l);
    }
    return rc != 0 ? errno : 0;
}

bool File::recordsLockedByOthers() const {
    struct flock l = wholeFile(F_WRLCK);
    if (::fcntl(fd_, F_OFD_GETLK, &l) == 0)
        return l.l_type != F_UNLCK;
    if (errno != EINVAL)
        return false;
    l = wholeFile(F_WRLCK); // a kernel without open-file-description locks
    return ::fcntl(fd_, F_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

int File::close() {
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 && ::close(fd) != 0 ? errno : 0;
}

int renameFile(const fs::path& from, const fs::path& to) {
    return ::rename(from.c_str(), to.c_str()) != 0 ? errno : 0;
}

int linkFile(const fs::path& from, const fs::path& to) {
    return ::link(from.c_str(), to.c_str()) != 0 ? errno : 0;
}

int removeFile(const fs::path& path) {
    return ::unlink(path.c_str()) != 0 && errno != ENOENT ? errno : 0;
}

int syncPath(const fs::path& path, bool folder) {
    File f;
    if (const int e = f.open(path, folder ? File::Read | File::Directory : File::Read))
        return e;
    if (const int e = f.sync())
        return e;
    return f.close();
}

int makeFolder(const fs::path& path, unsigned permissions) {
    return ::mkdir(path.c_str(), static_cast<mode_t>(permissions)) != 0 && errno != EEXIST ? errno
                                                                                           : 0;
}

int setPermissions(const fs::path& path, unsigned mode) {
    return ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0 ? errno : 0;
}

int makeUniqueFolder(std::string& pattern) {
    return ::mkdtemp(pattern.data()) ? 0 : errno;
}

int writeAccess(const fs::path& path) {
    return ::access(path.c_str(), W_OK) != 0 ? errno : 0;
}

unsigned newFilePermissions() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

fs::path resolvedPath(const fs::path& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return {};
    fs::path out = real;
    std::free(real);
    return out;
}

int replaceFileSafely(const fs::path& path, std::string_view bytes, unsigned permissions) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string temp = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    File f;
    if (const int e = f.createUnique(temp))
        return e;
    int e = f.write(bytes);
    if (!e)
        e = f.setPermissions(permissions);
    if (!e)
        e = f.sync();
    if (const int closed = f.close(); !e)
        e = closed;
    if (!e)
        e = renameFile(temp, path);
    if (e) {
        ::unlink(temp.c_str());
        return e;
    }
    return syncPath(folder, true);
}

int freeSpace(const fs::path& path, std::uint64_t& bytes) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0)
        return errno;
    bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    return 0;
}

int listFolder(const fs::path& folder, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return errno;
    int e = 0;
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(dir);
        if (!d) {
            e = errno;
            break;
        }
        std::string name = d->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(dir);
    return e;
}

int writeToStream(int stream, const void* data, std::size_t n, std::size_t& written) {
    for (;;) {
        const ssize_t w = ::write(stream, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        written = w < 0 ? 0 : static_cast<std::size_t>(w);
        return w < 0 ? errno : 0;
    }
}

unsigned effectiveUser() {
    return ::geteuid();
}

std::string userName(unsigned user) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(user, &pw, buf.data(), buf.size(), &found) == 0 && found)
        return std::string(found->pw_name) + " (" + std::to_string(user) + ")";
    return std::to_string(user);
}

std::string groupName(unsigned group) {
    std::vector<char> buf(16384);
    struct group gr {};
    struct group* found = nullptr;
    if (::getgrgid_r(group, &gr, buf.data(), buf.size(), &found) == 0 && found)
        return std::string(found->gr_name) + " (" + std::to_string(group) + ")";
    return std::to_string(group);
}

fs::path homeFolder() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

bool userInGroup(unsigned user, unsigned group) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(user, &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return false;
    if (found->pw_gid == group)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
        groups.resize(static_cast<std::size_t>(count *= 2));
    groups.resize(static_cast<std::size_t>(count));
    for (gid_t g : groups)
        if (g == group)
            return true;
    return false;
}

fs::path programFile() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe;
}

void lowerThisThreadsPriority() {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0)
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), std::min(nice + 5, 19));
}

std::uint64_t randomNumber() {
    std::uint64_t n = 0;
    auto* p = reinterpret_cast<unsigned char*>(&n);
    for (std::size_t got = 0; got < sizeof n;) {
        const ssize_t r = ::getrandom(p + got, sizeof n - got, 0);
        if (r > 0)
            got += static_cast<std::size_t>(r);
        else if (errno != EINTR)
            std::abort(); // no source of randomness: no name could be trusted
    }
    return n;
}

int processId() {
    return static_cast<int>(::getpid());
}

std::tm localTime(std::time_t moment) {
    std::tm out{};
    ::localtime_r(&moment, &out);
    return out;
}

bool isTerminal(int stream) {
    return ::isatty(stream) == 1;
}

} // namespace qm::platform
