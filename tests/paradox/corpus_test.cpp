// Every table of the shared corpus, read by our engine and by the independent reference decoder;
// every header value and every field of every record must agree.

#include "reference_compare.h"
#include "reference_decoder.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace qm::paradox::test;

TEST(ParadoxCorpus, EveryTableAgreesWithTheReferenceDecoder) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "corpus folder " << qm::test::corpusDir() << " is absent";
    qm::test::TempDir tmp;
    const auto tables = corpusTables();
    ASSERT_FALSE(tables.empty());
    std::size_t compared = 0, values = 0, encrypted = 0;
    for (const auto& path : tables) {
        SCOPED_TRACE(path.string());
        const DecoderRun ref = runReferenceDecoder(path);
        ASSERT_TRUE(ref.status == 0 || ref.status == 2) << "pxdump status " << ref.status;

        if (ref.status == 2 && ref.stderrText.find("encrypted") != std::string::npos) {
            try {
                px::Table::open(path);
                ADD_FAILURE() << "an encrypted table opened";
            } catch (const px::EncryptedTableError& e) {
                EXPECT_NE(std::string(e.what()).find("password-protected"), std::string::npos);
                EXPECT_NE(std::string(e.what()).find(path.filename().string()), std::string::npos);
            }
            ++encrypted;
            continue;
        }

        // When the reference gives up part-way, everything it printed must still agree and our
        // reader must fail too (with FormatError) somewhere in the same table.
        bool weFailed = false;
        std::string ourError;
        try {
            px::Table t = px::Table::open(path);
            ASSERT_FALSE(ref.lines.empty()) << "reference failed on the header: " << ref.stderrText;
            json h = json::parse(ref.lines[0]);
            const auto& hd = t.header();
            EXPECT_EQ(h["level"].get<int>(), hd.fileVersionID);
            EXPECT_EQ(h["keyed"].get<bool>(), hd.keyed());
            EXPECT_EQ(h["key_fields"].get<int>(), hd.primaryKeyFields);
            EXPECT_EQ(h["code_page"].get<int>(), hd.storedCodePage);
            EXPECT_EQ(h["records"].get<std::uint32_t>(), t.recordCount());
            ASSERT_EQ(h["fields"].size(), t.fields().size());
            for (std::size_t i = 0; i < t.fields().size(); ++i) {
                const auto& rf = h["fields"][i];
                const auto& f = t.fields()[i];
                EXPECT_EQ(rf[0].get<std::string>(), f.name);
                EXPECT_EQ(rf[1].get<std::string>(), std::string(1, px::typeLetter(f.type)));
                EXPECT_EQ(rf[2].get<int>(), f.size);
            }
            std::size_t row = 0;
            t.forEachRecord([&](const px::Record& r) {
                ++row;
                if (row >= ref.lines.size()) {
                    // The reference stopped before this record; keep reading to see whether we
                    // fail as well.
                    for (std::size_t i = 0; i < t.fields().size(); ++i)
                        (void)r.value(i);
                    return;
                }
                json rec = json::parse(ref.lines[row]);
                ASSERT_EQ(rec.size(), t.fields().size());
                for (std::size_t i = 0; i < t.fields().size(); ++i) {
                    const auto& f = t.fields()[i];
                    std::string diff = compareValue(f, r.value(i), rec[i]);
                    ++values;
                    if (!diff.empty())
                        ADD_FAILURE()
                            << "record " << row << " field \"" << f.name << "\": " << diff;
                }
            });
            if (ref.status == 0) {
                EXPECT_EQ(row + 1, ref.lines.size());
            }
        } catch (const px::FormatError& e) {
            weFailed = true;
            ourError = e.what();
        }
        if (ref.status == 0) {
            EXPECT_FALSE(weFailed) << ourError;
            ++compared;
        } else {
            EXPECT_TRUE(weFailed) << "reference failed (" << ref.stderrText
                                  << ") but our reader did not";
        }
    }
    std::cout << "compared " << compared << " tables, " << values << " values; " << encrypted
              << " encrypted\n";
    EXPECT_GT(compared, 50u);
    EXPECT_GT(encrypted, 0u);
}
