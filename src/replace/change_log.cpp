#include "replace/change_log.h"

#include "app/common.h"
#include "app/error.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

namespace fs = std::filesystem;

fs::path changeLogPath() {
    const char* temp = std::getenv("TEMP");
    std::string folder;
    if (temp && *temp)
        folder = temp;
    else {
        std::error_code ec;
        folder = fs::temp_directory_path(ec).string();
        if (ec)
            folder = "/tmp";
    }
    return fs::path(folder + kSeparator + "backups.log");
}

std::string changeLogLine(const std::string& find, const std::string& replace,
                          const std::string& table, const std::string& column) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[128];
    if (std::strftime(when, sizeof when, "%x %X", &local) == 0)
        when[0] = '\0';
    // Appended piece by piece: g++ 12 warns falsely about chained concatenation here.
    std::string line;
    line.reserve(64 + find.size() + replace.size() + table.size() + column.size());
    line += '[';
    line += when;
    line += "] - ";
    line += find;
    line += " was replace to ";
    line += replace;
    line += " at table (";
    line += table;
    line += ") and column (";
    line += column;
    line += ')';
    return line;
}

namespace {

[[noreturn]] void fail(const fs::path& log, int err) {
    long c = code::PathFileAccess;
    if (err == ENOENT || err == ENOTDIR)
        c = code::PathNotFound;
    else if (err == EACCES || err == EPERM || err == EROFS)
        c = code::PermissionDenied;
    throw Error(c, "Cannot write the change log " + log.string() + ": " + std::strerror(err));
}

// Why an existing file must not receive the log; empty when it may.
std::string unfitLog(const struct stat& st) {
    if (S_ISLNK(st.st_mode))
        return "it is a symbolic link";
    if (!S_ISREG(st.st_mode))
        return "it is not a regular file";
    if (st.st_uid != ::geteuid())
        return "it belongs to another user";
    return {};
}

} // namespace

std::string changeLogProblem(const fs::path& log) {
    const std::string prefix = "The change log " + log.string() + " cannot be used: ";
    struct stat st {};
    if (::lstat(log.c_str(), &st) != 0) {
        // Not there yet: the first hit creates it (or fails then, like any write of it).
        if (errno != ENOENT)
            return prefix + std::strerror(errno) + ".";
        return {};
    }
    if (std::string why = unfitLog(st); !why.empty())
        return prefix + why + ".";
    return {};
}

void WriteChangeLog(const fs::path& log, const std::string& line) {
    // A link planted where the log goes would have the run append to whatever it points to.
    const int fd =
        ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ELOOP)
        throw Error(code::PermissionDenied,
                    "Cannot write the change log " + log.string() + ": it is a symbolic link");
    if (fd < 0)
        fail(log, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !unfitLog(st).empty()) {
        const std::string why = unfitLog(st);
        ::close(fd);
        throw Error(code::PermissionDenied, "Cannot write the change log " + log.string() + ": " +
                                                (why.empty() ? "it cannot be examined" : why));
    }
    const std::string bytes = line + "\r\n";
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            fail(log, err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0)
        fail(log, errno);
}

void WriteChangeLog(const std::string& line) {
    WriteChangeLog(changeLogPath(), line);
}

} // namespace qm
