#include "sets/text_file.h"

#include "app/common.h"
#include "app/error.h"
#include "paradox/utf8.h"
#include "platform/files.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace qm {

using paradox::appendUtf8;
using paradox::isValidUtf8;

namespace {

long codeForErrno(int e) {
    switch (e) {
    case EACCES:
    case EPERM:
        return code::PermissionDenied;
    case ENOENT:
        return code::FileNotFound;
    case ENOTDIR:
        return code::PathNotFound;
    default:
        return code::PathFileAccess;
    }
}

Error fileError(int e, const std::string& path) {
    return Error(codeForErrno(e), std::string(std::strerror(e)) + ": " + path);
}

// Windows-1252 bytes 80..9F; the five unassigned ones become the C1 controls, as the
// platform's own conversion does.
constexpr std::array<char16_t, 32> kHigh1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

std::string windows1252ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 2);
    for (char ch : s) {
        auto b = static_cast<unsigned char>(ch);
        if (b >= 0x80 && b <= 0x9F)
            appendUtf8(out, kHigh1252[b - 0x80]);
        else
            appendUtf8(out, b);
    }
    return out;
}

std::string utf16leToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    // A last odd byte is half a character and is dropped.
    std::size_t n = s.size() / 2;
    for (std::size_t i = 0; i < n; ++i) {
        char32_t u = static_cast<unsigned char>(s[2 * i]) |
                     (static_cast<char32_t>(static_cast<unsigned char>(s[2 * i + 1])) << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            char32_t lo = static_cast<unsigned char>(s[2 * i + 2]) |
                          (static_cast<char32_t>(static_cast<unsigned char>(s[2 * i + 3])) << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        // A lone surrogate has no UTF-8 form.
        if (u >= 0xD800 && u <= 0xDFFF)
            u = 0xFFFD;
        appendUtf8(out, u);
    }
    return out;
}

std::string ReadTextFile(const std::string& path) {
    if (!FileExistsByDate(path))
        return {};
    // Only a regular file is read: opening a pipe or a device could wait for ever.
    platform::FileStatus st;
    if (platform::status(path, st) == 0 && !st.regular)
        throw Error(code::PathFileAccess, "Path/File access error: " + path);
    platform::File in;
    if (const int e = in.open(path, platform::File::Read | platform::File::NonBlocking))
        throw fileError(e, path);
    if (const int e = in.status(st))
        throw fileError(e, path);
    if (!st.regular)
        throw Error(code::PathFileAccess, "Path/File access error: " + path);
    if (st.size == 0)
        return "empty file";
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(st.size));
    std::array<char, 65536> buf{};
    for (;;) {
        std::size_t got = 0;
        if (const int e = in.read(buf.data(), buf.size(), got))
            throw fileError(e, path);
        if (got == 0)
            break;
        bytes.append(buf.data(), got);
    }
    auto first = static_cast<unsigned char>(bytes[0]);
    if (first == 0xFF || first == 0xFE)
        return utf16leToUtf8(bytes);
    if (isValidUtf8(bytes))
        return bytes;
    return windows1252ToUtf8(bytes);
}

} // namespace qm
