// quillmend run by an unprivileged user on tables of a shared folder: what it cannot give back
// to the table's owner or group it does not take from them.

#include "file_bytes.h"
#include "test_support.h"

#include "paradox/table.h"
#include "paradox/writer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using qm::test::fileText;

constexpr uid_t kNobody = 65534;
constexpr gid_t kUsers = 100;
constexpr uid_t kStranger = 4242; // a user the system does not know, in no group

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        if (::access((fs::path(dirs.substr(at, end - at)) / program).c_str(), X_OK) == 0)
            return true;
        at = end + 1;
    }
    return false;
}

class OwnershipTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "running as another user needs root";
        if (!onPath("setpriv"))
            GTEST_SKIP() << "setpriv is not installed";
        // Everything of the run belongs to nobody, as a home of its own would.
        fs::permissions(temp.path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
        app = temp.path() / "app";
        folder = temp.path() / "tables";
        for (const auto& d : {app, folder, temp.path() / "tmp", temp.path() / "data"}) {
            fs::create_directories(d);
            give(d, kNobody, kNobody, 0755);
        }
        program = app / "quillmend";
        fs::copy_file(QM_CLI_PROGRAM, program);
        fs::copy_file(fs::path(QM_CLI_PROGRAM).parent_path() / "dbTemp.mdb", app / "dbTemp.mdb");
        give(app / "dbTemp.mdb", kNobody, kNobody, 0644);
    }

    static void give(const fs::path& p, uid_t uid, gid_t gid, mode_t mode) {
        ASSERT_EQ(::chown(p.c_str(), uid, gid), 0) << p;
        ASSERT_EQ(::chmod(p.c_str(), mode), 0) << p;
    }

    fs::path table(const std::string& name, uid_t uid, gid_t gid, mode_t mode) {
        paradox::TableSpec spec;
        spec.fields = {{"Name", paradox::FieldType::Alpha, 20}};
        const fs::path db = folder / (name + ".DB");
        paradox::createTable(paradox::familyPathsFor(db), spec,
                             {{paradox::valueFromText(spec.fields[0], "black cat")}});
        give(db, uid, gid, mode);
        return db;
    }

    // quillmend run by nobody, without any group but its own.
    int runAsNobody(const std::vector<std::string>& args, std::string& out) {
        std::vector<std::string> all{"setpriv", "--reuid=" + std::to_string(kNobody),
                                     "--regid=" + std::to_string(kNobody), "--clear-groups",
                                     program.string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : all)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + temp.path().string(),
                                     "TEMP=" + (temp.path() / "tmp").string(),
                                     "XDG_DATA_HOME=" + (temp.path() / "data").string()};
        std::vector<char*> envp;
        for (auto& s : env)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        const fs::path outFile = temp.path() / "stdout";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        const int rc = posix_spawnp(&pid, "setpriv", &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        out = fileText(outFile);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    static struct stat statusOf(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st;
    }

    static std::string firstName(const fs::path& db) {
        const auto t = paradox::Table::open(db);
        std::string name;
        t.forEachRecord([&](const paradox::Record& r) {
            if (name.empty())
                name = paradox::textForm(t.fields()[0], r.value(0));
        });
        return name;
    }

    TempDir temp;
    fs::path app, folder, program;
};

TEST_F(OwnershipTest, AGroupOrOwnerThatCannotBeKeptRefusesTheTableOnlyWhereSomeoneWouldLoseAccess) {
    // nobody may write each of them, but may not give a file to the group users nor to a
    // stranger. The group's members may write GROUPED and only read what everyone reads of
    // SHARED; the stranger owns STRANGER and writes it, which everyone else may only read.
    const fs::path grouped = table("GROUPED", kNobody, kUsers, 0660);
    const fs::path shared = table("SHARED", kNobody, kUsers, 0644);
    const fs::path stranger = table("STRANGER", kStranger, kNobody, 0664);
    const std::string groupedBytes = fileText(grouped), strangerBytes = fileText(stranger);

    std::string out;
    const int status = runAsNobody(
        {"replace", folder.string(), "--all", "--find", "cat", "--replace", "dog"}, out);
    EXPECT_EQ(status, 1) << out;

    EXPECT_NE(out.find("GROUPED (" + folder.string() +
                       "): 1 hit, 0 values changed, not written "
                       "back: its files could not be replaced: "
                       "its group users (100) cannot be kept"),
              std::string::npos)
        << out;
    EXPECT_TRUE(fileText(grouped) == groupedBytes) << "GROUPED changed";
    EXPECT_EQ(statusOf(grouped).st_gid, kUsers);
    EXPECT_EQ(statusOf(grouped).st_mode & 07777, 0660u);

    EXPECT_NE(out.find("STRANGER (" + folder.string() +
                       "): 1 hit, 0 values changed, not "
                       "written back: its files could not be "
                       "replaced: its owner 4242 cannot be kept"),
              std::string::npos)
        << out;
    EXPECT_TRUE(fileText(stranger) == strangerBytes) << "STRANGER changed";
    EXPECT_EQ(statusOf(stranger).st_uid, kStranger);

    // Nobody loses anything when SHARED's group changes: its members only had what all have.
    EXPECT_NE(out.find("SHARED (" + folder.string() + "): 1 hit, 1 value changed, written back"),
              std::string::npos)
        << out;
    EXPECT_EQ(firstName(shared), "black dog");
    EXPECT_EQ(statusOf(shared).st_uid, kNobody);
    EXPECT_EQ(statusOf(shared).st_gid, kNobody);
    EXPECT_EQ(statusOf(shared).st_mode & 07777, 0644u);

    // What was not replaced left nothing behind in the folder.
    for (const auto& e : fs::directory_iterator(folder))
        EXPECT_FALSE(e.path().filename().string().starts_with("~qm")) << e.path();
}

} // namespace
} // namespace qm::test
