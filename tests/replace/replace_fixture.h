#pragma once

// A Paradox folder, a working database, a change log and a backup root in a temporary folder,
// and the inputs of a run over them.

#include "../db/db_fixture.h"
#include "fake_user_interface.h"

#include "db/catalogue.h"
#include "paradox/table.h"
#include "replace/replace_run.h"

#include <fstream>
#include <map>

namespace qm::test {

class ReplaceFixture : public DbFixture {
  protected:
    void SetUp() override {
        DbFixture::SetUp();
        backups = temp_.path() / "backups";
        options.changeLog = temp_.path() / "backups.log";
        options.backupRoot = backups;
    }

    TableRow row(const std::string& fileName, const fs::path& folder = {}) const {
        return {TableNameFromFile(fileName), (folder.empty() ? paradoxDir : folder).string(),
                fileName};
    }
    RunInputs pair(std::vector<TableRow> rows, const std::string& find,
                   const std::string& replace) const {
        RunInputs in;
        for (auto& r : rows)
            in.rows.push_back({std::move(r), true});
        in.selectedTab = 0;
        in.findText = find;
        in.replaceText = replace;
        return in;
    }
    RunInputs sets(std::vector<TableRow> rows,
                   const std::vector<std::pair<std::string, std::string>>& s) const {
        RunInputs in = pair(std::move(rows), "", "");
        in.selectedTab = 1;
        for (const auto& [f, r] : s) {
            in.setFind.push_back(f);
            in.setReplace.push_back(r);
        }
        return in;
    }
    RunResult run(const RunInputs& in) { return runReplace(ui, in, options); }

    std::vector<std::string> logLines() const {
        std::ifstream f(options.changeLog, std::ios::binary);
        std::string all{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t at; (at = all.find("\r\n", start)) != std::string::npos; start = at + 2)
            lines.push_back(all.substr(start, at - start));
        EXPECT_EQ(start, all.size()) << "the log ends in CR LF";
        return lines;
    }

    // Every record's values in their text form, read by our reader.
    static std::vector<std::vector<std::string>> values(const fs::path& db) {
        std::vector<std::vector<std::string>> out;
        const auto t = paradox::Table::open(db);
        t.forEachRecord([&](const paradox::Record& r) {
            std::vector<std::string> rec;
            for (std::size_t k = 0; k < t.fields().size(); ++k)
                rec.push_back(paradox::textForm(t.fields()[k], r.value(k)));
            out.push_back(std::move(rec));
        });
        return out;
    }

    // Every file of a folder with its bytes.
    static std::map<std::string, std::string> files(const fs::path& folder) {
        std::map<std::string, std::string> m;
        for (const auto& e : fs::directory_iterator(folder))
            if (e.is_regular_file()) {
                std::ifstream in(e.path(), std::ios::binary);
                m[e.path().filename().string()] = {std::istreambuf_iterator<char>(in),
                                                   std::istreambuf_iterator<char>()};
            }
        return m;
    }

    FakeUserInterface ui;
    RunOptions options;
    fs::path backups;
};

} // namespace qm::test
