#pragma once

// UTF-8, the program's text inside: encoding a character, decoding one, checking a text. Valid
// means what the standard allows: no overlong forms, no surrogates, nothing past U+10FFFF.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qm::paradox {

void appendUtf8(std::string& out, char32_t c);

// The character whose valid sequence starts at i, i moved past it; nullopt, i unchanged, when
// no valid sequence starts there.
std::optional<char32_t> decodeUtf8(std::string_view s, std::size_t& i);

// As decodeUtf8, but a byte that starts no valid sequence comes back as itself, i past it, and
// valid (when given) says which it was. i must lie inside s.
char32_t nextCharacter(std::string_view s, std::size_t& i, bool* valid = nullptr);

bool isValidUtf8(std::string_view s);

} // namespace qm::paradox
