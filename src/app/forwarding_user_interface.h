#pragma once

#include "app/user_interface.h"

namespace qm {

// A UserInterface that hands every call to another one: the base of the seams that step in
// for a few calls only (a run's boxes, a window's pointer).
class ForwardingUserInterface : public UserInterface {
  public:
    explicit ForwardingUserInterface(UserInterface& inner) : inner_(inner) {}
    Answer messageBox(const std::string& text, Buttons buttons, Icon icon,
                      const std::string& title) override {
        return inner_.messageBox(text, buttons, icon, title);
    }
    Answer detailedBox(const std::string& text, const std::string& details, Buttons buttons,
                       Icon icon, const std::string& title) override {
        return inner_.detailedBox(text, details, buttons, icon, title);
    }
    std::string inputBox(const std::string& prompt, const std::string& title,
                         const std::string& defaultText) override {
        return inner_.inputBox(prompt, title, defaultText);
    }
    std::string fileDialog(const FileDialogRequest& request) override {
        return inner_.fileDialog(request);
    }
    std::string browseForFolder(const std::string& prompt,
                                const std::string& initialFolder) override {
        return inner_.browseForFolder(prompt, initialFolder);
    }
    void setPointer(PointerState state) override { inner_.setPointer(state); }
    void processEvents() override { inner_.processEvents(); }

  protected:
    UserInterface& inner() { return inner_; }

  private:
    UserInterface& inner_;
};

} // namespace qm
