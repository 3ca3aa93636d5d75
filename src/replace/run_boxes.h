#pragma once

// The user interface as a run sees it. Two things stand between the run and the person:
//   - at most one error report per table reaches the screen; later reports of the same table
//     are kept for the end-of-run report instead of stopping the person box after box;
//   - a request to cancel is honoured where the run lets window events run (the import), by
//     throwing RunCancelled there, while the run has said it is at a safe point.

#include "app/forwarding_user_interface.h"
#include "replace/run_control.h"

#include <string>
#include <vector>

namespace qm {

class RunBoxes : public ForwardingUserInterface {
  public:
    RunBoxes(UserInterface& inner, const CancelToken* cancel)
        : ForwardingUserInterface(inner), cancel_(cancel) {}

    // The reports from now on belong to this list (nullptr: to no table; all are shown).
    void beginTable(std::vector<std::string>* reports) {
        reports_ = reports;
        shown_ = false;
    }
    // While true, a cancel request stops the run at the next event pump.
    void setSafePoint(bool safe) { safe_ = safe; }
    // Throws RunCancelled when a cancel was asked for.
    void checkCancel() const {
        if (cancel_ && cancel_->requested())
            throw RunCancelled{};
    }

    Answer messageBox(const std::string& text, Buttons buttons, Icon icon,
                      const std::string& title) override;
    void processEvents() override;

  private:
    const CancelToken* cancel_;
    std::vector<std::string>* reports_ = nullptr;
    bool shown_ = false;
    bool safe_ = false;
};

} // namespace qm
