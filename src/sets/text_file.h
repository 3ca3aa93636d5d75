#pragma once

#include <string>
#include <string_view>

namespace qm {

// The whole content of a text file as UTF-8. A missing path gives the empty text and a
// zero-length file the text "empty file". A first byte FF or FE means UTF-16LE, with the
// byte-order mark kept as the first character; anything else is UTF-8 when the bytes are
// valid UTF-8 and Windows-1252 otherwise. Line breaks come back as they stand.
// Other read failures throw qm::Error.
std::string ReadTextFile(const std::string& path);

// The text of a file written on Windows in these encodings, as UTF-8.
std::string windows1252ToUtf8(std::string_view bytes);
std::string utf16leToUtf8(std::string_view bytes);

} // namespace qm
