#pragma once

// The file moves of a family swap, each one flushed to the disk before the next step relies on
// it. Every failure throws FileError with the errno of the failing call. Private to src/paradox.

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>

namespace qm::paradox::detail {

[[noreturn]] void throwFileError(const std::string& what, const std::filesystem::path& p,
                                 int e = errno);

// True when something (a link included) has that name.
bool present(const std::filesystem::path& p);
// Flushes a file's data, or a folder's entries, to the disk.
void fsyncPath(const std::filesystem::path& p, bool directory);
void renameFile(const std::filesystem::path& from, const std::filesystem::path& to);
// Removes a file; one that is already gone is no error.
void removeFile(const std::filesystem::path& p);
// Writes parts one after another as the whole content of path and flushes it to the disk; a
// new file when create is set (never one that has the name already, nor through a link), else
// the existing one this process made, truncated.
void writeFlushed(const std::filesystem::path& path,
                  std::initializer_list<std::span<const std::uint8_t>> parts, bool create);
// Copies a file with its mode and time of change into a new file (created as writeFlushed
// creates one) and flushes the copy.
void copyFileDurably(const std::filesystem::path& from, const std::filesystem::path& to);
// A file leaves the Paradox folder: renamed when the backup folder is on the same file system,
// else copied, flushed and only then removed from the folder.
void moveToBackup(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace qm::paradox::detail
