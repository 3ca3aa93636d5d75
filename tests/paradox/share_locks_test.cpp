#include "file_bytes.h"
#include "lock_holder.h"
#include "paradox/family_print.h"
#include "paradox/family_swap.h"
#include "paradox/share_locks.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sys/stat.h>

using namespace qm::paradox;
using qm::test::inChildProcess;
using qm::test::LockHolder;
namespace fs = std::filesystem;
using qm::test::fileText;
using qm::test::folderFiles;
using qm::test::writeFileText;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct SharedFolder {
    qm::test::TempDir tables, backups;
    fs::path at(const std::string& name) const { return tables.path() / name; }
    fs::path customer() const { return at("CUSTOMER.DB"); }
    fs::path orders() const { return at("ORDERS.DB"); }
    SharedFolder() {
        writeFileText(at("CUSTOMER.DB"), "customer records");
        writeFileText(at("CUSTOMER.MB"), "customer memos");
        writeFileText(at("CUSTOMER.PX"), "customer index");
        writeFileText(at("ORDERS.DB"), "order records");
    }
    // Replaces CUSTOMER.DB through a swap; returns what the swap threw, if anything.
    std::string swapCustomer(const FamilyPrint* expected = nullptr) {
        try {
            FamilySwap swap(customer(), backups.path());
            if (expected)
                swap.expectFamily(*expected);
            writeFileText(swap.newFile(".db"), "new customer records");
            swap.commit();
        } catch (const std::exception& e) {
            return e.what();
        }
        return {};
    }
};

} // namespace

// Record locks anywhere in the file (the Borland engine locks far beyond its end), read locks
// and flocks of another process all count; a lock that is gone does not.
TEST(ShareLocks, LocksOfAnotherProcessAreSeenWhateverTheirKindAndRange) {
    SharedFolder f;
    const fs::path file = f.at("PDOXUSRS.LCK");
    writeFileText(file, "");
    EXPECT_FALSE(lockedByOthers(file));
    {
        LockHolder far(file, LockHolder::Kind::Write, 0x40000000, 1);
        EXPECT_TRUE(lockedByOthers(file));
    }
    EXPECT_FALSE(lockedByOthers(file));
    {
        LockHolder reader(file, LockHolder::Kind::Read, 10, 5);
        EXPECT_TRUE(lockedByOthers(file));
    }
    for (const auto kind : {LockHolder::Kind::Flock, LockHolder::Kind::SharedFlock}) {
        LockHolder whole(file, kind);
        EXPECT_TRUE(lockedByOthers(file));
    }
    EXPECT_FALSE(lockedByOthers(file));
    EXPECT_FALSE(lockedByOthers(f.at("ABSENT.LCK")));
}

TEST(ShareLocks, ATableIsInUseWhenItsFilesOrItsOwnLockFileAreHeld) {
    SharedFolder f;
    EXPECT_EQ(tableInUse(f.customer()), "");
    {
        LockHolder px(f.at("CUSTOMER.PX"), LockHolder::Kind::Write, 100, 1);
        const std::string why = tableInUse(f.customer());
        EXPECT_TRUE(contains(why, kInUseByAnotherProgram)) << why;
        EXPECT_TRUE(contains(why, "CUSTOMER.PX")) << why;
        EXPECT_EQ(tableInUse(f.orders()), "") << "a lock on another table's file";
    }
    writeFileText(f.at("customer.lck"), "");
    EXPECT_EQ(tableInUse(f.customer()), "") << "a lock file nobody holds";
    {
        LockHolder own(f.at("customer.lck"), LockHolder::Kind::Read, 0, 1);
        const std::string why = tableInUse(f.customer());
        EXPECT_TRUE(contains(why, kInUseByAnotherProgram)) << why;
        EXPECT_TRUE(contains(why, "customer.lck")) << why;
        EXPECT_EQ(tableInUse(f.orders()), "");
    }
}

// A held folder lock file names the tables its entries guard; one that names none of the
// folder's tables may guard any of them.
TEST(ShareLocks, AHeldFolderLockFileGuardsTheTablesItNames) {
    SharedFolder f;
    const fs::path users = f.at("PDOXUSRS.LCK");
    writeFileText(users, std::string("\x01\x00\x02orders.db\x00\x00\x00USER1\x00", 20));
    {
        LockHolder held(users, LockHolder::Kind::Write, 0x40000000, 64);
        EXPECT_TRUE(contains(tableInUse(f.orders()), "PDOXUSRS.LCK"));
        EXPECT_EQ(tableInUse(f.customer()), "");
    }
    writeFileText(users, std::string("\x01\x00\x02\x00\x00\x00\x7f\x13", 8));
    {
        LockHolder held(users, LockHolder::Kind::Write, 0, 0);
        EXPECT_TRUE(contains(tableInUse(f.orders()), kInUseByAnotherProgram));
        EXPECT_TRUE(contains(tableInUse(f.customer()), kInUseByAnotherProgram));
    }
    // "CUSTOMERS" is not "CUSTOMER".
    writeFileText(users, std::string("CUSTOMERS.DB\0ORDERS\0", 20));
    {
        LockHolder held(f.at("PDOXUSRS.LCK"), LockHolder::Kind::Flock);
        EXPECT_EQ(tableInUse(f.customer()), "");
        EXPECT_NE(tableInUse(f.orders()), "");
    }
}

