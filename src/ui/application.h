#pragma once

namespace qm::ui {

// Builds the QApplication and the start window, and runs the event loop.
int runApplication(int argc, char** argv);

} // namespace qm::ui
