#include "app/error_report.h"
#include "fake_user_interface.h"

#include <gtest/gtest.h>

using namespace qm;

TEST(ErrorReport, MessageBytesAreExact) {
    std::string m = errorReportMessage("Boom", where::form1("PushButton2_Click"), 106);
    EXPECT_EQ(m, "Boom\r\nin Quillworks2021/08/31.Form1.PushButton2_Click at line 106\r\r"
                 "Please email screenshot of this message to support@quillmend.example");
}

TEST(ErrorReport, EmptyDescriptionLeavesFirstLineEmpty) {
    std::string m = errorReportMessage("", where::paradox("CopyDB"), 100);
    EXPECT_EQ(m.rfind("\r\nin Quillworks2021/08/31.Paradox.CopyDB at line 100\r\r", 0), 0u);
}

TEST(ErrorReport, LocationTextsOfTheTwoProjects) {
    EXPECT_EQ(where::getSubDirectories2016(),
              "in Brindlecap2021/08/31.AddFolder.GetSubDirectories2016 ");
    EXPECT_EQ(where::form3("Form_Load"), "in Quillworks2021/08/31.Form3.Form_Load ");
}

TEST(Trap, ReportsEachFailureWithItsStepAndGoesOn) {
    test::FakeUserInterface ui;
    Trap trap(ui, where::form2("PushButton8_Click"));
    std::vector<int> ran;
    trap.step(100, [&] { throw Error(code::FileNotFound, "first"); });
    trap.step(102, [&] { throw std::runtime_error("second"); });
    trap.step(104, [&] { ran.push_back(104); });
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].title, "Application Error");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::Ok);
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_NE(ui.boxes[0].text.find("first\r\n"), std::string::npos);
    EXPECT_NE(ui.boxes[0].text.find("at line 100\r\r"), std::string::npos);
    EXPECT_NE(ui.boxes[1].text.find(
                  "second\r\nin Quillworks2021/08/31.Form2.PushButton8_Click at line 102\r\r"),
              std::string::npos);
    EXPECT_EQ(ran, std::vector<int>{104});
}

TEST(Trap, FailedTestCountsAsTrue) {
    test::FakeUserInterface ui;
    Trap trap(ui, where::form1("PushButton3_Click"));
    bool governed = trap.test(102, []() -> bool { throw Error(code::PathNotFound, "no"); });
    EXPECT_TRUE(governed);
    EXPECT_EQ(ui.boxes.size(), 1u);
    EXPECT_FALSE(trap.test(104, [] { return false; }));
}

TEST(Trap, FilterResumesSilentlyOrPropagates) {
    test::FakeUserInterface ui;
    Trap trap(ui, where::form2("PushButton1_Click"));
    trap.setFilter([](const Error& e) {
        if (e.code() == code::TooLong)
            return Trap::Disposition::Resume;
        return Trap::Disposition::Propagate;
    });
    EXPECT_FALSE(trap.step(100, [] { throw Error(code::TooLong, "too long"); }));
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_THROW(trap.step(102, [] { throw Error(code::Unspecified, "bad"); }), Error);
}