TEST(ShareLocks, LockFilesNobodyHoldsAreStale) {
    SharedFolder f;
    EXPECT_TRUE(staleLockFiles({f.customer(), f.orders()}).empty());
    writeFileText(f.at("Paradox.lck"), "x");
    writeFileText(f.at("PDOXUSRS.NET"), "x");
    writeFileText(f.at("ORDERS.LCK"), "x");
    writeFileText(f.at("OTHER.LCK"), "x"); // a table not in the run
    auto stale = staleLockFiles({f.customer(), f.orders()});
    std::sort(stale.begin(), stale.end());
    EXPECT_EQ(stale, (std::vector<fs::path>{f.at("ORDERS.LCK"), f.at("PDOXUSRS.NET"),
                                            f.at("Paradox.lck")}));
    LockHolder held(f.at("PDOXUSRS.NET"), LockHolder::Kind::Write, 0, 1);
    stale = staleLockFiles({f.customer()});
    EXPECT_EQ(stale, std::vector<fs::path>{f.at("Paradox.lck")});
}

// The swap does not replace a table another program holds, and leaves nothing behind.
TEST(ShareLocks, ASwapLeavesATableAnotherProcessHoldsAsItWas) {
    SharedFolder f;
    writeFileText(f.at("PDOXUSRS.LCK"), "");
    const auto before = folderFiles(f.tables.path());
    {
        LockHolder held(f.at("PDOXUSRS.LCK"), LockHolder::Kind::Write, 0x3b9aca00, 1);
        const std::string what = f.swapCustomer();
        EXPECT_TRUE(contains(what, kInUseByAnotherProgram)) << what;
    }
    EXPECT_EQ(folderFiles(f.tables.path()), before);
    EXPECT_TRUE(fs::is_empty(f.backups.path() / "pending"));
    EXPECT_EQ(f.swapCustomer(), "");
    EXPECT_EQ(fileText(f.customer()), "new customer records");
}

// While the files change hands, another process finds the table's files and the folder's lock
// files locked (as a Paradox program would before it opens the table); afterwards, free.
TEST(ShareLocks, ASwapHoldsTheLocksAParadoxProgramHonoursWhileItRuns) {
    SharedFolder f;
    writeFileText(f.at("PDOXUSRS.LCK"), "");
    writeFileText(f.at("CUSTOMER.LCK"), "");
    const fs::path lockFile = f.at("PDOXUSRS.LCK"), own = f.at("CUSTOMER.LCK");
    // 1 when another process cannot lock both files as a Paradox program would.
    const auto othersFindThemHeld = [&] {
        return inChildProcess([&] {
            struct flock l {};
            l.l_type = F_WRLCK;
            l.l_whence = SEEK_SET;
            int held = 0;
            for (const fs::path& p : {lockFile, own}) {
                const int fd = ::open(p.c_str(), O_RDWR);
                held += fd >= 0 && ::fcntl(fd, F_SETLK, &l) != 0 ? 1 : 0;
            }
            return held == 2 ? 1 : 0;
        });
    };
    std::vector<int> seen; // per step of the swap
    testhooks::setSwapStepHook([&](int) { seen.push_back(othersFindThemHeld()); });
    EXPECT_EQ(f.swapCustomer(), "");
    testhooks::setSwapStepHook({});
    ASSERT_GT(seen.size(), 6u);
    EXPECT_EQ(seen.front(), 0) << "not held while the new files are written";
    EXPECT_NE(std::count(seen.begin(), seen.end(), 1), 0) << "held while the files moved";
    EXPECT_EQ(othersFindThemHeld(), 0) << "released after the swap";
    EXPECT_FALSE(lockedByOthers(f.at("PDOXUSRS.LCK")));
    EXPECT_EQ(fileText(f.customer()), "new customer records");
}

