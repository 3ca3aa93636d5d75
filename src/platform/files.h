#pragma once

// The operating system's file calls, in one place, so that a port to another system replaces
// this unit (posix_files.cpp) and nothing else. Nothing here throws: every call gives back 0 or
// the system's error number (errno) of the step that failed, and its caller words the error.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

struct FileStatus {
    bool regular = false;
    bool directory = false;
    bool symlink = false; // only from linkStatus
    std::uint64_t size = 0;
    unsigned mode = 0; // permission bits (07777)
    unsigned owner = 0;
    unsigned group = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0;
    std::int64_t modifiedNanoseconds = 0;
    bool sameFileAs(const FileStatus& other) const {
        return device == other.device && inode == other.inode;
    }
};

// The status of what path names, following links / of a link itself.
[[nodiscard]] int status(const std::filesystem::path& path, FileStatus& out);
[[nodiscard]] int linkStatus(const std::filesystem::path& path, FileStatus& out);
// True when something, a link included, has that name.
bool present(const std::filesystem::path& path);

// An open file, closed when it goes.
class File {
  public:
    enum Flags : unsigned {
        Read = 1,
        Write = 2,
        Create = 4,    // with the permissions given (less the umask)
        Truncate = 8,  //
        Append = 16,   //
        NoFollow = 32, // a link in the last step of the name is refused (ELOOP)
        NonBlocking = 64,
        Directory = 128, // a folder, opened to be flushed
        Exclusive = 256, // with Create: a name that is taken already is refused (EEXIST)
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    [[nodiscard]] int open(const std::filesystem::path& path, unsigned flags,
                           unsigned permissions = 0644);
    // Creates a new file from pattern, whose name ends in "XXXXXX" and then suffixLength more
    // characters; pattern becomes the name taken.
    [[nodiscard]] int createUnique(std::string& pattern, int suffixLength = 0);
    // Creates path as a new file, never through a link and never over anything that has the
    // name, then checks that the name still leads to the file opened, a regular file with no
    // other name (EEXIST otherwise: someone else's file stands there).
    [[nodiscard]] int createNew(const std::filesystem::path& path, unsigned permissions = 0644,
                                bool read = false);
    // Opens a file this process created, with the same checks after opening.
    [[nodiscard]] int openOwn(const std::filesystem::path& path, unsigned flags);
    bool isOpen() const { return fd_ >= 0; }

    // Up to n bytes from the current position; got 0 at the end.
    [[nodiscard]] int read(void* data, std::size_t n, std::size_t& got);
    // Exactly n bytes at offset; EIO when the file ends first.
    [[nodiscard]] int readAt(std::uint64_t offset, void* data, std::size_t n) const;
    // Up to n bytes at offset, fewer only where the file ends; got says how many.
    [[nodiscard]] int readUpTo(std::uint64_t offset, void* data, std::size_t n,
                               std::size_t& got) const;
    [[nodiscard]] int write(const void* data, std::size_t n);
    [[nodiscard]] int write(std::string_view bytes) { return write(bytes.data(), bytes.size()); }
    [[nodiscard]] int writeAt(std::uint64_t offset, const void* data, std::size_t n);
    // n bytes of from at offset, written at the same offset, inside the system where it can
    // (EOPNOTSUPP when it cannot: the caller copies through memory).
    [[nodiscard]] int copyRangeFrom(const File& from, std::uint64_t offset, std::uint64_t n);
    // Flushes the file's data (a folder's entries) to the disk.
    [[nodiscard]] int sync();
    [[nodiscard]] int status(FileStatus& out) const;
    [[nodiscard]] int setPermissions(unsigned mode);
    [[nodiscard]] int setModifiedTime(std::int64_t nanoseconds);
    // Gives the file to owner and group; -1 keeps either.
    [[nodiscard]] int setOwner(long owner, long group);

    // A lock on the whole file that other processes see (flock): exclusive or shared, waiting
    // for it or failing at once with EWOULDBLOCK.
    [[nodiscard]] int lock(bool exclusive, bool wait);
    void unlock();
    // The whole-file record lock Paradox programs use (fcntl, per open file where the kernel
    // has them): a write lock, or a read lock when exclusive is false. EAGAIN/EACCES when
    // another holds a conflicting one.
    [[nodiscard]] int lockRecords(bool exclusive);
    // Whether another process holds a record lock on the file.
    bool recordsLockedByOthers() const;

    // Closes the file; its error, if any (a write the disk refused late).
    [[nodiscard]] int close();

  private:
    int checkOwn(const std::filesystem::path& path);
    int fd_ = -1;
};

[[nodiscard]] int renameFile(const std::filesystem::path& from, const std::filesystem::path& to);
// Gives the file at from a second name, to; EEXIST when to is taken (a link included).
[[nodiscard]] int linkFile(const std::filesystem::path& from, const std::filesystem::path& to);
// A file that is already gone is no error.
[[nodiscard]] int removeFile(const std::filesystem::path& path);
// Flushes a file's data, or a folder's entries, to the disk.
[[nodiscard]] int syncPath(const std::filesystem::path& path, bool folder);
// Creates a folder with those permissions (less the umask); one that exists is no error.
[[nodiscard]] int makeFolder(const std::filesystem::path& path, unsigned permissions);
[[nodiscard]] int setPermissions(const std::filesystem::path& path, unsigned mode);
// Creates a new folder from pattern, whose name ends in "XXXXXX"; pattern becomes its name.
[[nodiscard]] int makeUniqueFolder(std::string& pattern);
// 0 when this process may write to path (the system's access check), else why not.
[[nodiscard]] int writeAccess(const std::filesystem::path& path);
// The bytes an unprivileged process may still write on the file system that holds path.
[[nodiscard]] int freeSpace(const std::filesystem::path& path, std::uint64_t& bytes);
// The permissions a new file gets from the umask, out of 0666.
unsigned newFilePermissions();
// Where a link leads, every link resolved; empty when it cannot be resolved.
std::filesystem::path resolvedPath(const std::filesystem::path& path);

// Writes bytes under a temporary name beside path, flushes them, gives them permissions,
// renames them over path and flushes the folder: path is the old file or the new one, whole,
// whatever moment the program or the machine stops.
[[nodiscard]] int replaceFileSafely(const std::filesystem::path& path, std::string_view bytes,
                                    unsigned permissions);

// The user this process acts as, their home folder, and names for user and group numbers
// ("name (number)", or the number alone when the system knows no name).
unsigned effectiveUser();
std::string userName(unsigned user);
std::string groupName(unsigned group);
std::filesystem::path homeFolder();
// The names in a folder, "." and ".." left out, in the order the system gives them.
[[nodiscard]] int listFolder(const std::filesystem::path& folder, std::vector<std::string>& names);
// Writes up to n bytes to a standard stream (1 output, 2 error); written says how many.
[[nodiscard]] int writeToStream(int stream, const void* data, std::size_t n, std::size_t& written);

// Whether user is a member of group, as the system's user database says.
bool userInGroup(unsigned user, unsigned group);

int processId();
// A number nobody can guess, from the system's random source, for names others must not
// foresee.
std::uint64_t randomNumber();
// Gives the calling thread a lower share of a busy machine than the process's other threads.
void lowerThisThreadsPriority();
// The file of the running program; empty when the system does not say.
std::filesystem::path programFile();
// The local time of a moment, safely from any thread.
std::tm localTime(std::time_t moment);
bool isTerminal(int stream); // 1 standard output, 2 standard error

} // namespace qm::platform
