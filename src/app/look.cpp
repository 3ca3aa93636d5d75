#include "app/look.h"

#include "app/common.h"
#include "app/error.h"
#include "platform/files.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

namespace qm {

std::string skinFilePath() {
    return applicationFolder() + kSeparator + "x" + kSeparator + "o.cjs";
}

void SetFormBackColors(LookWindow& window) {
    window.setBackColor(kButtonFace);
    int n = window.controlCount();
    for (int i = 0; i < n; ++i) {
        switch (window.controlKind(i)) {
        case ControlKind::OptionButton:
        case ControlKind::CheckBox:
        case ControlKind::Frame:
        case ControlKind::Label:
            window.setControlBackColor(i, kButtonFace);
            break;
        case ControlKind::Other:
            break;
        }
    }
}

bool ApplySkin(LookWindow& startWindow) {
    // The skin is looked up as a directory listing would, which names files only: a folder
    // called o.cjs is no skin.
    std::string path = skinFilePath();
    platform::FileStatus st;
    if (platform::status(path, st) != 0 || !st.regular)
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Error(errno == EACCES ? code::PermissionDenied : code::PathFileAccess,
                    "Cannot read the skin file " + path);
    std::string sheet((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw Error(code::PathFileAccess, "Cannot read the skin file " + path);
    SetFormBackColors(startWindow);
    startWindow.applySkin(sheet);
    return true;
}

namespace {

struct HoverEntry {
    std::string_view window;
    std::string_view control;
    HoverRole role;
};

constexpr std::array<HoverEntry, 23> kHover = {{
    {"Form1", "PushButton1", HoverRole::Hand},  {"Form1", "PushButton2", HoverRole::Hand},
    {"Form1", "PushButton3", HoverRole::Hand},  {"Form1", "PushButton5", HoverRole::Hand},
    {"Form1", "Form1", HoverRole::Default},     {"Form1", "Text1", HoverRole::Default},
    {"Form1", "Frame1", HoverRole::Default},    {"Form2", "PushButton1", HoverRole::Hand},
    {"Form2", "PushButton5", HoverRole::Hand},  {"Form2", "PushButton7", HoverRole::Hand},
    {"Form2", "PushButton8", HoverRole::Hand},  {"Form2", "PushButton9", HoverRole::Hand},
    {"Form2", "PushButton10", HoverRole::Hand}, {"Form2", "PushButton11", HoverRole::Hand},
    {"Form2", "PushButton12", HoverRole::Hand}, {"Form2", "PushButton13", HoverRole::Hand},
    {"Form2", "Form2", HoverRole::Default},     {"Form2", "ListView1", HoverRole::Default},
    {"Form3", "PushButton1", HoverRole::Hand},  {"Form3", "PushButton2", HoverRole::Hand},
    {"Form3", "PushButton3", HoverRole::Hand},  {"Form3", "PushButton16", HoverRole::Hand},
    {"Form3", "Form3", HoverRole::Default},
}};

} // namespace

HoverRole hoverRole(const std::string& window, const std::string& control) {
    for (const auto& e : kHover)
        if (e.window == window && e.control == control)
            return e.role;
    return HoverRole::None;
}

PointerState pointerAfterHover(PointerState current, HoverRole role) {
    if (current == PointerState::Busy)
        return current;
    switch (role) {
    case HoverRole::Hand:
        return PointerState::Custom;
    case HoverRole::Default:
        return PointerState::Default;
    case HoverRole::None:
        break;
    }
    return current;
}

} // namespace qm
