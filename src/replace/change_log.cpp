#include "replace/change_log.h"

#include "app/common.h"
#include "app/error.h"
#include "app/one_line.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

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

namespace {
const std::locale& userLocale() {
    thread_local const std::locale locale = [] {
        try {
            return std::locale("");
        } catch (const std::runtime_error&) {
            return std::locale::classic(); // the environment names a locale not installed
        }
    }();
    return locale;
}
} // namespace

std::string changeLogLine(const std::string& find, const std::string& replace,
                          const std::string& table, const std::string& column) {
    // A run writes thousands of lines a second: the time is formatted once per second.
    thread_local std::time_t formattedAt = -1;
    thread_local char when[128];
    const std::time_t now = std::time(nullptr);
    if (now != formattedAt) {
        std::tm local{};
        localtime_r(&now, &local);
        // The user's locale as the environment names it, not the process's global one: the
        // window's toolkit switches the global locale to the user's and the command line leaves
        // it at "C", and both write into the same log.
        std::ostringstream out;
        out.imbue(userLocale());
        out << std::put_time(&local, "%x %X");
        const std::string text = out.str();
        const std::size_t n = std::min(text.size(), sizeof when - 1);
        text.copy(when, n);
        when[n] = '\0';
        formattedAt = now;
    }
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
    line += oneLine(table);
    line += ") and column (";
    line += oneLine(column);
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
std::string unfitLog(const platform::FileStatus& st) {
    if (st.symlink)
        return "it is a symbolic link";
    if (!st.regular)
        return "it is not a regular file";
    if (st.owner != platform::effectiveUser())
        return "it belongs to another user";
    return {};
}

} // namespace

std::string changeLogProblem(const fs::path& log) {
    const std::string prefix = "The change log " + log.string() + " cannot be used: ";
    platform::FileStatus st;
    if (const int e = platform::linkStatus(log, st)) {
        // Not there yet: the first hit creates it (or fails then, like any write of it).
        if (e != ENOENT)
            return prefix + std::strerror(e) + ".";
        return {};
    }
    if (std::string why = unfitLog(st); !why.empty())
        return prefix + why + ".";
    return {};
}

namespace {

// The log opened for appending, never through a link, and only when it is the user's own
// regular file.
platform::File openChangeLog(const fs::path& log) {
    // A link planted where the log goes would have the run append to whatever it points to.
    platform::File file;
    const unsigned append = platform::File::Write | platform::File::Append |
                            platform::File::Create | platform::File::NoFollow;
    // Read as well, to see how the log ends; a log its owner may only write is written still.
    int opened = file.open(log, append | platform::File::Read);
    if (opened == EACCES)
        opened = file.open(log, append);
    if (const int e = opened) {
        if (e == ELOOP)
            throw Error(code::PermissionDenied,
                        "Cannot write the change log " + log.string() + ": it is a symbolic link");
        fail(log, e);
    }
    platform::FileStatus st;
    const bool examined = file.status(st) == 0;
    if (!examined || !unfitLog(st).empty()) {
        const std::string why = examined ? unfitLog(st) : std::string();
        throw Error(code::PermissionDenied, "Cannot write the change log " + log.string() + ": " +
                                                (why.empty() ? "it cannot be examined" : why));
    }
    // A line that a full disk or a killed run cut short stays a line of its own, instead of
    // running into the first line of this run.
    char last = '\n';
    if (st.size > 0 && file.readAt(st.size - 1, &last, 1) == 0 && last != '\n')
        if (const int e = file.write("\r\n"))
            fail(log, e);
    return file;
}

} // namespace

void WriteChangeLog(const fs::path& log, const std::string& line) {
    platform::File file = openChangeLog(log);
    if (const int e = file.write(line + "\r\n"))
        fail(log, e);
    if (const int e = file.close())
        fail(log, e);
}

ChangeLogWriter::ChangeLogWriter(fs::path log)
    : log_(std::move(log)), file_(std::make_unique<platform::File>()) {}

ChangeLogWriter::~ChangeLogWriter() = default;

void ChangeLogWriter::write(const std::string& line) {
    if (!file_->isOpen())
        *file_ = openChangeLog(log_);
    bytes_.assign(line);
    bytes_ += "\r\n";
    if (const int e = file_->write(bytes_)) {
        *file_ = platform::File();
        fail(log_, e);
    }
}

void WriteChangeLog(const std::string& line) {
    WriteChangeLog(changeLogPath(), line);
}

} // namespace qm
