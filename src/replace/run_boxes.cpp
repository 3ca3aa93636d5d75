#include "replace/run_boxes.h"

#include "app/error_report.h"

namespace qm {

Answer RunBoxes::messageBox(const std::string& text, Buttons buttons, Icon icon,
                            const std::string& title) {
    const bool errorReport = title == kErrorReportTitle && buttons == Buttons::Ok;
    if (!errorReport || !reports_)
        return inner().messageBox(text, buttons, icon, title);
    reports_->push_back(text);
    if (shown_)
        return Answer::Ok;
    shown_ = true;
    return inner().messageBox(text, buttons, icon, title);
}

void RunBoxes::processEvents() {
    if (safe_)
        checkCancel();
    inner().processEvents();
}

} // namespace qm
