#pragma once

#include "app/user_interface.h"

#include <QObject>
#include <QPointer>
#include <atomic>

namespace qm::ui {

// The seam as a run on a worker thread sees it: every box, dialog and pointer change is carried
// out by the window's own UserInterface on the thread that owns the window, and the worker waits
// for the answer. Letting events run is the window thread's business: from the worker it does
// nothing.
class MarshalledUserInterface : public UserInterface {
  public:
    // context: an object living on the window's thread, alive for as long as this is.
    MarshalledUserInterface(UserInterface& inner, QObject* context)
        : inner_(inner), context_(context) {}

    // No more boxes: each is answered as if its default button had been pressed (the window is
    // closing, and the person asked for the run to end, not for its report).
    void setQuiet(bool quiet) { quiet_.store(quiet); }

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

  private:
    // Runs f on the window's thread and returns its result; at once when already there.
    template <class F> auto onWindowThread(F&& f) -> decltype(f());
    bool onWindowThreadNow() const;

    UserInterface& inner_;
    QPointer<QObject> context_;
    std::atomic<bool> quiet_{false};
};

} // namespace qm::ui
