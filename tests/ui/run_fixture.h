#pragma once

// A copy of the sample database, a change log and a backup root for runs started from the main
// window, and tables of any size made for them.

#include "paradox/writer.h"
#include "reference_decoder.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui_fixture.h"

#include <map>
#include <sstream>

namespace qm::test {

struct RunWindowTest : WindowTest {
    std::filesystem::path db;
    std::filesystem::path log;
    std::filesystem::path backups;
    std::unique_ptr<ui::Form1> form1;

    void SetUp() override {
        WindowTest::SetUp();
        if (!std::filesystem::is_directory(QM_SAMPLES_DIR))
            GTEST_SKIP() << "the sample database was not built";
        db = home.path() / "Samples";
        std::filesystem::copy(QM_SAMPLES_DIR, db, std::filesystem::copy_options::recursive);
        log = home.path() / "backups.log";
        backups = home.path() / "backups";
        settings::SaveSetting(settings::key::Database, db.string());
    }
    void TearDown() override {
        form1.reset();
        WindowTest::TearDown();
    }
    RunOptions runOptions() const {
        RunOptions o;
        o.changeLog = log;
        o.backupRoot = backups;
        return o;
    }
    // The main window over the folder, with the given tables ticked (all when empty).
    ui::Form2& mainWindow(std::initializer_list<const char*> ticked = {}) {
        form1 = std::make_unique<ui::Form1>(&ui);
        EXPECT_TRUE(form1->Form_Load());
        ui::Form2& f = *form1->mainWindow();
        f.setRunOptions(runOptions());
        for (int i = 0; i < f.ListView1->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = f.ListView1->topLevelItem(i);
            bool tick = ticked.size() == 0;
            for (const char* name : ticked)
                tick = tick || item->text(0) == name;
            item->setCheckState(0, tick ? Qt::Checked : Qt::Unchecked);
        }
        return f;
    }

    // A table of n records in the folder: a text field that holds "needle" in every tenth
    // record, a second text field and a number.
    void makeBigTable(const std::string& file, long n) const {
        using paradox::FieldType;
        const std::vector<paradox::FieldSpec> fields = {{"Text", FieldType::Alpha, 40},
                                                        {"Other", FieldType::Alpha, 20},
                                                        {"Id", FieldType::Long, 0}};
        paradox::TableSpec spec;
        spec.fields = fields;
        paradox::TableWriter w(paradox::familyPathsFor(db / file), spec);
        std::vector<paradox::Value> rec(fields.size());
        for (long i = 0; i < n; ++i) {
            rec[0] = paradox::valueFromText(
                fields[0],
                (i % 10 == 0 ? "record with needle " : "record number ") + std::to_string(i));
            rec[1] = paradox::valueFromText(fields[1], "other " + std::to_string(i % 97));
            rec[2] = paradox::valueFromText(fields[2], std::to_string(i));
            w.add(rec);
        }
        w.finish();
    }

    // The reference decoder's dump of a table, one line per record after the header line.
    static std::string pxdump(const std::filesystem::path& table) {
        return runReferenceDecoder(table).output;
    }

    // Every file of a folder with its bytes.
    static std::map<std::string, std::string> files(const std::filesystem::path& folder) {
        std::map<std::string, std::string> m;
        for (const auto& e : std::filesystem::directory_iterator(folder))
            if (e.is_regular_file()) {
                std::ifstream in(e.path(), std::ios::binary);
                std::ostringstream s;
                s << in.rdbuf();
                m[e.path().filename().string()] = s.str();
            }
        return m;
    }
};

} // namespace qm::test
