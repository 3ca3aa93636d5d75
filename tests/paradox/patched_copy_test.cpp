#include "file_bytes.h"
#include "paradox/patched_copy.h"
#include "paradox/writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sys/stat.h>

namespace qm::paradox {
namespace {

namespace fs = std::filesystem;
using qm::test::fileText;

// Files around the size of the pieces the copy works in, with changes bunched, spread, across
// piece edges, overlapping and at both ends: the copy is the file with the changes laid over it
// in order.
TEST(PatchedCopy, IsTheOldFileWithEveryChangeLaidOverItInOrder) {
    test::TempDir temp;
    std::mt19937_64 rng(3);
    const std::uint64_t piece = kPatchedCopyPiece;
    for (std::uint64_t size : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4095}, piece - 1,
                               piece, piece + 7, 3 * piece + 12345}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (auto& c : bytes)
            c = static_cast<char>(rng());
        const fs::path from = temp.path() / "from.db", to = temp.path() / "to.db";
        std::ofstream(from, std::ios::binary).write(bytes.data(), static_cast<long>(size));
        ::chmod(from.c_str(), 0640);
        for (int round = 0; round < 6; ++round) {
            std::vector<BytePatch> patches;
            std::string expected = bytes;
            const int count = size == 0 ? 0 : round == 0 ? 0 : static_cast<int>(rng() % 40) + 1;
            std::vector<std::uint64_t> at;
            for (int i = 0; i < count; ++i) {
                std::uint64_t offset = rng() % size;
                if (round == 2 && size > piece)
                    offset = piece - 1 - rng() % 8; // across the first piece's end
                if (round == 3)
                    offset = size - 1 - rng() % std::min<std::uint64_t>(size, 16);
                at.push_back(offset);
            }
            std::sort(at.begin(), at.end());
            for (std::uint64_t offset : at) {
                const std::uint64_t n = 1 + rng() % std::min<std::uint64_t>(size - offset, 300);
                BytePatch p{offset, std::vector<std::uint8_t>(n)};
                for (auto& b : p.bytes)
                    b = static_cast<std::uint8_t>(rng());
                std::memcpy(expected.data() + offset, p.bytes.data(), n);
                patches.push_back(std::move(p));
            }
            fs::remove(to); // a copy is always a new file
            writePatchedCopy(from, to, patches);
            ASSERT_EQ(fileText(to), expected) << "round " << round;
            struct stat st {};
            ASSERT_EQ(::stat(to.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0640u);
        }
    }
}

TEST(PatchedCopy, RefusesChangesOutsideTheFileOrOutOfOrderBeforeWritingAnything) {
    test::TempDir temp;
    const fs::path from = temp.path() / "from.db", to = temp.path() / "to.db";
    std::ofstream(from, std::ios::binary) << "0123456789";
    EXPECT_THROW(writePatchedCopy(from, to, {{8, {1, 2, 3}}}), FileError);
    EXPECT_THROW(writePatchedCopy(from, to, {{5, {1}}, {2, {1}}}), FileError);
    EXPECT_FALSE(fs::exists(to));
    writePatchedCopy(from, to, {{8, {'x', 'y'}}});
    EXPECT_EQ(fileText(to), "01234567xy");
}

} // namespace
} // namespace qm::paradox
