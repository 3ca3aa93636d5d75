#pragma once

// Another process that holds a lock on a file for as long as the object lives: a POSIX record
// lock (what Samba and Wine make of a Windows lock) on a byte range, or an flock (exclusive or
// shared).

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {

class LockHolder {
  public:
    enum class Kind { Write, Read, Flock, SharedFlock };

    // Locks length bytes from start (0: to the end of the file, however far it grows).
    explicit LockHolder(const std::filesystem::path& file, Kind kind = Kind::Write, off_t start = 0,
                        off_t length = 0) {
        int ready[2], hold[2];
        if (::pipe(ready) != 0 || ::pipe(hold) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            const int fd = ::open(file.c_str(), kind == Kind::Write ? O_RDWR : O_RDONLY);
            char ok = 'n';
            if (fd >= 0) {
                if (kind == Kind::Flock || kind == Kind::SharedFlock) {
                    const int op = kind == Kind::Flock ? LOCK_EX : LOCK_SH;
                    ok = ::flock(fd, op | LOCK_NB) == 0 ? 'y' : 'n';
                } else {
                    struct flock l {};
                    l.l_type = kind == Kind::Write ? F_WRLCK : F_RDLCK;
                    l.l_whence = SEEK_SET;
                    l.l_start = start;
                    l.l_len = length;
                    ok = ::fcntl(fd, F_SETLK, &l) == 0 ? 'y' : 'n';
                }
            }
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(hold[0], &c, 1); // until the parent lets go
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        release_ = hold[1];
        char ok = 'n';
        EXPECT_EQ(::read(ready[0], &ok, 1), 1);
        ::close(ready[0]);
        EXPECT_EQ(ok, 'y') << "the other process could not lock " << file;
    }
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    // The other process lets go and ends.
    void release() {
        if (release_ >= 0) {
            ::close(release_);
            release_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
};

// Runs body in a child process and waits for it; returns its exit status.
template <class F> int inChildProcess(F&& body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

} // namespace qm::test
