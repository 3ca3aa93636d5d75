#include "ui/application.h"

#include "app/common.h"
#include "replace/replace_run.h"
#include "replace/run_recovery.h"
#include "ui/form1.h"

#include <QApplication>

namespace qm::ui {

int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    // The name the platform shows for the program (task bar, window groups, the desktop entry it
    // belongs to). Not the display name: that one Qt would add to every window caption.
    QCoreApplication::setApplicationName(kProductName);
    QGuiApplication::setDesktopFileName(QStringLiteral("quillmend-studio"));
    setApplicationFolder(QCoreApplication::applicationDirPath().toStdString());
    Form1 form1;
    // A run killed in the middle of a write-back left a table aside; put it back before anyone
    // can open it. A write-back another live run is carrying out is left to that run.
    recoverInterruptedRuns(form1.userInterface());
    // The start-up sequence decides which window the user sees first.
    if (!form1.Form_Load())
        form1.show();
    return app.exec();
}

} // namespace qm::ui
