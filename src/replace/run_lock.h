#pragma once

// One run at a time. A run holds an exclusive OS lock (flock) on a lock file beside its working
// database and on one in its backup folder from before it recovers or reads anything until it has
// ended, so that two runs never share a working database or a backup folder, whichever front end
// started them. The locks go with the process: a run that is killed holds nothing.
//
// Taking the locks never waits: a second run is told at once that another run is in progress,
// and leaves without changing anything. Within one process the locks are shared, so the command
// line can take them before it lists the tables and the run it then starts finds them held.

#include <filesystem>
#include <string>
#include <vector>

namespace qm {

// The words both front ends put first when a run is refused because another one holds the locks.
inline constexpr const char* kAnotherRunInProgress = "Another run is in progress";

class RunLock {
  public:
    enum class State {
        Held,   // this process holds both locks
        Busy,   // another process holds one of them; nothing was done
        Failed, // a lock file could not be made or locked; nothing was done
    };

    // Takes the locks of the working database and of the backup root (created when missing).
    static RunLock acquire(const std::filesystem::path& workingDatabase,
                           const std::filesystem::path& backupRoot);

    RunLock(RunLock&& other) noexcept;
    RunLock& operator=(RunLock&&) = delete;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();

    State state() const { return state_; }
    bool held() const { return state_ == State::Held; }
    // Busy or Failed: a sentence for the person, beginning with kAnotherRunInProgress when Busy.
    const std::string& reason() const { return reason_; }

    // The lock files a run takes for these two.
    static std::filesystem::path workingDatabaseLockFile(const std::filesystem::path& workingDb);
    static std::filesystem::path backupLockFile(const std::filesystem::path& backupRoot);

  private:
    RunLock() = default;
    void releaseAll();
    State state_ = State::Failed;
    std::string reason_;
    std::vector<std::string> files_; // the lock files this object counts as held
};

} // namespace qm
