#include "sets/set_lists.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"

namespace qm {

namespace {

void checkRoom(const std::vector<std::string>& list) {
    if (list.size() >= static_cast<std::size_t>(SetLists::kMaxEntries))
        throw Error(code::SetListFull, "Overflow");
}

void checkIndex(const std::vector<std::string>& list, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= list.size())
        throw Error(code::SetListIndex, "Invalid procedure call or argument");
}

} // namespace

void SetLists::appendSet(const std::string& find, const std::string& replace) {
    checkRoom(find_);
    checkRoom(replace_);
    find_.push_back(find);
    replace_.push_back(replace);
}

void SetLists::appendFind(const std::string& text) {
    checkRoom(find_);
    find_.push_back(text);
}

void SetLists::appendReplace(const std::string& text) {
    checkRoom(replace_);
    replace_.push_back(text);
}

void SetLists::removeFind(int index) {
    checkIndex(find_, index);
    find_.erase(find_.begin() + index);
    findSel_ = -1;
}

void SetLists::removeReplace(int index) {
    checkIndex(replace_, index);
    replace_.erase(replace_.begin() + index);
    replaceSel_ = -1;
}

void SetLists::clearFind() {
    find_.clear();
    findSel_ = -1;
}

void SetLists::clearReplace() {
    replace_.clear();
    replaceSel_ = -1;
}

void SetLists::selectFind(int index) {
    findSel_ = valid(index);
    // Setting the other list to the index it already has raises nothing, so the two
    // handlers never call each other without end.
    if (replaceSel_ != findSel_)
        selectReplace(findSel_);
}

void SetLists::selectReplace(int index) {
    replaceSel_ = index >= 0 && static_cast<std::size_t>(index) < replace_.size() ? index : -1;
    if (findSel_ != replaceSel_)
        selectFind(replaceSel_);
}

std::vector<std::string> SplitText(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    if (separator.empty())
        throw Error(code::SetListIndex, "Invalid procedure call or argument");
    std::size_t start = 0;
    for (;;) {
        auto pos = text.find(separator, start);
        if (pos == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, pos - start));
        start = pos + separator.size();
    }
}

void AddSet(UserInterface& ui, SetLists& lists) {
    Trap trap(ui, where::form2("PushButton10_Click"));
    std::string typed;
    trap.step(100, [&] { typed = ui.inputBox(kAddSetPrompt, appTitle(), kAddSetDefault); });
    if (trap.test(102, [&] { return typed.empty(); }))
        return;
    if (trap.test(104, [&] { return typed.find("::") == std::string::npos; })) {
        trap.step(112, [&] { ui.messageBox(kAddSetRefusal, Buttons::Ok, Icon::None, appTitle()); });
        return;
    }
    std::vector<std::string> pieces;
    trap.step(106, [&] { pieces = SplitText(typed, "::"); });
    // The replace half goes in only with its find half, so the lists never differ in length.
    bool findAdded = trap.step(108, [&] { lists.appendFind(pieces.at(0)); });
    trap.step(110, [&] {
        if (findAdded)
            lists.appendReplace(pieces.at(1));
    });
}

void RemoveSelectedSet(UserInterface& ui, SetLists& lists) {
    Trap trap(ui, where::form2("PushButton7_Click"));
    // Removing the find entry clears only the find list's selection, so the second step still
    // sees the replace list's selection and takes the same position.
    trap.step(100, [&] {
        if (lists.findSelection() != -1)
            lists.removeFind(lists.findSelection());
    });
    trap.step(102, [&] {
        if (lists.replaceSelection() != -1)
            lists.removeReplace(lists.replaceSelection());
    });
}

void ClearAllSets(UserInterface& ui, SetLists& lists) {
    Trap trap(ui, where::form2("PushButton11_Click"));
    trap.step(100, [&] { lists.clearFind(); });
    trap.step(102, [&] { lists.clearReplace(); });
}

} // namespace qm
