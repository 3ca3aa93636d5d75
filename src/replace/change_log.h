#pragma once

// The change log: one line per hit, appended to backups.log in the "TEMP" folder, each line
// written to the file at once so that another program can read it during a run.

#include <filesystem>
#include <memory>
#include <string>

namespace qm {

namespace platform {
class File;
}

// "TEMP" when it is set (and not empty), else the system's temporary folder, then the separator
// and "backups.log". The folder is not created.
std::filesystem::path changeLogPath();

// "[" date and time "] - " F " was replace to " R " at table (" T ") and column (" C ")".
// The date and time are local, in the locale's short date and time forms, to the second.
std::string changeLogLine(const std::string& find, const std::string& replace,
                          const std::string& table, const std::string& column);

// Empty when the change log can be appended to safely; otherwise why not: it is a symbolic link,
// not a regular file, or not the user's own file. A log that does not exist yet is fine here, and
// one that cannot be written fails at its first line as before. The run checks before it begins.
std::string changeLogProblem(const std::filesystem::path& log);

// Appends line and CR LF to the change log (UTF-8, the system code page here). A failure to open
// or write is a qm::Error with a file code (76 path not found, 70 permission denied, 75 other).
// The file is never reached through a symbolic link, and is written only when it is a regular
// file of the user.
void WriteChangeLog(const std::string& line);
void WriteChangeLog(const std::filesystem::path& log, const std::string& line);

// The change log of one run: opened (and checked as WriteChangeLog checks it) at its first line
// and kept open until the run ends, each line appended by one write of its own. A run of a
// million hits would otherwise spend most of its time opening and closing the file. The same
// failures as WriteChangeLog; after one, the next line opens the file again.
class ChangeLogWriter {
  public:
    explicit ChangeLogWriter(std::filesystem::path log);
    ~ChangeLogWriter();
    ChangeLogWriter(const ChangeLogWriter&) = delete;
    ChangeLogWriter& operator=(const ChangeLogWriter&) = delete;
    void write(const std::string& line);

  private:
    std::filesystem::path log_;
    std::unique_ptr<platform::File> file_;
    std::string bytes_;
};

} // namespace qm
