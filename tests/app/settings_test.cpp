#include "app/settings.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace qm;
namespace fs = std::filesystem;

namespace {

// Every test gets a store of its own in a temporary folder; the user's is never opened.
class Settings : public ::testing::Test {
  protected:
    void SetUp() override { settings::setStoreFolder(dir.path().string()); }
    std::string fileText() {
        std::ifstream in(dir.path() / "Vantorel.conf");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    test::TempDir dir;
};

} // namespace

TEST_F(Settings, FreshStoreAnswersTheDefaultsAndWritesNothing) {
    EXPECT_EQ(settings::GetSetting(settings::key::Database), "");
    EXPECT_EQ(settings::GetSetting(settings::key::LastFolderDot), "");
    EXPECT_EQ(settings::GetSetting(settings::key::TabControl1), "0");
    EXPECT_EQ(settings::GetSetting(settings::key::FindText), "");
    EXPECT_EQ(settings::GetSetting(settings::key::ReplaceText), "");
    EXPECT_EQ(settings::GetSetting(settings::key::LoadSeparator), "::");
    EXPECT_EQ(settings::GetTabIndex(), 0);
    EXPECT_EQ(settings::GetSetting("Database", "fallback"), "fallback");
    EXPECT_FALSE(fs::exists(dir.path() / "Vantorel.conf"));
}

TEST_F(Settings, StoreLivesUnderApplicationNameWithSectionAsGroup) {
    EXPECT_EQ(fs::path(settings::storeFile()), dir.path() / "Vantorel.conf");
    settings::SaveSetting(settings::key::Database, "/data/Paradox DB");
    // Written at once, without any explicit save step.
    std::string text = fileText();
    EXPECT_NE(text.find("[Quillmend%20Studio]"), std::string::npos) << text;
    EXPECT_NE(text.find("Database=/data/Paradox DB"), std::string::npos) << text;
}

TEST_F(Settings, EveryWriteReplacesAndReadsBackExactly) {
    settings::SaveSetting(settings::key::Database, "/a");
    settings::SaveSetting(settings::key::Database, "/a/b");
    EXPECT_EQ(settings::GetSetting(settings::key::Database), "/a/b");
    const std::string odd = " Grüße 'x' \"y\" ; = :: ,\\ @Variant";
    settings::SaveSetting(settings::key::FindText, odd);
    EXPECT_EQ(settings::GetSetting(settings::key::FindText), odd);
    // An empty stored text is a value, not an absent key.
    settings::SaveSetting(settings::key::LoadSeparator, "");
    EXPECT_EQ(settings::GetSetting(settings::key::LoadSeparator), "");
}

// What the windows stored under their keys in an earlier session is what they find again; the
// separator of Load Sets and the replace text are two values, though both come from a "Text2".
TEST_F(Settings, AStoreFromAnEarlierSessionIsReadAsItWasWritten) {
    std::ofstream(dir.path() / "Vantorel.conf") << "[Quillmend%20Studio]\n"
                                                   "Database=/data/tables\n"
                                                   "LastFolderDot=/data\n"
                                                   "TabControl1=1\n"
                                                   "Text1=cat\n"
                                                   "Text2=dog\n"
                                                   "Form2.Text2=\",\"\n";
    EXPECT_EQ(settings::GetSetting(settings::key::Database), "/data/tables");
    EXPECT_EQ(settings::GetSetting(settings::key::LastFolderDot), "/data");
    EXPECT_EQ(settings::GetTabIndex(), 1);
    EXPECT_EQ(settings::GetSetting(settings::key::FindText), "cat");
    EXPECT_EQ(settings::GetSetting(settings::key::ReplaceText), "dog");
    EXPECT_EQ(settings::GetSetting(settings::key::LoadSeparator), ",");
    settings::SaveSetting(settings::key::LoadSeparator, ";");
    EXPECT_EQ(settings::GetSetting(settings::key::ReplaceText), "dog");
}

TEST_F(Settings, TabIndexIsStoredAsDecimalText) {
    settings::SaveTabIndex(1);
    EXPECT_EQ(settings::GetSetting(settings::key::TabControl1), "1");
    EXPECT_EQ(settings::GetTabIndex(), 1);
    settings::SaveSetting(settings::key::TabControl1, "junk");
    EXPECT_EQ(settings::GetTabIndex(), 0);
}
