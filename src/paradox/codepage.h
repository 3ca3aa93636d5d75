#pragma once

// Strict conversion between a Paradox code page and UTF-8, through glibc's iconv. A byte or a
// character that does not map is an error, never a '?'.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qm::paradox {

class CodePageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// 0 (tables without a code page) is read as 437.
std::uint16_t effectiveCodePage(std::uint16_t codePage);
// The iconv name for the code page ("CP437", "GBK", ...); empty when unknown.
std::string iconvName(std::uint16_t codePage);
// True when iconv can convert both ways for this code page.
bool isSupportedCodePage(std::uint16_t codePage);

// Code page bytes to UTF-8. Throws CodePageError (unknown code page, unmappable byte,
// incomplete multi-byte sequence).
std::string decode(std::uint16_t codePage, std::string_view bytes);
// UTF-8 to code page bytes. Throws CodePageError (unknown code page, invalid UTF-8, a character
// the code page lacks).
std::string encode(std::uint16_t codePage, std::string_view utf8);
// True when encode would succeed.
bool canEncode(std::uint16_t codePage, std::string_view utf8);

} // namespace qm::paradox
