#include "replace/run_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

namespace fs = std::filesystem;

namespace {

// The lock files this process holds, with how many RunLock objects count on each. flock locks
// belong to an open file description: a second open() of the same file in this process would
// conflict with the first, so each file is opened once and shared.
struct Held {
    int fd = -1;
    int users = 0;
};
std::mutex g_mutex;
pid_t g_holder = 0;
std::map<std::string, Held>& heldFiles() {
    static std::map<std::string, Held> files;
    // A child forked by a run is another process: it does not share the run's locks, and the
    // descriptors it inherited must not keep them alive after the run is gone.
    if (g_holder != ::getpid()) {
        for (const auto& [file, held] : files)
            ::close(held.fd);
        files.clear();
        g_holder = ::getpid();
    }
    return files;
}

enum class Outcome { Held, Busy, Failed };

Outcome take(const std::string& file, std::string& why) {
    auto& files = heldFiles();
    if (auto it = files.find(file); it != files.end()) {
        ++it->second.users;
        return Outcome::Held;
    }
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot create the lock file " + file + ": " + std::strerror(errno);
        return Outcome::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) {
            why = file;
            return Outcome::Busy;
        }
        why = "cannot lock " + file + ": " + std::strerror(e);
        return Outcome::Failed;
    }
    files[file] = Held{fd, 1};
    return Outcome::Held;
}

void give(const std::string& file) {
    auto& files = heldFiles();
    auto it = files.find(file);
    if (it == files.end() || --it->second.users > 0)
        return;
    // The file stays: unlinking it while another process waits to open it would let two runs
    // lock two different files of one name.
    ::close(it->second.fd);
    files.erase(it);
}

} // namespace

fs::path RunLock::workingDatabaseLockFile(const fs::path& workingDb) {
    fs::path p = workingDb;
    p += ".lock";
    return p;
}

fs::path RunLock::backupLockFile(const fs::path& backupRoot) {
    return backupRoot / "run.lock";
}

RunLock RunLock::acquire(const fs::path& workingDatabase, const fs::path& backupRoot) {
    RunLock lock;
    std::error_code ec;
    if (!fs::is_directory(backupRoot, ec)) {
        fs::create_directories(backupRoot.parent_path(), ec);
        if (::mkdir(backupRoot.c_str(), 0700) != 0 && errno != EEXIST) {
            lock.reason_ = "Cannot create the backup folder " + backupRoot.string() + ": " +
                           std::strerror(errno);
            return lock;
        }
    }
    // One spelling per file: the same file opened twice by this process would lock against
    // itself.
    const std::string files[] = {
        fs::weakly_canonical(fs::absolute(workingDatabaseLockFile(workingDatabase))).string(),
        fs::weakly_canonical(fs::absolute(backupLockFile(backupRoot))).string()};
    std::lock_guard guard(g_mutex);
    for (const auto& file : files) {
        std::string why;
        switch (take(file, why)) {
        case Outcome::Held:
            lock.files_.push_back(file);
            continue;
        case Outcome::Busy:
            lock.state_ = State::Busy;
            lock.reason_ = std::string(kAnotherRunInProgress) +
                           " (in a window or a quillmend command; it holds " + why +
                           "). Nothing was changed; start this run again when that one has ended.";
            break;
        case Outcome::Failed:
            lock.state_ = State::Failed;
            lock.reason_ = "The run cannot start: " + why + ". Nothing was changed.";
            break;
        }
        for (const auto& f : lock.files_)
            give(f);
        lock.files_.clear();
        return lock;
    }
    lock.state_ = State::Held;
    return lock;
}

RunLock::RunLock(RunLock&& other) noexcept
    : state_(other.state_), reason_(std::move(other.reason_)), files_(std::move(other.files_)) {
    other.files_.clear();
    other.state_ = State::Failed;
}

RunLock::~RunLock() {
    releaseAll();
}

void RunLock::releaseAll() {
    std::lock_guard guard(g_mutex);
    for (const auto& f : files_)
        give(f);
    files_.clear();
}

} // namespace qm
