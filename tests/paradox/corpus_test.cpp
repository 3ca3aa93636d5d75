// Every table of the shared corpus, read by our engine and by the independent reference decoder;
// every header value and every field of every record must agree.

#include "paradox/table.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace px = qm::paradox;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

struct Dump {
    int status = -1;
    std::vector<std::string> lines;
    std::string stderrText;
};

Dump runPxdump(const fs::path& table, const fs::path& errFile) {
    Dump d;
    std::string cmd = "python3 " + shellQuote(qm::test::pxdumpScript().string()) + " " +
                      shellQuote(table.string()) + " 2>" + shellQuote(errFile.string());
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return d;
    std::string line;
    char buf[65536];
    while (std::fgets(buf, sizeof buf, p)) {
        line += buf;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            d.lines.push_back(line);
            line.clear();
        }
    }
    if (!line.empty())
        d.lines.push_back(line);
    int rc = ::pclose(p);
    d.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::ifstream err(errFile);
    std::stringstream ss;
    ss << err.rdbuf();
    d.stderrText = ss.str();
    return d;
}

std::vector<fs::path> corpusTables() {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(qm::test::corpusDir())) {
        if (!e.is_regular_file())
            continue;
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".db")
            out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Compares one value with the reference's JSON; returns a description of the difference.
std::string compareValue(const px::Field& f, const px::Value& v, const json& ref) {
    if (ref.is_null())
        return v.isNull() ? "" : "expected NULL, got \"" + px::textForm(f, v) + "\"";
    if (v.isNull())
        return "expected " + ref.dump() + ", got NULL";
    switch (f.type) {
    case px::FieldType::Alpha:
    case px::FieldType::Memo:
    case px::FieldType::Bcd:
    case px::FieldType::Date:
    case px::FieldType::Time:
    case px::FieldType::Timestamp:
    case px::FieldType::Bytes: {
        std::string ours = px::textForm(f, v);
        return ref.is_string() && ref.get<std::string>() == ours
                   ? ""
                   : "expected " + ref.dump() + ", got \"" + ours + "\"";
    }
    case px::FieldType::Short:
    case px::FieldType::Long:
    case px::FieldType::Autoinc:
        return ref.is_number_integer() && ref.get<std::int64_t>() == v.asInt()
                   ? ""
                   : "expected " + ref.dump() + ", got " + std::to_string(v.asInt());
    case px::FieldType::Number:
    case px::FieldType::Money: {
        if (!ref.is_number() || ref.get<double>() != v.asDouble())
            return "expected " + ref.dump() + ", got " + px::textForm(f, v);
        // The text form must read back to the very same double.
        double back = std::stod(px::textForm(f, v));
        return back == v.asDouble() ? "" : "text form does not round-trip: " + px::textForm(f, v);
    }
    case px::FieldType::Logical:
        return ref.is_boolean() && ref.get<bool>() == (v.asInt() != 0)
                   ? ""
                   : "expected " + ref.dump() + ", got " + px::textForm(f, v);
    case px::FieldType::Binary:
    case px::FieldType::FormattedMemo:
    case px::FieldType::Ole:
    case px::FieldType::Graphic:
        return ref.is_object() && ref.value("blob", -1) == static_cast<long>(v.asBytes().size())
                   ? ""
                   : "expected " + ref.dump() + ", got " + std::to_string(v.asBytes().size()) +
                         " bytes";
    }
    return "unknown type";
}

} // namespace

TEST(ParadoxCorpus, EveryTableAgreesWithTheReferenceDecoder) {
    if (!qm::test::haveCorpus())
        GTEST_SKIP() << "corpus folder " << qm::test::corpusDir() << " is absent";
    qm::test::TempDir tmp;
    const auto tables = corpusTables();
    ASSERT_FALSE(tables.empty());
    std::size_t compared = 0, values = 0, encrypted = 0;
    for (const auto& path : tables) {
        SCOPED_TRACE(path.string());
        Dump ref = runPxdump(path, tmp.path() / "stderr.txt");
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
