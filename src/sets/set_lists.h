#pragma once

#include "app/user_interface.h"

#include <string>
#include <vector>

namespace qm {

// Failure codes of the list operations, as the list controls raised them.
namespace code {
inline constexpr long SetListIndex = 5;
inline constexpr long SetListFull = 6;
} // namespace code

// The find list and the replace list of the main window. Set i is entry i of each. Both lists
// always have the same length when an operation ends, keep insertion order and hold at most
// 32767 entries, as the 16-bit list controls did. The selections of the two lists stay equal.
class SetLists {
  public:
    static constexpr int kMaxEntries = 32767;

    int count() const { return static_cast<int>(find_.size()); }
    const std::string& findText(int i) const { return find_.at(static_cast<std::size_t>(i)); }
    const std::string& replaceText(int i) const { return replace_.at(static_cast<std::size_t>(i)); }
    const std::vector<std::string>& findList() const { return find_; }
    const std::vector<std::string>& replaceList() const { return replace_; }

    // Appends one set, or nothing when the lists are full (qm::Error, code SetListFull).
    void appendSet(const std::string& find, const std::string& replace);

    // The halves of an append for handlers that number them as two steps. Each throws
    // SetListFull when its list is full.
    void appendFind(const std::string& text);
    void appendReplace(const std::string& text);

    // Removing an entry clears that list's selection and leaves the other list's alone, so
    // that a removal in two steps takes the same position from both lists.
    void removeFind(int index);
    void removeReplace(int index);
    void clearFind();
    void clearReplace();

    // -1 when nothing is selected.
    int findSelection() const { return findSel_; }
    int replaceSelection() const { return replaceSel_; }
    // The user chose an entry (or a text that names none: -1) in one list; the other list
    // follows. An index outside the list selects nothing.
    void selectFind(int index);
    void selectReplace(int index);

  private:
    int valid(int index) const { return index >= 0 && index < count() ? index : -1; }

    std::vector<std::string> find_;
    std::vector<std::string> replace_;
    int findSel_ = -1;
    int replaceSel_ = -1;
};

// Splits at every occurrence of the separator, from the left, without overlap. The
// separator must not be empty.
std::vector<std::string> SplitText(const std::string& text, const std::string& separator);

inline constexpr const char* kAddSetPrompt =
    "Enter find and replace set (use :: to separate find text and replace text):";
inline constexpr const char* kAddSetDefault = "findwhat::replacewith";
inline constexpr const char* kAddSetRefusal =
    "You must use :: to separate the find text from the replace text";

// The handlers of "Add Set", "Remove Selected Set" and "Clear All Sets". Each reports its
// own failures with its step number and goes on.
void AddSet(UserInterface& ui, SetLists& lists);
void RemoveSelectedSet(UserInterface& ui, SetLists& lists);
void ClearAllSets(UserInterface& ui, SetLists& lists);

} // namespace qm
