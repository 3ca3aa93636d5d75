#include "ui/application.h"

#include <QApplication>
#include <QLabel>

namespace qm::ui {

int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    QLabel placeholder("Quillmend Studio");
    placeholder.setWindowTitle("Quillmend Studio");
    placeholder.resize(480, 200);
    placeholder.show();
    return app.exec();
}

} // namespace qm::ui
