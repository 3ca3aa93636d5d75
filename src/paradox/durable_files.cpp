#include "paradox/durable_files.h"

#include "paradox/writer.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace qm::paradox::detail {

void throwFileError(const std::string& what, const fs::path& p, int e) {
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

bool present(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

void fsyncPath(const fs::path& p, bool directory) {
    int fd = ::open(p.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        throwFileError("Cannot open", p);
    if (::fsync(fd) != 0 && errno != EINVAL) {
        int e = errno;
        ::close(fd);
        throwFileError("Cannot flush", p, e);
    }
    ::close(fd);
}

void renameFile(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        throwFileError("Cannot rename \"" + from.string() + "\" to", to);
}

void removeFile(const fs::path& p) {
    if (::unlink(p.c_str()) != 0 && errno != ENOENT)
        throwFileError("Cannot remove", p);
}

void copyFileDurably(const fs::path& from, const fs::path& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throwFileError("Cannot open", from);
    struct stat fromStatus {};
    if (::fstat(in, &fromStatus) != 0) {
        int e = errno;
        ::close(in);
        throwFileError("Cannot read the status of", from, e);
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        int e = errno;
        ::close(in);
        throwFileError("Cannot create", to, e);
    }
    // The copy in the backup folder keeps the old file's mode, as a rename would.
    if (::fchmod(out, fromStatus.st_mode & 07777) != 0) {
        int e = errno;
        ::close(in);
        ::close(out);
        throwFileError("Cannot set the permissions of", to, e);
    }
    std::vector<char> buf(1 << 20);
    for (;;) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(in);
            ::close(out);
            throwFileError("Cannot read", from, e);
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                int e = errno;
                ::close(in);
                ::close(out);
                throwFileError("Cannot write", to, e);
            }
            done += w;
        }
    }
    ::close(in);
    if (::fsync(out) != 0) {
        int e = errno;
        ::close(out);
        throwFileError("Cannot flush", to, e);
    }
    if (::close(out) != 0)
        throwFileError("Cannot close", to);
}

void moveToBackup(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return;
    if (errno != EXDEV)
        throwFileError("Cannot move \"" + from.string() + "\" to", to);
    fs::path part = to;
    part += ".part";
    copyFileDurably(from, part);
    renameFile(part, to);
    fsyncPath(to.parent_path(), true);
    removeFile(from);
}

} // namespace qm::paradox::detail
