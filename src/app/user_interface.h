#pragma once

#include <string>

namespace qm {

// Button sets and icons keep the Windows message-box codes so that the
// numbers quoted by callers (48 = OK with exclamation, 4 = Yes/No) mean what they meant.
// YesNoDefaultNo is Yes/No with the second button as the default (4 + 256): a question whose
// Yes starts something the person may not want is not answered by a stray Enter.
enum class Buttons { Ok = 0, OkCancel = 1, YesNo = 4, YesNoDefaultNo = 260 };

inline bool isYesNo(Buttons b) {
    return b == Buttons::YesNo || b == Buttons::YesNoDefaultNo;
}
enum class Icon { None = 0, Critical = 16, Question = 32, Exclamation = 48, Information = 64 };
enum class Answer { Ok = 1, Cancel = 2, Yes = 6, No = 7 };

// Pointer states of a window: the numbers are the ones the windows store and compare.
enum class PointerState { Default = 0, Busy = 11, Custom = 99 };

struct FileDialogRequest {
    bool save = false;
    std::string title;
    std::string filter;    // "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|"
    long flags = 0;        // passed through; the Qt side honours what it can
    std::string fileName;  // initial name
    std::string directory; // where the dialog opens when no initial name is given
};

// Everything the engine needs from the person in front of the screen. The windows
// implement it with Qt; tests replace it with a scripted fake.
class UserInterface {
  public:
    virtual ~UserInterface() = default;

    // An empty title means the application title.
    virtual Answer messageBox(const std::string& text, Buttons buttons, Icon icon,
                              const std::string& title) = 0;
    // Returns the text when confirmed, the empty text when cancelled.
    virtual std::string inputBox(const std::string& prompt, const std::string& title,
                                 const std::string& defaultText) = 0;
    // Returns the chosen path, the empty text when cancelled.
    virtual std::string fileDialog(const FileDialogRequest& request) = 0;
    virtual std::string browseForFolder(const std::string& prompt,
                                        const std::string& initialFolder) = 0;
    // A box with a short text and a longer one the person may open and scroll (the end of a
    // run: counts in the box, every table in the details). Where there is no such view, the
    // details follow the text in an ordinary box.
    virtual Answer detailedBox(const std::string& text, const std::string& details, Buttons buttons,
                               Icon icon, const std::string& title) {
        return messageBox(details.empty() ? text : text + "\r\n\r\n" + details, buttons, icon,
                          title);
    }
    // The pointer of the window the engine is working for.
    virtual void setPointer(PointerState state) = 0;
    // Lets pending window events run; must cost next to nothing when none wait.
    virtual void processEvents() = 0;
};

} // namespace qm
