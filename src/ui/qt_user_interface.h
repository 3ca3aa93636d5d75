#pragma once

#include "app/pump_throttle.h"
#include "app/user_interface.h"

#include <QPointer>
#include <QWidget>
#include <functional>

namespace qm::ui {

// The seam's Qt side: real boxes and dialogs, parented to the window the engine works for.
class QtUserInterface : public UserInterface {
  public:
    explicit QtUserInterface(QWidget* window = nullptr) : window_(window) {}

    void setWindow(QWidget* window) { window_ = window; }
    // The window's own pointer state keeper; without one the window's cursor is set directly.
    void setPointerSink(std::function<void(PointerState)> sink) { pointerSink_ = std::move(sink); }
    QWidget* window() const { return window_; }

    Answer messageBox(const std::string& text, Buttons buttons, Icon icon,
                      const std::string& title) override;
    Answer detailedBox(const std::string& text, const std::string& details, Buttons buttons,
                       Icon icon, const std::string& title) override;
    std::string inputBox(const std::string& prompt, const std::string& title,
                         const std::string& defaultText) override;
    std::string fileDialog(const FileDialogRequest& request) override;
    std::string browseForFolder(const std::string& prompt,
                                const std::string& initialFolder) override;
    void setPointer(PointerState state) override;
    void processEvents() override;

    // "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|" -> "Text Files (*.txt);;All Files (*.*)"
    static QString qtFilter(const std::string& filter);

  private:
    QPointer<QWidget> window_;
    PumpThrottle pump_;
    std::function<void(PointerState)> pointerSink_;
};

} // namespace qm::ui
