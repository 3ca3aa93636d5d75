#include "app/error.h"
#include "paradox/utf8.h"
#include "sets/text_file.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qm;

namespace {
std::string write(const test::TempDir& dir, const std::string& name, const std::string& bytes) {
    auto p = dir.path() / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
}
} // namespace

TEST(ReadTextFile, MissingEmptyAndFolder) {
    test::TempDir dir;
    EXPECT_EQ(ReadTextFile((dir.path() / "nope.txt").string()), "");
    EXPECT_EQ(ReadTextFile(""), "");
    EXPECT_EQ(ReadTextFile(write(dir, "empty.txt", "")), "empty file");
    try {
        ReadTextFile(dir.path().string());
        ADD_FAILURE() << "a folder read as a file";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::PathFileAccess);
    }
    // A pipe is not waited on.
    auto pipe = dir.path() / "pipe.txt";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_THROW(ReadTextFile(pipe.string()), Error);
}

TEST(ReadTextFile, Utf8ComesBackUnchangedWithItsLineBreaks) {
    test::TempDir dir;
    const std::string text = "caf\xC3\xA9::Stra\xC3\x9F"
                             "e\r\nx::y\ny::z\rlast \xF0\x9F\x98\x80";
    EXPECT_EQ(ReadTextFile(write(dir, "u.txt", text)), text);
}

TEST(ReadTextFile, InvalidUtf8IsWindows1252) {
    test::TempDir dir;
    // "café" and a euro sign and curly quotes as a Windows editor saves them.
    std::string p = write(dir, "w.txt", "caf\xE9 \x80 \x93\x94\r\n\x81");
    EXPECT_EQ(ReadTextFile(p), "caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9C\xE2\x80\x9D\r\n\xC2\x81");
}

TEST(ReadTextFile, Utf16LittleEndianKeepsTheByteOrderMark) {
    test::TempDir dir;
    // BOM, "hé", CR LF, U+1F600 as a surrogate pair, then an odd last byte.
    std::string bytes("\xFF\xFE"
                      "h\0\xE9\0\r\0\n\0\x3D\xD8\x00\xDE"
                      "A",
                      15);
    EXPECT_EQ(ReadTextFile(write(dir, "le.txt", bytes)),
              "\xEF\xBB\xBFh\xC3\xA9\r\n\xF0\x9F\x98\x80");
}

TEST(ReadTextFile, BigEndianMarkIsReadAsLittleEndianToo) {
    test::TempDir dir;
    std::string bytes("\xFE\xFF\0h", 4);
    // FE FF gives U+FFFE, then "h" with its bytes swapped: U+6800.
    EXPECT_EQ(ReadTextFile(write(dir, "be.txt", bytes)), "\xEF\xBF\xBE\xE6\xA0\x80");
    // A lone surrogate cannot be UTF-8; it becomes the replacement character.
    std::string lone("\xFF\xFE\x00\xD8x\0", 6);
    EXPECT_EQ(ReadTextFile(write(dir, "lone.txt", lone)), "\xEF\xBB\xBF\xEF\xBF\xBDx");
}

TEST(ReadTextFile, Utf8Validation) {
    using paradox::isValidUtf8;
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xE2\x82"));         // cut short
}
