#include "ui/application.h"

#include "app/common.h"
#include "replace/replace_run.h"
#include "ui/form1.h"

#include <QApplication>

namespace qm::ui {

int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    setApplicationFolder(QCoreApplication::applicationDirPath().toStdString());
    // A run killed in the middle of a write-back left a table aside; put it back before anyone
    // can open it.
    std::vector<std::string> recovered = recoverInterruptedRuns();
    Form1 form1;
    if (!recovered.empty()) {
        std::string text = "A previous run was interrupted. These tables were put back:";
        for (const auto& line : recovered)
            text += "\r\n" + line;
        form1.userInterface().messageBox(text, Buttons::Ok, Icon::Information, appTitle());
    }
    // The start-up sequence decides which window the user sees first.
    if (!form1.Form_Load())
        form1.show();
    return app.exec();
}

} // namespace qm::ui
