// Replays every input the fuzzer found (and the damaged tables kept beside them): each must
// either read or fail with FormatError, never crash or contradict itself.

#include "fuzz_input.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
namespace px = qm::paradox;

TEST(ParadoxRegress, KeptInputsReadOrFailCleanly) {
    const fs::path dir = fs::path(QM_TEST_DATA_DIR) / "paradox-regress";
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    qm::test::TempDir tmp;
    std::size_t inputs = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file())
            continue;
        SCOPED_TRACE(e.path().filename().string());
        std::ifstream in(e.path(), std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        ++inputs;
        try {
            px::Table t = px::fuzz::openParts(tmp.path(), px::fuzz::split(bytes));
            EXPECT_TRUE(px::fuzz::readEverything(t));
        } catch (const px::FormatError&) {
        }
    }
    EXPECT_GT(inputs, 0u);
}
