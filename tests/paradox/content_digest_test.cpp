// The digest that tells whether a file is still what it was: a file read in large pieces must
// give the digest of its bytes, and a change anywhere must show.

#include "paradox/content_digest.h"
#include "paradox/writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

using namespace qm::paradox;
namespace fs = std::filesystem;

namespace {

std::string bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + (i >> 11)) & 0xff);
    return s;
}

TEST(ContentDigest, WrittenAsXxh128sumPrintsIt) {
    // The published digest of no bytes, high half first.
    EXPECT_EQ(digestOf("").hex(), "99aa06d3014798d86001c324468d497f");
    EXPECT_EQ(Digest128({0x0123456789abcdefULL, 0xfULL}).hex(), "0123456789abcdef000000000000000f");
}

TEST(ContentDigest, AFileReadInPiecesGivesTheDigestOfItsBytes) {
    qm::test::TempDir dir;
    const fs::path file = dir.path() / "T.DB";
    // Sizes about the reading buffer (a megabyte) and the digest's own stripes and blocks.
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{240}, std::size_t{1024},
                                std::size_t{(1 << 20) - 1}, std::size_t{1 << 20},
                                std::size_t{(1 << 20) + 1}, std::size_t{(3 << 20) + 7}}) {
        const std::string b = bytes(n);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << b;
        EXPECT_EQ(digestOfFile(file), digestOf(b)) << n;
        ContentDigest pieces;
        for (std::size_t at = 0, step = 1; at < n; at += step, step = step * 3 + 1)
            pieces.add(b.data() + at, std::min(step, n - at));
        EXPECT_EQ(pieces.digest(), digestOf(b)) << n;
    }
    EXPECT_THROW(digestOfFile(dir.path() / "missing.DB"), FileError);
}

TEST(ContentDigest, OneByteChangedAnywhereOrOneMoreByteGivesAnotherDigest) {
    const std::string b = bytes((2 << 20) + 5);
    std::set<std::string> seen = {digestOf(b).hex()};
    for (const std::size_t at :
         {std::size_t{0}, std::size_t{63}, std::size_t{1 << 20}, b.size() - 1}) {
        std::string changed = b;
        changed[at] ^= 1;
        EXPECT_TRUE(seen.insert(digestOf(changed).hex()).second) << at;
    }
    EXPECT_TRUE(seen.insert(digestOf(b + '\0').hex()).second);
    EXPECT_TRUE(seen.insert(digestOf(b.substr(1)).hex()).second);
}

} // namespace
