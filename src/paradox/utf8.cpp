#include "paradox/utf8.h"

namespace qm::paradox {

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::optional<char32_t> decodeUtf8(std::string_view s, std::size_t& i) {
    if (i >= s.size())
        return std::nullopt;
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    char32_t c = 0;
    if (b < 0x80) {
        ++i;
        return b;
    } else if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        c = b & 0x07;
    } else {
        return std::nullopt;
    }
    if (i + len > s.size())
        return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
        const auto cb = static_cast<unsigned char>(s[i + k]);
        if ((cb & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (cb & 0x3F);
    }
    if ((len == 3 && c < 0x800) || (len == 4 && c < 0x10000) || c > 0x10FFFF ||
        (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    i += len;
    return c;
}

char32_t nextCharacter(std::string_view s, std::size_t& i, bool* valid) {
    const std::optional<char32_t> c = decodeUtf8(s, i);
    if (valid)
        *valid = c.has_value();
    if (c)
        return *c;
    return static_cast<unsigned char>(s[i++]);
}

bool isValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();)
        if (!decodeUtf8(s, i))
            return false;
    return true;
}

} // namespace qm::paradox