TEST(FamilyPrint, TellsSizeTimeAndContentChangesApart) {
    SharedFolder f;
    const FamilyPrint before = printFamily(f.customer());
    ASSERT_EQ(before.members.size(), 3u);
    EXPECT_EQ(familyDifference(before, printFamily(f.customer())), "");

    // The same size and modification time, one byte different.
    struct stat st {};
    ::stat(f.at("CUSTOMER.MB").c_str(), &st);
    writeFileText(f.at("CUSTOMER.MB"), "customer memoS");
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, f.at("CUSTOMER.MB").c_str(), times, 0);
    EXPECT_EQ(familyDifference(before, printFamily(f.customer())),
              "the content of its file CUSTOMER.MB changed");
    writeFileText(f.at("CUSTOMER.MB"), "customer memos");
    const struct timespec later[2] = {st.st_atim, {st.st_mtim.tv_sec + 5, 0}};
    ::utimensat(AT_FDCWD, f.at("CUSTOMER.MB").c_str(), later, 0);
    EXPECT_EQ(familyDifference(before, printFamily(f.customer())),
              "its file CUSTOMER.MB has a new modification time");
    ::utimensat(AT_FDCWD, f.at("CUSTOMER.MB").c_str(), times, 0);
    writeFileText(f.at("CUSTOMER.X02"), "new index");
    fs::remove(f.at("CUSTOMER.PX"));
    EXPECT_EQ(familyDifference(before, printFamily(f.customer())),
              "its file CUSTOMER.PX is gone, its file CUSTOMER.X02 is new");
}

TEST(FamilyPrint, ASwapReplacesOnlyTheFamilyItWasMadeFrom) {
    SharedFolder f;
    const FamilyPrint print = printFamily(f.customer());
    writeFileText(f.at("CUSTOMER.PX"), "customer index, rebuilt");
    const auto before = folderFiles(f.tables.path());
    const std::string what = f.swapCustomer(&print);
    EXPECT_TRUE(contains(what, kChangedDuringRun)) << what;
    EXPECT_TRUE(contains(what, "CUSTOMER.PX")) << what;
    EXPECT_EQ(folderFiles(f.tables.path()), before);

    const FamilyPrint now = printFamily(f.customer());
    EXPECT_EQ(f.swapCustomer(&now), "");
    EXPECT_EQ(fileText(f.customer()), "new customer records");
}

// A writer that ignores the locks and strikes after the check, just before the old files go
// aside, is caught once they are aside: the old files come back, the writer's bytes with them.
TEST(FamilyPrint, AChangeWhileTheFilesGoAsideUndoesTheSwap) {
    SharedFolder f;
    const FamilyPrint print = printFamily(f.customer());
    const fs::path pending = f.backups.path() / "pending";
    bool struck = false;
    testhooks::setSwapStepHook([&](int) {
        if (struck || !fs::exists(pending))
            return;
        for (const auto& e : fs::directory_iterator(pending))
            if (e.path().extension() == ".swap" && contains(fileText(e.path()), "state prepared")) {
                struck = true;
                const fs::path memo = f.at("CUSTOMER.MB");
                EXPECT_EQ(inChildProcess([&] {
                              const int fd = ::open(memo.c_str(), O_WRONLY | O_APPEND);
                              return fd >= 0 && ::write(fd, "!", 1) == 1 ? 0 : 1;
                          }),
                          0);
            }
    });
    const std::string what = f.swapCustomer(&print);
    testhooks::setSwapStepHook({});
    EXPECT_TRUE(struck);
    EXPECT_TRUE(contains(what, "CUSTOMER.MB changed size")) << what;
    EXPECT_EQ(fileText(f.customer()), "customer records");
    EXPECT_EQ(fileText(f.at("CUSTOMER.MB")), "customer memos!");
    EXPECT_EQ(folderFiles(f.tables.path()).size(), 4u) << "nothing temporary is left";
}

// Links to a family in another folder: the files they lead to are replaced, the links stay.
TEST(FamilySwapLinks, ALinkedFamilyIsReplacedWhereItsLinksLead) {
    SharedFolder f;
    qm::test::TempDir links;
    for (const char* name : {"CUSTOMER.DB", "CUSTOMER.MB", "CUSTOMER.PX"})
        fs::create_symlink(f.at(name), links.path() / name);
    const fs::path viaLink = links.path() / "CUSTOMER.DB";
    EXPECT_EQ(realTableFile(viaLink), fs::canonical(f.customer()));
    EXPECT_EQ(realTableFile(f.customer()), f.customer());
    {
        FamilySwap swap(realTableFile(viaLink), f.backups.path());
        writeFileText(swap.newFile(".db"), "new customer records");
        swap.commit();
    }
    EXPECT_TRUE(fs::is_symlink(viaLink));
    EXPECT_EQ(fileText(viaLink), "new customer records");

    // A swap in the links' own folder would put regular files in place of the links: refused.
    {
        FamilySwap swap(viaLink, f.backups.path());
        writeFileText(swap.newFile(".db"), "never");
        EXPECT_THROW(swap.commit(), FileError);
    }
    EXPECT_TRUE(fs::is_symlink(viaLink));
    EXPECT_EQ(fileText(viaLink), "new customer records");

    // Some members links, others not: nothing to follow consistently.
    fs::remove(links.path() / "CUSTOMER.PX");
    writeFileText(links.path() / "CUSTOMER.PX", "a local index");
    try {
        realTableFile(viaLink);
        ADD_FAILURE() << "a half-linked family was followed";
    } catch (const FileError& e) {
        EXPECT_TRUE(contains(e.what(), "some of its files are links")) << e.what();
    }
}
