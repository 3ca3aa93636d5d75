#pragma once

#include <string>

namespace qm::settings {

// The per-user store is addressed by application name, section and key. On this platform the
// application name is the QSettings organisation and the section its group.
inline constexpr const char* kApplication = "Vantorel";
inline constexpr const char* kSection = "Quillmend Studio";

// The keys the windows keep, each with its default.
namespace key {
inline constexpr const char* Database = "Database";           // start window folder field
inline constexpr const char* LastFolderDot = "LastFolderDot"; // folder shown by the picker
inline constexpr const char* TabControl1 = "TabControl1";     // main window page index
inline constexpr const char* FindText = "Text1";              // main window find text
inline constexpr const char* ReplaceText = "Text2";           // main window replace text
inline constexpr const char* LoadSeparator = "Form2.Text2";   // Load Sets separator
// The main window's search options, "1" or "0".
inline constexpr const char* MatchCase = "MatchCase";
inline constexpr const char* WholeWord = "WholeWord";
inline constexpr const char* RegularExpression = "RegularExpression";
} // namespace key

// The default the store answers for a key that is absent: "::" for the separator, "0" for
// the page index, whole words and regular expression, "1" for match case, and the empty text
// for the others.
std::string defaultFor(const std::string& key);

// Reads the key; an absent key (or an unreadable store) gives the default.
std::string GetSetting(const std::string& key, const std::string& defaultValue);
std::string GetSetting(const std::string& key);
// Writes the key at once; nothing is cached.
void SaveSetting(const std::string& key, const std::string& value);

// The page index as a number: the stored decimal text, or 0 when it is absent or not a number.
int GetTabIndex();
void SaveTabIndex(int index);

// Points the per-user store at another folder. Tests call it before any read or write so
// that they never touch the user's own settings.
void setStoreFolder(const std::string& folder);
// The file that backs the store.
std::string storeFile();

} // namespace qm::settings
