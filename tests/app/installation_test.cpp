// Where the working database and the samples are: beside a program whose folder can be written,
// else the user's own copies, made from the shipped files without changing them.

#include "app/common.h"
#include "app/installation.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> tree(const fs::path& folder) {
    std::map<std::string, std::string> m;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (!e.is_regular_file())
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        m[fs::relative(e.path(), folder).string()] = {std::istreambuf_iterator<char>(in),
                                                      std::istreambuf_iterator<char>()};
    }
    return m;
}

class EnvVar {
  public:
    EnvVar(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class InstallationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = applicationFolder();
        app = temp.path() / "app";
        fs::create_directories(app / "Samples" / "Old");
        std::ofstream(app / "dbTemp.mdb", std::ios::binary) << std::string("shipped\0db", 10);
        std::ofstream(app / "Samples" / "ORDERS.DB", std::ios::binary) << "orders";
        std::ofstream(app / "Samples" / "Old" / "ORDERS.DB", std::ios::binary) << "old orders";
        setApplicationFolder(app.string());
        shipped = tree(app);
    }
    void TearDown() override {
        // Writable again, so the temporary folder can go.
        for (const auto& e : fs::recursive_directory_iterator(app))
            fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
        fs::permissions(app, fs::perms::owner_write, fs::perm_options::add);
        setApplicationFolder(previous_);
    }
    void makeReadOnly(const fs::path& p) {
        fs::permissions(p,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }

    TempDir temp;
    fs::path app;
    std::map<std::string, std::string> shipped;
    EnvVar data{"XDG_DATA_HOME", (temp.path() / "data").string()};

  private:
    std::string previous_;
};

TEST_F(InstallationTest, AWritableProgramFolderKeepsItsOwnFiles) {
    EXPECT_TRUE(applicationFolderWritable());
    EXPECT_EQ(workingDatabasePath(), app / "dbTemp.mdb");
    EXPECT_EQ(samplesFolder(), (app / "Samples").string());
    EXPECT_FALSE(fs::exists(temp.path() / "data")) << "no copy is made";
}

// Root may write anywhere; the permission bits still say the folder is not to be changed.
TEST_F(InstallationTest, AReadOnlyProgramFolderGivesTheUserCopiesAndKeepsTheShippedFiles) {
    makeReadOnly(app);
    EXPECT_FALSE(applicationFolderWritable());
    const fs::path own = temp.path() / "data" / "Quillmend";
    EXPECT_EQ(workingDatabasePath(), own / "dbTemp.mdb");
    EXPECT_EQ(tree(own).at("dbTemp.mdb"), shipped.at("dbTemp.mdb"));
    EXPECT_EQ(fs::status(own).permissions(), fs::perms::owner_all) << "private to the user";

    EXPECT_EQ(samplesFolder(), (own / "Samples").string());
    std::map<std::string, std::string> copied;
    for (const auto& [name, bytes] : tree(own / "Samples"))
        copied["Samples/" + name] = bytes;
    std::map<std::string, std::string> samples = shipped;
    samples.erase("dbTemp.mdb");
    EXPECT_EQ(copied, samples);
    EXPECT_EQ(fs::status(own / "Samples" / "ORDERS.DB").permissions() & fs::perms::owner_write,
              fs::perms::owner_write);

    // The copies are made once: what the user's runs changed stays theirs.
    std::ofstream(own / "dbTemp.mdb", std::ios::binary) << "in use";
    std::ofstream(own / "Samples" / "ORDERS.DB", std::ios::binary) << "changed";
    EXPECT_EQ(workingDatabasePath(), own / "dbTemp.mdb");
    EXPECT_EQ(samplesFolder(), (own / "Samples").string());
    EXPECT_EQ(tree(own).at("dbTemp.mdb"), "in use");
    EXPECT_EQ(tree(own).at("Samples/ORDERS.DB"), "changed");
    EXPECT_EQ(tree(app), shipped);
    EXPECT_EQ(tree(own).count(".dbTemp.mdb.part-" + std::to_string(::getpid())), 0u);
}

TEST_F(InstallationTest, AReadOnlyWorkingDatabaseAloneIsEnoughForACopy) {
    makeReadOnly(app / "dbTemp.mdb");
    EXPECT_FALSE(applicationFolderWritable());
    EXPECT_EQ(workingDatabasePath(), temp.path() / "data" / "Quillmend" / "dbTemp.mdb");
    EXPECT_EQ(tree(app), shipped);
}

TEST_F(InstallationTest, WithoutXdgDataHomeTheCopiesGoUnderHome) {
    EnvVar noXdg("XDG_DATA_HOME", std::nullopt);
    EnvVar home("HOME", (temp.path() / "home").string());
    EXPECT_EQ(userDataFolder(), temp.path() / "home" / ".local" / "share" / "Quillmend");
    makeReadOnly(app);
    EXPECT_EQ(workingDatabasePath(), userDataFolder() / "dbTemp.mdb");
    EXPECT_TRUE(fs::is_regular_file(userDataFolder() / "dbTemp.mdb"));
}

TEST_F(InstallationTest, ACopyThatCannotBeMadeIsAnErrorNotASilentFallBack) {
    makeReadOnly(app);
    std::ofstream(temp.path() / "data").close(); // a file where the data folder should be
    EXPECT_THROW(workingDatabasePath(), std::exception);
    EXPECT_THROW(samplesFolder(), std::exception);
    EXPECT_EQ(tree(app), shipped);
}

} // namespace
} // namespace qm::test
