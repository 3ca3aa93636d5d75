#pragma once

#include "app/user_interface.h"

#include <cstdint>
#include <string>

namespace qm {

// The system's button-face colour as the windows are given it: a system-colour reference,
// not an RGB value. The Qt side maps it to the palette's button colour.
inline constexpr std::uint32_t kButtonFace = 0x8000000Fu;

// The kinds of control the look distinguishes; only the plain ones take the window colour.
enum class ControlKind { OptionButton, CheckBox, Frame, Label, Other };

// What the look needs from a window: its background and its controls by kind. The windows
// implement it over their widgets.
class LookWindow {
  public:
    virtual ~LookWindow() = default;
    virtual void setBackColor(std::uint32_t colour) = 0;
    virtual int controlCount() const = 0;
    virtual ControlKind controlKind(int index) const = 0;
    virtual void setControlBackColor(int index, std::uint32_t colour) = 0;
    // Restyles the window with the text of a skin file (a Qt style sheet here).
    virtual void applySkin(const std::string& styleSheet) = 0;
};

// The skin file of the start window, "x/o.cjs" below the application folder.
std::string skinFilePath();

// Gives the window the button-face colour and the same colour to every option button,
// check box, frame and label on it.
void SetFormBackColors(LookWindow& window);

// When the skin file is there: button-face colours on the start window, then the skin
// applied to it. Without the file the window keeps its designed look. Returns whether the
// skin was applied. A skin file that cannot be read throws qm::Error for the caller's trap.
bool ApplySkin(LookWindow& startWindow);

// Pointer convention of the windows. A control's mouse-move either asks for the hand
// pointer, asks for the default one, or has no handler at all.
enum class HoverRole { Hand, Default, None };

// The role of a control of "Form1", "Form2" or "Form3"; the window's own surface is named
// by the window's name. Unknown controls have no handler.
HoverRole hoverRole(const std::string& window, const std::string& control);

// The pointer a window shows after the mouse moved over a control of the given role: the
// busy pointer is never replaced by a hover.
PointerState pointerAfterHover(PointerState current, HoverRole role);

} // namespace qm
