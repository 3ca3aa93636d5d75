#include "replace/run_lock.h"

#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace qm {

namespace fs = std::filesystem;

namespace {

// The lock files this process holds, with how many RunLock objects count on each. flock locks
// belong to an open file description: a second open() of the same file in this process would
// conflict with the first, so each file is opened once and shared.
struct Held {
    platform::File file;
    int users = 0;
};
std::mutex g_mutex;
int g_holder = 0;
std::map<std::string, Held>& heldFiles() {
    static std::map<std::string, Held> files;
    // A child forked by a run is another process: it does not share the run's locks, and the
    // descriptors it inherited must not keep them alive after the run is gone.
    if (g_holder != platform::processId()) {
        files.clear();
        g_holder = platform::processId();
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
    platform::File lockFile;
    const unsigned create = platform::File::Read | platform::File::Write | platform::File::Create;
    if (const int e = lockFile.open(file, create, 0600)) {
        why = "cannot create the lock file " + file + ": " + std::strerror(e);
        return Outcome::Failed;
    }
    if (const int e = lockFile.lock(true, false)) {
        if (e == EWOULDBLOCK) {
            why = file;
            return Outcome::Busy;
        }
        why = "cannot lock " + file + ": " + std::strerror(e);
        return Outcome::Failed;
    }
    files[file] = Held{std::move(lockFile), 1};
    return Outcome::Held;
}

void give(const std::string& file) {
    auto& files = heldFiles();
    auto it = files.find(file);
    if (it == files.end() || --it->second.users > 0)
        return;
    // The file stays: unlinking it while another process waits to open it would let two runs
    // lock two different files of one name.
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
        if (const int e = platform::makeFolder(backupRoot, 0700)) {
            lock.reason_ =
                "Cannot create the backup folder " + backupRoot.string() + ": " + std::strerror(e);
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
