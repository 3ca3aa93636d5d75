#pragma once

// What the main window asks of the start window, which made it and outlives it: the current
// folder, where a folder copy came from, and to be shown again when the person goes back.

#include "app/current_folder.h"

#include <functional>
#include <string>

namespace qm::ui {

class StartWindow : public CurrentFolder {
  public:
    // The folder a folder copy was made from, when this session made folder by one; else empty.
    virtual std::string copiedFrom(const std::string& folder) const = 0;
    // The start window in front again ("< Back" of the main window).
    virtual void showAgain() = 0;

    // Closing either window ends the program; tests replace what "end" means.
    static void setProgramEnd(std::function<void()> end);
    static void endProgram();
};

} // namespace qm::ui
