#include "codepage.h"

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
    switch (effectiveCodePage(codePage)) {
    case 437:
        return "CP437";
    case 737:
        return "CP737";
    case 775:
        return "CP775";
    case 850:
        return "CP850";
    case 852:
        return "CP852";
    case 855:
        return "CP855";
    case 857:
        return "CP857";
    case 860:
        return "CP860";
    case 861:
        return "CP861";
    case 862:
        return "CP862";
    case 863:
        return "CP863";
    case 864:
        return "CP864";
    case 865:
        return "CP865";
    case 866:
        return "CP866";
    case 869:
        return "CP869";
    case 874:
        return "CP874";
    case 932:
        return "CP932";
    case 936:
        return "GBK";
    case 949:
        return "CP949";
    case 950:
        return "BIG5";
    case 1250:
        return "CP1250";
    case 1251:
        return "CP1251";
    case 1252:
        return "CP1252";
    case 1253:
        return "CP1253";
    case 1254:
        return "CP1254";
    case 1255:
        return "CP1255";
    case 1256:
        return "CP1256";
    case 1257:
        return "CP1257";
    case 1258:
        return "CP1258";
    default:
        return {};
    }
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
