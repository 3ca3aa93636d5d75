// Recovery and a swap going on in another process: a journal whose owner is alive is left alone,
// one whose owner died is finished or undone. Real processes, held at each step of the swap.

#include "paradox/family_swap.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qm::paradox;
namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

Files contents(const fs::path& folder) {
    Files m;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file()) {
            std::ifstream in(e.path(), std::ios::binary);
            m[e.path().filename().string()] = {std::istreambuf_iterator<char>(in),
                                               std::istreambuf_iterator<char>()};
        }
    return m;
}

void put(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

const Files kOld = {{"Stock.DB", "old table"}, {"Stock.MB", "old memos"}, {"Other.DB", "x"}};
const Files kNew = {{"Stock.DB", "new table"}, {"Stock.MB", "new memos"}, {"Other.DB", "x"}};

// A child that rewrites Stock and stops at swap step n until told to go on (or killed).
class HeldSwap {
  public:
    HeldSwap(const fs::path& folder, const fs::path& backups, int n) {
        int up[2], down[2];
        EXPECT_EQ(::pipe(up), 0);
        EXPECT_EQ(::pipe(down), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            testhooks::setSwapStepHook([&](int step) {
                if (step != n)
                    return;
                char c = 'h';
                (void)!::write(up[1], &c, 1);
                (void)!::read(down[0], &c, 1);
            });
            try {
                FamilySwap swap(folder / "Stock.DB", backups);
                put(swap.newFile(".db"), kNew.at("Stock.DB"));
                put(swap.newFile(".mb"), kNew.at("Stock.MB"));
                swap.commit();
            } catch (...) {
                ::_exit(3);
            }
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        up_ = up[0];
        down_ = down[1];
        char c = 0;
        held_ = ::read(up_, &c, 1) == 1; // false: the swap ended before step n
    }
    ~HeldSwap() {
        ::close(up_);
        ::close(down_);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    bool held() const { return held_; }
    // Lets the swap go on; its exit status.
    int finish() {
        char c = 'g';
        if (held_)
            (void)!::write(down_, &c, 1);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int up_ = -1, down_ = -1;
    bool held_ = false;
};

TEST(SwapOwner, RecoveryLeavesASwapOfALiveProcessAloneAtEveryStep) {
    int steps = 0;
    for (int n = 0;; ++n) {
        SCOPED_TRACE("held at swap step " + std::to_string(n));
        qm::test::TempDir folder, backups;
        for (const auto& [name, bytes] : kOld)
            put(folder.path() / name, bytes);
        HeldSwap swap(folder.path(), backups.path(), n);
        if (!swap.held()) {
            EXPECT_EQ(swap.finish(), 0);
            break;
        }
        ++steps;
        const Files during = contents(folder.path());
        EXPECT_TRUE(recoverPendingSwaps(backups.path()).empty());
        EXPECT_EQ(contents(folder.path()), during) << "recovery touched a live swap";
        EXPECT_EQ(swap.finish(), 0) << "the swap completes after the recovery";
        EXPECT_EQ(contents(folder.path()), kNew);
        EXPECT_TRUE(fs::is_empty(backups.path() / "pending")) << "no journal or lock file left";
    }
    EXPECT_GT(steps, 10);
}

TEST(SwapOwner, ASwapWhoseProcessDiedIsRecoveredEvenWhenItsLockFileStays) {
    int olds = 0, news = 0;
    for (int n = 2; n < 40; n += 3) {
        SCOPED_TRACE("killed at swap step " + std::to_string(n));
        qm::test::TempDir folder, backups;
        for (const auto& [name, bytes] : kOld)
            put(folder.path() / name, bytes);
        HeldSwap swap(folder.path(), backups.path(), n);
        if (!swap.held()) {
            EXPECT_EQ(swap.finish(), 0);
            break;
        }
        swap.kill();
        recoverPendingSwaps(backups.path());
        const Files now = contents(folder.path());
        EXPECT_TRUE(now == kOld || now == kNew);
        (now == kOld ? olds : news)++;
        EXPECT_TRUE(fs::is_empty(backups.path() / "pending"));
    }
    EXPECT_GT(olds, 0);
    EXPECT_GT(news, 0);
}

// A lock file with no journal beside it: the swap that made it has ended (it goes) or is about
// to write its journal (it stays while its lock is held).
TEST(SwapOwner, AStrayLockFileGoesOnlyWhenNobodyHoldsIt) {
    qm::test::TempDir backups;
    const fs::path pending = backups.path() / "pending";
    fs::create_directories(pending);
    put(pending / "20260101-000000-1-1.owner", "");
    const fs::path held = pending / "20260101-000000-2-1.owner";
    put(held, "");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(held.c_str(), O_RDWR);
        ::flock(fd, LOCK_EX);
        char c = 'l';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_TRUE(recoverPendingSwaps(backups.path()).empty());
    EXPECT_FALSE(fs::exists(pending / "20260101-000000-1-1.owner"));
    EXPECT_TRUE(fs::exists(held));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    recoverPendingSwaps(backups.path());
    EXPECT_FALSE(fs::exists(held));
    ::close(ready[0]);
    ::close(ready[1]);
}

} // namespace
