#pragma once

// Looking for a find text in a table's text as it is stored, before it is decoded.
//
// In a single-byte code page every byte is one character of its own, so a text holds the find
// text exactly when its stored bytes hold the find text's bytes in that code page; with "ignore
// case" each byte of the find text stands for the bytes of every character that matches it
// regardless of case. Whole words are a narrower test than that, so the bytes still tell where a
// hit cannot be. A regular expression, an empty find text and the multi-byte code pages (or the
// ones whose converter joins characters, 1255 and 1258) give no such answer: their text must be
// decoded and searched.

#include "replace/matcher.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qm {

// What the bytes of one code page decode to, byte by byte.
struct CodePageBytes {
    bool oneToOne = false;         // every byte is one character, whatever its neighbours
    std::array<bool, 256> valid{}; // the byte decodes (strictly)
    std::array<char32_t, 256> character{};
    bool allValid = false; // no byte fails to decode
    // Each byte's class of bytes alike regardless of case (PCRE2's caseless sets), named by its
    // smallest member; filled the first time a caseless find text needs it.
    std::array<std::uint8_t, 256> caselessClass{};
    bool caselessKnown = false;
};

// The facts of a code page (0 read as 437), worked out once per process.
const CodePageBytes& codePageBytes(std::uint16_t codePage);

// One find text as stored bytes of one code page.
class StoredNeedle {
  public:
    enum class Kind {
        Bytes,    // the text can hold a hit only where its bytes hold these
        Nowhere,  // no text of this code page can hold a hit (a character it lacks)
        Anything, // the bytes cannot tell: decode and search
    };
    StoredNeedle(const Matcher& matcher, const CodePageBytes& page);

    Kind kind() const { return kind_; }
    // False only when text stored as these bytes cannot hold a hit.
    bool mayOccur(std::span<const std::uint8_t> stored) const;

  private:
    Kind kind_ = Kind::Anything;
    std::string bytes_;                                    // case-sensitive: the find text's bytes
    const std::array<std::uint8_t, 256>* canon_ = nullptr; // caseless: the page's classes
    std::vector<std::uint8_t> classes_;                    // caseless: the find text as classes
    bool caseless_ = false;
};

// Whether the find text can meet a text made only of the characters of alphabet (the text
// forms of numbers, dates, times and logical values): false when it holds a character that
// meets none of them.
bool findFitsAlphabet(const Matcher& matcher, const std::string& alphabet);

} // namespace qm
