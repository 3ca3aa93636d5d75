// Renders each window with the real widgets on the sample database and saves PNG files, for
// the README. The run's progress view, its end report and the preview are taken from a real run
// (and a real dry run) on a copy of the samples with a large table added.
//
//     QT_QPA_PLATFORM=offscreen make_screenshots SAMPLES_FOLDER OUTPUT_FOLDER

#include "app/common.h"
#include "app/settings.h"
#include "paradox/writer.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/form3.h"
#include "ui/preview_dialog.h"
#include "ui/qt_user_interface.h"
#include "ui/run_report_dialog.h"

#include <QApplication>
#include <QDir>
#include <QMetaObject>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <filesystem>

using namespace qm;

namespace {
void grabTo(QWidget& w, const QString& file) {
    if (!w.grab().save(file))
        std::fprintf(stderr, "could not write %s\n", qPrintable(file));
}

void save(QWidget& w, const QString& file) {
    w.show();
    QApplication::processEvents();
    grabTo(w, file);
}

// The real boxes, except that the end-of-run box is shown with its details open, taken, and
// closed again instead of waiting for a click.
class ShotInterface : public ui::QtUserInterface {
  public:
    QString endBoxFile;

    Answer detailedBox(const std::string& text, const std::string& details, Buttons buttons,
                       Icon icon, const std::string& title) override {
        if (endBoxFile.isEmpty())
            return ui::QtUserInterface::detailedBox(text, details, buttons, icon, title);
        const auto plain = [](const std::string& s) {
            return QString::fromStdString(s).replace("\r\n", "\n");
        };
        ui::RunReportDialog box(window(), "Quillmend Studio", plain(text), plain(details), icon,
                                buttons);
        box.toggleDetails();
        box.setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        box.resize(1040, 330);
        save(box, endBoxFile);
        endBoxFile.clear();
        return Answer::Ok;
    }
};

// A table of n invoices, every tenth of them for grey goods: a run over it lasts long enough to
// be seen under way.
void makeInvoices(const std::filesystem::path& db, long n) {
    using paradox::FieldType;
    const std::vector<paradox::FieldSpec> fields = {{"Invoice", FieldType::Long, 0},
                                                    {"Item", FieldType::Alpha, 40},
                                                    {"Customer", FieldType::Alpha, 30}};
    paradox::TableSpec shape;
    shape.fields = fields;
    paradox::TableWriter w(paradox::familyPathsFor(db), shape);
    std::vector<paradox::Value> rec(fields.size());
    for (long i = 0; i < n; ++i) {
        rec[0] = paradox::valueFromText(fields[0], std::to_string(100000 + i));
        rec[1] = paradox::valueFromText(fields[1],
                                        i % 10 == 0 ? "Folder, grey, A4" : "Envelope, white, C5");
        rec[2] = paradox::valueFromText(fields[2], "Customer " + std::to_string(i % 250));
        w.add(rec);
    }
    w.finish();
}

void tick(ui::Form2& f, const std::vector<QString>& names) {
    for (int i = 0; i < f.ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = f.ListView1->topLevelItem(i);
        item->setCheckState(0, std::find(names.begin(), names.end(), item->text(0)) != names.end()
                                   ? Qt::Checked
                                   : Qt::Unchecked);
    }
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

    ShotInterface shots;
    ui::Form1 form1(&shots);
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
    form3.hide();

    // The run's own views, on a shop's folder: the samples and a large table of invoices. The
    // change log and the old files go to the temporary store, not to the user's folders.
    const std::filesystem::path shop = std::filesystem::path(store.path().toStdString()) / "Shop";
    std::filesystem::copy(samples.toStdString(), shop, std::filesystem::copy_options::recursive);
    makeInvoices(shop / "INVOICES.DB", 400000);
    form2->PushButton5_Click();
    form1.set(shop.string());
    form1.PushButton3_Click();
    form2 = form1.mainWindow();
    RunOptions options;
    options.changeLog = shop.parent_path() / "backups.log";
    options.backupRoot = shop.parent_path() / "backups";
    form2->setRunOptions(options);
    form2->TabControl1->setCurrentIndex(1);
    form2->sets().clearFind();
    form2->sets().clearReplace();
    form2->sets().appendSet("grey", "gray");
    form2->sets().appendSet("colour", "color");
    form2->refreshSetLists();

    tick(*form2, {"CUSTOMER", "ORDERS", "PRODUCTS"});
    form2->setPreviewHook([&](ui::PreviewDialog& dialog) {
        // The offscreen screen is small; a desktop's has room for the dialog as it opens. The
        // second hit is chosen: its values show whole below the list.
        dialog.setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        dialog.resize(1000, 560);
        if (dialog.hitList->topLevelItemCount() > 1)
            dialog.hitList->setCurrentItem(dialog.hitList->topLevelItem(1));
        save(dialog, out.filePath("preview.png"));
    });
    form2->Preview_Click();

    // The progress view as the run shows it a third of the way through the invoices.
    tick(*form2, {"CUSTOMER", "INVOICES", "ORDERS", "PRODUCTS"});
    bool taken = false;
    options.onProgress = [&](const RunProgress& p) {
        if (taken || p.name != "INVOICES" || p.phase != RunProgress::Phase::Searching ||
            p.recordsDone * 3 < p.recordsTotal)
            return;
        taken = true;
        QMetaObject::invokeMethod(
            form2, [&] { grabTo(*form2, out.filePath("run-progress.png")); },
            Qt::BlockingQueuedConnection);
    };
    form2->setRunOptions(options);
    form2->resize(form2->width() + 80, form2->height() + 200);
    shots.endBoxFile = out.filePath("run-report.png");
    form2->PushButton1_Click();
    if (!taken || !shots.endBoxFile.isEmpty()) {
        std::fprintf(stderr, "the run ended before its progress view or its report was taken\n");
        return 1;
    }
    return 0;
}
