#include "app/common.h"
#include "app/error.h"
#include "app/look.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <vector>

using namespace qm;

namespace {

class FakeWindow : public LookWindow {
  public:
    explicit FakeWindow(std::vector<ControlKind> kinds)
        : kinds_(std::move(kinds)), colours(kinds_.size()) {}
    void setBackColor(std::uint32_t c) override { back = c; }
    int controlCount() const override { return static_cast<int>(kinds_.size()); }
    ControlKind controlKind(int i) const override { return kinds_.at(static_cast<size_t>(i)); }
    void setControlBackColor(int i, std::uint32_t c) override {
        colours.at(static_cast<size_t>(i)) = c;
    }
    void applySkin(const std::string& sheet) override { skins.push_back(sheet); }

    std::optional<std::uint32_t> back;
    std::vector<ControlKind> kinds_;
    std::vector<std::optional<std::uint32_t>> colours;
    std::vector<std::string> skins;
};

const std::vector<ControlKind> kAllKinds = {ControlKind::Label,        ControlKind::Other,
                                            ControlKind::Frame,        ControlKind::CheckBox,
                                            ControlKind::OptionButton, ControlKind::Other};

void expectButtonFaceOnPlainControls(const FakeWindow& w) {
    ASSERT_TRUE(w.back.has_value());
    EXPECT_EQ(*w.back, 0x8000000Fu);
    for (std::size_t i = 0; i < w.kinds_.size(); ++i) {
        if (w.kinds_[i] == ControlKind::Other)
            EXPECT_FALSE(w.colours[i].has_value()) << i;
        else
            EXPECT_EQ(w.colours[i], std::optional<std::uint32_t>(0x8000000Fu)) << i;
    }
}

class Look : public ::testing::Test {
  protected:
    void SetUp() override {
        saved = applicationFolder();
        setApplicationFolder(dir.path().string());
    }
    void TearDown() override { setApplicationFolder(saved); }
    test::TempDir dir;
    std::string saved;
};

} // namespace

TEST_F(Look, FormBackColorsReachOnlyPlainControls) {
    FakeWindow w(kAllKinds);
    SetFormBackColors(w);
    expectButtonFaceOnPlainControls(w);
}

TEST_F(Look, WithoutSkinFileTheStartWindowKeepsItsLook) {
    FakeWindow w(kAllKinds);
    EXPECT_FALSE(ApplySkin(w));
    EXPECT_FALSE(w.back.has_value());
    EXPECT_TRUE(w.skins.empty());
    // A folder of the skin's name is no skin file.
    std::filesystem::create_directories(dir.path() / "x" / "o.cjs");
    EXPECT_FALSE(ApplySkin(w));
    EXPECT_FALSE(w.back.has_value());
}

TEST_F(Look, SkinFileColoursAndStylesTheStartWindow) {
    std::filesystem::create_directories(dir.path() / "x");
    std::ofstream(dir.path() / "x" / "o.cjs") << "QWidget { color: navy; }";
    EXPECT_EQ(skinFilePath(), (dir.path() / "x" / "o.cjs").string());
    FakeWindow w(kAllKinds);
    EXPECT_TRUE(ApplySkin(w));
    expectButtonFaceOnPlainControls(w);
    EXPECT_EQ(w.skins, std::vector<std::string>{"QWidget { color: navy; }"});
}

TEST(Pointer, BusyPointerIsNeverReplacedByAHover) {
    using P = PointerState;
    EXPECT_EQ(pointerAfterHover(P::Default, HoverRole::Hand), P::Custom);
    EXPECT_EQ(pointerAfterHover(P::Custom, HoverRole::Default), P::Default);
    EXPECT_EQ(pointerAfterHover(P::Custom, HoverRole::None), P::Custom);
    EXPECT_EQ(pointerAfterHover(P::Default, HoverRole::None), P::Default);
    for (HoverRole r : {HoverRole::Hand, HoverRole::Default, HoverRole::None})
        EXPECT_EQ(pointerAfterHover(P::Busy, r), P::Busy);
    EXPECT_EQ(static_cast<int>(P::Busy), 11);
    EXPECT_EQ(static_cast<int>(P::Custom), 99);
}
