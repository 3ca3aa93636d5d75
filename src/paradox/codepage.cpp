#include "codepage.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <map>
#include <utility>

namespace qm::paradox {

namespace {

// Every code page we know maps 0x00-0x7F to ASCII, which lets pure-ASCII text skip iconv.
bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

struct Converter {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    ~Converter() {
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
};

// iconv descriptors are costly to open and a table converts many values, so each thread keeps
// one per code page and direction.
iconv_t converter(std::uint16_t codePage, bool toUtf8) {
    thread_local std::map<std::pair<std::uint16_t, bool>, Converter> cache;
    auto& slot = cache[{codePage, toUtf8}];
    if (slot.cd == reinterpret_cast<iconv_t>(-1)) {
        std::string name = iconvName(codePage);
        if (name.empty())
            throw CodePageError("code page " + std::to_string(codePage) + " is not supported");
        slot.cd = toUtf8 ? iconv_open("UTF-8", name.c_str()) : iconv_open(name.c_str(), "UTF-8");
        if (slot.cd == reinterpret_cast<iconv_t>(-1))
            throw CodePageError("code page " + std::to_string(codePage) +
                                " is not available on this system");
    }
    iconv(slot.cd, nullptr, nullptr, nullptr, nullptr);
    return slot.cd;
}

std::string convert(std::uint16_t codePage, bool toUtf8, std::string_view in) {
    iconv_t cd = converter(codePage, toUtf8);
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    auto fail = [&](const char* what) {
        std::size_t at = in.size() - srcLeft;
        throw CodePageError(std::string(what) + " at byte " + std::to_string(at) + " (code page " +
                            std::to_string(codePage) + ")");
    };
    while (srcLeft > 0) {
        std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                std::size_t used = out.size() - dstLeft;
                out.resize(out.size() * 2);
                dst = out.data() + used;
                dstLeft = out.size() - used;
                continue;
            }
            if (errno == EINVAL)
                fail(toUtf8 ? "incomplete character" : "incomplete UTF-8 sequence");
            fail(toUtf8 ? "byte without a character" : "character not in the code page");
        }
        // A non-reversible conversion means iconv substituted something: not acceptable.
        if (r > 0)
            fail(toUtf8 ? "byte without an exact character" : "character not in the code page");
    }
    // Flush any shift state (stateful encodings); none of ours has one, but be exact.
    for (;;) {
        std::size_t r = iconv(cd, nullptr, nullptr, &dst, &dstLeft);
        if (r != static_cast<std::size_t>(-1))
            break;
        if (errno != E2BIG)
            fail("conversion failed");
        std::size_t used = out.size() - dstLeft;
        out.resize(out.size() * 2);
        dst = out.data() + used;
        dstLeft = out.size() - used;
    }
    out.resize(out.size() - dstLeft);
    return out;
}

} // namespace

std::uint16_t effectiveCodePage(std::uint16_t codePage) {
    return codePage == 0 ? 437 : codePage;
}

std::string iconvName(std::uint16_t codePage) {
    // The code pages iconv knows as "CP" and their number; two more it knows by name.
    static const std::uint16_t numbered[] = {437,  737,  775,  850,  852,  855,  857,  860,  861,
                                             862,  863,  864,  865,  866,  869,  874,  932,  949,
                                             1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
    const std::uint16_t cp = effectiveCodePage(codePage);
    if (cp == 936)
        return "GBK";
    if (cp == 950)
        return "BIG5";
    if (std::find(std::begin(numbered), std::end(numbered), cp) != std::end(numbered))
        return "CP" + std::to_string(cp);
    return {};
}

bool isSupportedCodePage(std::uint16_t codePage) {
    try {
        converter(effectiveCodePage(codePage), true);
        converter(effectiveCodePage(codePage), false);
        return true;
    } catch (const CodePageError&) {
        return false;
    }
}

std::string decode(std::uint16_t codePage, std::string_view bytes) {
    codePage = effectiveCodePage(codePage);
    if (isAscii(bytes)) {
        if (iconvName(codePage).empty())
            throw CodePageError("code page " + std::to_string(codePage) + " is not supported");
        return std::string(bytes);
    }
    return convert(codePage, true, bytes);
}

std::string encode(std::uint16_t codePage, std::string_view utf8) {
    codePage = effectiveCodePage(codePage);
    if (isAscii(utf8)) {
        if (iconvName(codePage).empty())
            throw CodePageError("code page " + std::to_string(codePage) + " is not supported");
        return std::string(utf8);
    }
    return convert(codePage, false, utf8);
}

bool canEncode(std::uint16_t codePage, std::string_view utf8) {
    try {
        encode(codePage, utf8);
        return true;
    } catch (const CodePageError&) {
        return false;
    }
}

} // namespace qm::paradox
