#include "app/sha256.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>

namespace qm::test {
namespace {

// The published test vectors, and the lengths around the padding boundary (55, 56, 64 bytes)
// where a digest goes wrong first.
TEST(Sha256, PublishedVectorsAndPaddingBoundaries) {
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256Hex(std::string(55, 'a')),
              "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(sha256Hex(std::string(64, 'a')),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256, AFileInManyReadsGivesTheDigestOfItsBytes) {
    TempDir dir;
    const auto file = dir.path() / "million";
    std::ofstream(file, std::ios::binary) << std::string(1000000, 'a');
    EXPECT_EQ(sha256OfFile(file),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_THROW(sha256OfFile(dir.path() / "missing"), std::runtime_error);
}

} // namespace
} // namespace qm::test
