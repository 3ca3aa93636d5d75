#include "app/common.h"
#include "app/error.h"
#include "fake_user_interface.h"
#include "sets/set_lists.h"

#include <gtest/gtest.h>

using namespace qm;

namespace {

using Sets = std::vector<std::pair<std::string, std::string>>;

Sets setsOf(const SetLists& l) {
    EXPECT_EQ(l.findList().size(), l.replaceList().size());
    Sets out;
    for (int i = 0; i < l.count(); ++i)
        out.emplace_back(l.findText(i), l.replaceText(i));
    return out;
}

Sets addTyped(const std::string& typed, test::FakeUserInterface& ui) {
    SetLists lists;
    ui.inputs.push_back(typed);
    AddSet(ui, lists);
    return setsOf(lists);
}

} // namespace

TEST(AddSet, PromptHasItsTextApplicationTitleAndPrefilledPair) {
    SetAppTitle();
    test::FakeUserInterface ui;
    SetLists lists;
    ui.inputs.push_back("findwhat::replacewith");
    AddSet(ui, lists);
    ASSERT_EQ(ui.promptRequests.size(), 1u);
    EXPECT_EQ(ui.promptRequests[0].prompt,
              "Enter find and replace set (use :: to separate find text and replace text):");
    EXPECT_EQ(ui.promptRequests[0].title, "Quillmend");
    EXPECT_EQ(ui.promptRequests[0].defaultText, "findwhat::replacewith");
    EXPECT_EQ(setsOf(lists), (Sets{{"findwhat", "replacewith"}}));
    EXPECT_EQ(lists.findSelection(), -1);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(AddSet, SplitRuleKeepsBlanksAndDropsPiecesAfterTheSecondSeparator) {
    test::FakeUserInterface ui;
    EXPECT_EQ(addTyped("a::b::c", ui), (Sets{{"a", "b"}}));
    EXPECT_EQ(addTyped("::x", ui), (Sets{{"", "x"}}));
    EXPECT_EQ(addTyped("a::", ui), (Sets{{"a", ""}}));
    EXPECT_EQ(addTyped(":::", ui), (Sets{{"", ":"}}));
    EXPECT_EQ(addTyped("a:::b", ui), (Sets{{"a", ":b"}}));
    EXPECT_EQ(addTyped("::", ui), (Sets{{"", ""}}));
    EXPECT_EQ(addTyped(" cat :: dog ", ui), (Sets{{" cat ", " dog "}}));
    EXPECT_EQ(addTyped("Grüße::it's", ui), (Sets{{"Grüße", "it's"}}));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(AddSet, CancelOrEmptyAddsAndShowsNothing) {
    test::FakeUserInterface ui;
    SetLists lists;
    AddSet(ui, lists); // the fake's empty queue is a cancel
    ui.inputs.push_back("");
    AddSet(ui, lists);
    EXPECT_EQ(lists.count(), 0);
    EXPECT_EQ(ui.prompts.size(), 2u);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(AddSet, TextWithoutDoubleColonIsRefused) {
    SetAppTitle();
    for (std::string typed : {"a:b", "a: :b", "no separator", ":"}) {
        test::FakeUserInterface ui;
        SetLists lists;
        ui.inputs.push_back(typed);
        AddSet(ui, lists);
        EXPECT_EQ(lists.count(), 0) << typed;
        ASSERT_EQ(ui.boxes.size(), 1u) << typed;
        EXPECT_EQ(ui.boxes[0].text,
                  "You must use :: to separate the find text from the replace text");
        EXPECT_EQ(ui.boxes[0].buttons, Buttons::Ok);
        EXPECT_EQ(ui.boxes[0].icon, Icon::None);
        EXPECT_EQ(ui.boxes[0].title, "Quillmend");
    }
}

TEST(AddSet, SameTextTwiceGivesTwoSets) {
    test::FakeUserInterface ui;
    SetLists lists;
    ui.inputs = {"x::y", "x::y"};
    AddSet(ui, lists);
    AddSet(ui, lists);
    EXPECT_EQ(setsOf(lists), (Sets{{"x", "y"}, {"x", "y"}}));
}

TEST(AddSet, FullListsReportOnceAndStayEqual) {
    test::FakeUserInterface ui;
    SetLists lists;
    for (int i = 0; i < SetLists::kMaxEntries; ++i)
        lists.appendSet("f", "r");
    EXPECT_THROW(lists.appendSet("f", "r"), Error);
    ui.inputs.push_back("one::more");
    AddSet(ui, lists);
    EXPECT_EQ(lists.count(), SetLists::kMaxEntries);
    EXPECT_EQ(lists.replaceList().size(), lists.findList().size());
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Overflow\r\nin Quillworks2021/08/31.Form2.PushButton10_Click "
                                "at line 108\r\rPlease email screenshot of this message to "
                                "support@quillmend.example");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::Ok);
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_EQ(ui.boxes[0].title, "Application Error");
}

TEST(SetSelection, ListsFollowEachOther) {
    SetLists lists;
    for (const char* t : {"a", "b", "c"})
        lists.appendSet(t, std::string(t) + "2");
    lists.selectFind(2);
    EXPECT_EQ(lists.replaceSelection(), 2);
    lists.selectReplace(1);
    EXPECT_EQ(lists.findSelection(), 1);
    lists.selectFind(-1);
    EXPECT_EQ(lists.replaceSelection(), -1);
    // A text that names no entry is no selection.
    lists.selectReplace(7);
    EXPECT_EQ(lists.findSelection(), -1);
    EXPECT_EQ(lists.replaceSelection(), -1);
}

TEST(RemoveSelectedSet, TakesTheSamePositionFromBothLists) {
    test::FakeUserInterface ui;
    SetLists lists;
    for (const char* t : {"a", "b", "c"})
        lists.appendSet(t, std::string(t) + "2");
    lists.selectReplace(1);
    RemoveSelectedSet(ui, lists);
    EXPECT_EQ(setsOf(lists), (Sets{{"a", "a2"}, {"c", "c2"}}));
    EXPECT_EQ(lists.findSelection(), lists.replaceSelection());
    // Nothing selected: nothing happens and nothing is shown.
    RemoveSelectedSet(ui, lists);
    EXPECT_EQ(lists.count(), 2);
    lists.selectFind(1);
    RemoveSelectedSet(ui, lists);
    EXPECT_EQ(setsOf(lists), (Sets{{"a", "a2"}}));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(ClearAllSets, EmptiesBothListsWithoutAsking) {
    test::FakeUserInterface ui;
    SetLists lists;
    ClearAllSets(ui, lists);
    EXPECT_EQ(lists.count(), 0);
    lists.appendSet("a", "b");
    lists.appendSet("c", "d");
    lists.selectFind(1);
    ClearAllSets(ui, lists);
    EXPECT_EQ(setsOf(lists), Sets{});
    EXPECT_EQ(lists.findSelection(), -1);
    EXPECT_EQ(lists.replaceSelection(), -1);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(SplitText, SplitsFromTheLeftWithoutOverlap) {
    EXPECT_EQ(SplitText("a::::b", "::"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(SplitText("", "::"), (std::vector<std::string>{""}));
    EXPECT_EQ(SplitText("aaa", "aa"), (std::vector<std::string>{"", "a"}));
    EXPECT_THROW(SplitText("x", ""), Error);
}
