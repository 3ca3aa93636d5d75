// Who may reach a table after a run: read-only tables stay as they are, rewritten files keep
// their owner, group and mode, and the old files wait in folders of the user's alone.

#include "paradox/family_swap.h"
#include "replace_fixture.h"
#include "small_disk.h"

#include <sys/stat.h>

namespace qm::test {
namespace {

using paradox::FieldType;

const std::vector<paradox::FieldSpec> kPets = {{"Name", FieldType::Alpha, 20},
                                               {"Notes", FieldType::Memo, 20}};

struct stat statusOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st;
}

unsigned modeOf(const fs::path& p) {
    return statusOf(p).st_mode & 07777;
}

class FileAccessTest : public ReplaceFixture {
  protected:
    void SetUp() override {
        ReplaceFixture::SetUp();
        // A umask that lets everybody read what is made without a mode of its own.
        oldMask_ = ::umask(022);
    }
    void TearDown() override {
        ::umask(oldMask_);
        ReplaceFixture::TearDown();
    }
    fs::path pets(const std::string& file = "PETS.DB") {
        return makeTable(file, kPets, {{"black cat", "a cat's memo"}, {"dog", ""}});
    }

  private:
    mode_t oldMask_ = 0;
};

// The permission bits decide, for root as for anybody: the window's run refuses what the command
// line refuses.
TEST_F(FileAccessTest, AReadOnlyTableOrFolderIsNotWrittenBackFromAnyFrontEnd) {
    const fs::path locked = pets();
    const fs::path open = pets("ZOO.DB");
    fs::permissions(locked,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const auto before = files(paradoxDir);
    auto r = run(pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog"));
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_FALSE(r.clean());
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_EQ(r.tables[0].reason,
              "its file " + locked.string() + " is read-only (no write permission is set)");
    EXPECT_EQ(r.tables[0].hits, 2) << "its hits are counted on a copy, for the report";
    EXPECT_EQ(r.tables[0].valuesChanged, 0);
    for (const auto& line : logLines())
        EXPECT_EQ(line.find("table (PETS)"), std::string::npos)
            << "no change-log line for a change that did not happen";
    EXPECT_TRUE(files(paradoxDir)["PETS.DB"] == before.at("PETS.DB")) << "PETS.DB changed";
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written);
    EXPECT_EQ(values(open)[0][0], "black dog");
    EXPECT_NE(ui.boxes.back().text.find("is read-only"), std::string::npos);

    // A folder without write permission keeps every table in it, a dry run says so too.
    fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(paradoxDir,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const auto lockedFolder = files(paradoxDir);
    for (const bool dry : {true, false}) {
        options.dryRun = dry;
        r = run(pair({row("PETS.DB"), row("ZOO.DB")}, "dog", "cat"));
        for (const auto& t : r.tables) {
            EXPECT_EQ(t.writeBack, TableOutcome::WriteBack::NotWritten) << dry;
            EXPECT_EQ(t.reason, "its folder " + paradoxDir.string() +
                                    " is read-only (no write permission is set)");
        }
    }
    EXPECT_TRUE(files(paradoxDir) == lockedFolder) << "a file of the folder changed";
    fs::permissions(paradoxDir, fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(FileAccessTest, RewrittenFilesKeepOwnerGroupAndModeAndBackupsStayPrivate) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving table files to another user needs root";
    const fs::path db = pets();
    constexpr uid_t kOwner = 65534;
    constexpr gid_t kGroup = 4242;
    for (const auto& f : paradox::familyFiles(db)) {
        ASSERT_EQ(::chown(f.c_str(), kOwner, kGroup), 0);
        ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    }
    ASSERT_EQ(::chmod((paradoxDir / "PETS.MB").c_str(), 0604), 0);
    // The backup folder on a file system of its own: the old files are copied there, not renamed.
    SmallDisk other(temp_.path() / "elsewhere", 8 << 20);
    if (other.mounted())
        options.backupRoot = backups = temp_.path() / "elsewhere" / "backups";

    const auto r = run(pair({row("PETS.DB")}, "cat", "dog"));
    ASSERT_TRUE(r.clean()) << endOfRunReport(r);
    ASSERT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::Written);
    EXPECT_EQ(values(db)[0], (std::vector<std::string>{"black dog", "a dog's memo"}));
    for (const char* name : {"PETS.DB", "PETS.MB"}) {
        const auto st = statusOf(paradoxDir / name);
        EXPECT_EQ(st.st_uid, kOwner) << name;
        EXPECT_EQ(st.st_gid, kGroup) << name;
        // Old files keep their modes in the backup folder as well.
        EXPECT_EQ(modeOf(r.tables[0].backupFolder / name), st.st_mode & 07777) << name;
    }
    EXPECT_EQ(modeOf(paradoxDir / "PETS.DB"), 0640u);
    EXPECT_EQ(modeOf(paradoxDir / "PETS.MB"), 0604u);
    EXPECT_EQ(modeOf(backups), 0700u);
    EXPECT_EQ(modeOf(backups / "pending"), 0700u);
    EXPECT_EQ(modeOf(r.tables[0].backupFolder), 0700u);
    if (!other.mounted())
        GTEST_SKIP() << "backups on another file system not tried: " << other.why();
}

} // namespace
} // namespace qm::test
