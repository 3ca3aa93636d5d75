#include "ui/start_window.h"

#include <QCoreApplication>

namespace qm::ui {

namespace {
std::function<void()>& programEnd() {
    static std::function<void()> end = [] { QCoreApplication::exit(0); };
    return end;
}
} // namespace

void StartWindow::setProgramEnd(std::function<void()> end) {
    programEnd() = std::move(end);
}

void StartWindow::endProgram() {
    programEnd()();
}

} // namespace qm::ui
