#include "ui/application.h"

#include "app/common.h"
#include "ui/form1.h"

#include <QApplication>

namespace qm::ui {

int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    setApplicationFolder(QCoreApplication::applicationDirPath().toStdString());
    Form1 form1;
    // The start-up sequence decides which window the user sees first.
    if (!form1.Form_Load())
        form1.show();
    return app.exec();
}

} // namespace qm::ui
