#pragma once

// The engine's user interface on a terminal, or in a script where no one answers: boxes are
// kept as lines for the caller to print, questions are answered "No" (or "Cancel"), and the
// prompts and pickers come back cancelled.

#include "app/user_interface.h"

#include <string>
#include <vector>

namespace qm::cli {

class ConsoleUserInterface : public UserInterface {
  public:
    Answer messageBox(const std::string& text, Buttons buttons, Icon icon,
                      const std::string& title) override;
    std::string inputBox(const std::string& prompt, const std::string& title,
                         const std::string& defaultText) override;
    std::string fileDialog(const FileDialogRequest& request) override;
    std::string browseForFolder(const std::string& prompt,
                                const std::string& initialFolder) override;
    void setPointer(PointerState) override {}
    void processEvents() override {}

    // Every box and unanswered prompt so far, line breaks as on this platform.
    const std::vector<std::string>& messages() const { return messages_; }
    void clear() { messages_.clear(); }

  private:
    std::vector<std::string> messages_;
};

// CR LF and lone CR become LF.
std::string plainLines(const std::string& text);

} // namespace qm::cli
