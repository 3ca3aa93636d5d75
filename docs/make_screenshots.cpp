// Renders each window with the real widgets on the sample database and saves PNG files, for
// the README.
//
//     QT_QPA_PLATFORM=offscreen make_screenshots SAMPLES_FOLDER OUTPUT_FOLDER

#include "app/common.h"
#include "app/settings.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/form3.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>

using namespace qm;

namespace {
void save(QWidget& w, const QString& file) {
    w.show();
    QApplication::processEvents();
    if (!w.grab().save(file))
        std::fprintf(stderr, "could not write %s\n", qPrintable(file));
}
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_screenshots SAMPLES_FOLDER OUTPUT_FOLDER\n");
        return 2;
    }
    QTemporaryDir store;
    settings::setStoreFolder(store.path().toStdString());
    setApplicationFolder(QCoreApplication::applicationDirPath().toStdString());
    QString samples = QString::fromLocal8Bit(argv[1]);
    QDir out(QString::fromLocal8Bit(argv[2]));

    ui::Form1 form1;
    form1.Form_Load();
    form1.set(samples.toStdString());
    save(form1, out.filePath("start-window.png"));

    // The main window on a copy of the samples with last year's tables in a sub-folder: the
    // list tells the same-named tables apart by their folders.
    std::filesystem::path copy = std::filesystem::path(store.path().toStdString()) / "Samples";
    std::filesystem::copy(samples.toStdString(), copy, std::filesystem::copy_options::recursive);
    std::filesystem::create_directories(copy / "Archive");
    std::filesystem::copy(samples.toStdString(), copy / "Archive" / "2019",
                          std::filesystem::copy_options::recursive);
    form1.set(copy.string());
    form1.PushButton3_Click();
    ui::Form2* form2 = form1.mainWindow();
    if (!form2)
        return 1;
    form2->ListView1->topLevelItem(0)->setCheckState(0, Qt::Checked);
    form2->Text1->setText("grey");
    form2->Text2->setText("gray");
    save(*form2, out.filePath("main-window.png"));

    form2->sets().appendSet("colour", "color");
    form2->sets().appendSet("grey", "gray");
    form2->sets().selectFind(1);
    form2->refreshSetLists();
    form2->TabControl1->setCurrentIndex(1);
    save(*form2, out.filePath("main-window-sets.png"));

    ui::Form3 form3(form2, form2->sets());
    form3.Form_Load();
    form3.Text1->setText(QDir(samples).filePath("sets.txt"));
    save(form3, out.filePath("load-sets-dialog.png"));
    return 0;
}
