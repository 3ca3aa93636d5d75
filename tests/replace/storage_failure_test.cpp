// A working database that cannot take what the run gives it: the table is not written back, the
// run says why and does not end clean, and the next table goes on as usual.

#include "replace_fixture.h"
#include "small_disk.h"

#include <functional>
#include <tuple>
#include <utility>

namespace qm::test {
namespace {

using paradox::FieldType;

const std::vector<paradox::FieldSpec> kWide = {{"Name", FieldType::Alpha, 200},
                                               {"Notes", FieldType::Alpha, 200}};

class StorageFailureTest : public ReplaceFixture {
  protected:
    void SetUp() override {
        ReplaceFixture::SetUp();
        disk_ = std::make_unique<SmallDisk>(appDir, 8 << 20);
        if (!disk_->mounted())
            GTEST_SKIP() << disk_->why();
        std::ofstream(appDir / "dbTemp.mdb").close();
        // The disk fills or gets room again just before an operation of the run.
        db::setOperationLog([this](const db::Operation& op) {
            operations.push_back(op);
            for (const auto& [kind, table, action] : before_)
                if (op.kind == kind && op.table == table)
                    action();
        });
    }
    void TearDown() override {
        disk_.reset();
        ReplaceFixture::TearDown();
    }

    fs::path wide(const std::string& file, int records) {
        std::vector<std::vector<std::string>> rows;
        for (int i = 0; i < records; ++i)
            rows.push_back({"cat " + std::string(190, static_cast<char>('a' + i % 26)),
                            std::to_string(i) + std::string(190, 'n')});
        return makeTable(file, kWide, rows);
    }

    void beforeOperation(db::Operation::Kind kind, const std::string& table,
                         std::function<void()> action) {
        before_.emplace_back(kind, table, std::move(action));
    }

    std::unique_ptr<SmallDisk> disk_;

  private:
    std::vector<std::tuple<db::Operation::Kind, std::string, std::function<void()>>> before_;
};

TEST_F(StorageFailureTest, ACopyThatDoesNotFitIsNoRefusalAndTheNextTableGoesOn) {
    // The disk is full when BIG is imported, and has room again for SMALL.
    wide("BIG.DB", 300);
    bool filled = false;
    beforeOperation(db::Operation::Kind::CopyRecord, "BIG", [&] {
        if (!std::exchange(filled, true))
            disk_->fill();
    });
    beforeOperation(db::Operation::Kind::CreateCopy, "SMALL", [this] { disk_->removeFiller(); });
    const fs::path small = wide("SMALL.DB", 3);
    const auto before = files(paradoxDir);
    const auto r = run(pair({row("BIG.DB"), row("SMALL.DB")}, "cat", "dog"));
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_FALSE(r.clean());
    EXPECT_EQ(r.tables[0].writeBack, TableOutcome::WriteBack::NotWritten);
    EXPECT_NE(r.tables[0].reason.find("working database failed"), std::string::npos)
        << r.tables[0].reason;
    EXPECT_NE(r.tables[0].reason.find("full"), std::string::npos) << r.tables[0].reason;
    EXPECT_EQ(r.tables[0].hits, 0) << "no record of it was searched";
    EXPECT_TRUE(files(paradoxDir)["BIG.DB"] == before.at("BIG.DB")) << "BIG.DB changed";
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written) << r.tables[1].reason;
    EXPECT_EQ(values(small)[0][0].substr(0, 4), "dog ");
    // No box per failed statement: the one box at the end names the table and the reason.
    ASSERT_EQ(ui.boxes.size(), 1u) << ui.boxes[0].text;
    EXPECT_NE(ui.boxes[0].text.find("BIG: not written back"), std::string::npos)
        << ui.boxes[0].text;
    EXPECT_NE(ui.boxes[0].text.find("full"), std::string::npos);
    EXPECT_EQ(ui.pointer(), PointerState::Default);
}

TEST_F(StorageFailureTest, ACommitOfTheRunsUpdatesThatFailsKeepsTheTableAsItWas) {
    const fs::path pets = wide("PETS.DB", 40);
    const fs::path zoo = wide("ZOO.DB", 2);
    const auto before = files(paradoxDir);
    // The disk fills between the import and the UPDATEs of PETS, and has room again for ZOO.
    options.progress = [&](const std::string& table, long long done, long long) {
        if (done == 0 && table == "PETS")
            disk_->fill();
    };
    beforeOperation(db::Operation::Kind::CreateCopy, "ZOO", [this] { disk_->removeFiller(); });
    const auto r = run(pair({row("PETS.DB"), row("ZOO.DB")}, "cat", "dog"));
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.end, RunResult::End::Completed);
    EXPECT_FALSE(r.clean());
    const auto& t = r.tables[0];
    EXPECT_EQ(t.writeBack, TableOutcome::WriteBack::NotWritten) << t.reason;
    EXPECT_NE(t.reason.find("could not commit"), std::string::npos) << t.reason;
    EXPECT_EQ(t.hits, 40) << "every hit was logged before the commit failed";
    EXPECT_EQ(t.valuesChanged, 0);
    EXPECT_TRUE(files(paradoxDir)["PETS.DB"] == before.at("PETS.DB")) << "PETS.DB changed";
    EXPECT_EQ(values(pets)[0][0].substr(0, 4), "cat ");
    EXPECT_EQ(r.tables[1].writeBack, TableOutcome::WriteBack::Written) << r.tables[1].reason;
    EXPECT_EQ(values(zoo)[1][0].substr(0, 4), "dog ");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].text.find("PETS: not written back"), std::string::npos)
        << ui.boxes[0].text;
    EXPECT_NE(ui.boxes[0].text.find("full"), std::string::npos) << ui.boxes[0].text;
}

} // namespace
} // namespace qm::test
