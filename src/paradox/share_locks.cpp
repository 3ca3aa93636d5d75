#include "paradox/share_locks.h"

#include "paradox/ascii.h"
#include "paradox/family_swap.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

constexpr const char* kFolderLockFiles[] = {"PDOXUSRS.LCK", "PARADOX.LCK", "PDOXUSRS.NET"};
// A lock file larger than this is not a lock file of theirs; only its start is searched.
constexpr std::size_t kMostLockFileBytes = 1 << 20;

fs::path folderOf(const fs::path& db) {
    return db.parent_path().empty() ? fs::path(".") : db.parent_path();
}

// The entries of folder whose names are one of wanted (upper case), whatever their case.
std::vector<fs::path> presentNamed(const fs::path& folder, const std::vector<std::string>& wanted) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        const std::string name = asciiUpper(e.path().filename().string());
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end())
            out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<fs::path> folderLockFiles(const fs::path& folder) {
    return presentNamed(folder, {std::begin(kFolderLockFiles), std::end(kFolderLockFiles)});
}

std::vector<fs::path> ownLockFile(const fs::path& db) {
    return presentNamed(folderOf(db), {asciiUpper(db.stem().string()) + ".LCK"});
}

struct flock wholeFile(short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 0; // to the end, however far it grows
    return l;
}

bool conflictingRecordLock(int fd) {
    struct flock l = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &l) == 0)
        return l.l_type != F_UNLCK;
    if (errno != EINVAL)
        return false;
    l = wholeFile(F_WRLCK); // a kernel without open-file-description locks
    return ::fcntl(fd, F_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

bool isNameByte(unsigned char c) {
    return std::isalnum(c) || c == '_' || c >= 0x80;
}

// True when text (upper case) holds name (upper case) as a whole word: lock file entries keep
// a table's name NUL- or blank-padded, or followed by its extension.
bool namesWord(const std::string& text, const std::string& name) {
    if (name.empty())
        return false;
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const bool before = at == 0 || !isNameByte(static_cast<unsigned char>(text[at - 1]));
        const std::size_t end = at + name.size();
        const bool after = end == text.size() || !isNameByte(static_cast<unsigned char>(text[end]));
        if (before && after)
            return true;
    }
    return false;
}

std::string readStart(const fs::path& file) {
    std::string text;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return text;
    text.resize(kMostLockFileBytes);
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return asciiUpper(std::move(text));
}

// The names of the tables in folder, upper case, without extension.
std::vector<std::string> tableNamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (asciiUpper(e.path().extension().string()) == ".DB")
            names.push_back(asciiUpper(e.path().stem().string()));
    return names;
}

std::string inUse(const std::string& why) {
    return std::string(kInUseByAnotherProgram) + " (" + why + ")";
}

// Why a held folder lock file keeps db from being changed; empty when it names other tables
// of the folder but not db.
std::string heldFolderLockReason(const fs::path& lockFile, const fs::path& db) {
    const std::string text = readStart(lockFile);
    const std::string name = lockFile.filename().string();
    if (namesWord(text, asciiUpper(db.stem().string())))
        return inUse(name + " is held by another process and names the table");
    for (const auto& other : tableNamesIn(folderOf(db)))
        if (namesWord(text, other))
            return {};
    return inUse(name + " is held by another process, which may use any table of the folder");
}

int lockWhole(const fs::path& file) {
    short type = F_WRLCK;
    int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // A file this process may only read still takes a read lock, which keeps writers out.
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        type = F_RDLCK;
    }
    if (fd < 0)
        return -1;
    struct flock l = wholeFile(type);
    int rc = ::fcntl(fd, F_OFD_SETLK, &l);
    if (rc != 0 && errno == EINVAL) {
        l = wholeFile(type);
        rc = ::fcntl(fd, F_SETLK, &l);
    }
    if (rc != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

} // namespace

bool lockedByOthers(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool held = conflictingRecordLock(fd);
    if (!held) {
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
            held = errno == EWOULDBLOCK;
        else
            ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return held;
}

std::vector<fs::path> lockFilesOf(const fs::path& db) {
    std::vector<fs::path> out = folderLockFiles(folderOf(db));
    for (auto& p : ownLockFile(db))
        out.push_back(std::move(p));
    return out;
}

std::string tableInUse(const fs::path& db) {
    for (const auto& member : familyFiles(db))
        if (lockedByOthers(member))
            return inUse("another process holds a lock on its file " + member.filename().string());
    for (const auto& own : ownLockFile(db))
        if (lockedByOthers(own))
            return inUse("its lock file " + own.filename().string() +
                         " is held by another process");
    for (const auto& lockFile : folderLockFiles(folderOf(db)))
        if (lockedByOthers(lockFile))
            if (std::string why = heldFolderLockReason(lockFile, db); !why.empty())
                return why;
    return {};
}

std::vector<fs::path> staleLockFiles(const std::vector<fs::path>& tables) {
    std::vector<fs::path> out;
    const auto add = [&](const fs::path& p) {
        std::error_code ec;
        const bool seen = std::any_of(out.begin(), out.end(), [&](const fs::path& q) {
            return q == p || fs::equivalent(q, p, ec);
        });
        if (!seen && !lockedByOthers(p))
            out.push_back(p);
    };
    for (const auto& db : tables)
        for (const auto& p : lockFilesOf(db))
            add(p);
    return out;
}

ShareLocks::ShareLocks(const fs::path& db) {
    if (std::string why = tableInUse(db); !why.empty())
        throw TableInUseError(why);
    std::vector<fs::path> mine = familyFiles(db);
    for (auto& p : ownLockFile(db))
        mine.push_back(std::move(p));
    for (const auto& lockFile : folderLockFiles(folderOf(db)))
        if (!lockedByOthers(lockFile)) // a held one names other tables only (tableInUse)
            mine.push_back(lockFile);
    for (const auto& p : mine) {
        const int fd = lockWhole(p);
        if (fd >= 0) {
            fds_.push_back(fd);
            continue;
        }
        const int e = errno;
        for (int held : fds_)
            ::close(held);
        fds_.clear();
        if (e == EAGAIN || e == EACCES)
            throw TableInUseError(
                inUse("another process took a lock on " + p.filename().string() + " just now"));
        if (e == ENOENT)
            throw TableInUseError(
                inUse("its file " + p.filename().string() + " went away just now"));
        throw FileError("Cannot lock \"" + p.string() + "\": " + std::strerror(e), e);
    }
}

ShareLocks::~ShareLocks() {
    for (int fd : fds_)
        ::close(fd); // closing the last descriptor of an open file releases its lock
}

} // namespace qm::paradox
