#pragma once

// What the units of the table writer share. Private to src/paradox.

#include "paradox/writer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm::paradox::detail {

constexpr std::size_t kMemoBlock = 4096;
constexpr std::size_t kIndexBlockKiB = 2; // what the BDE uses for .PX files of 5.x and 7.x
constexpr std::uint16_t kHeaderUnit = 0x800;

// "field \"Name\"", as the writer's messages name a field.
std::string fieldLabel(const FieldSpec& f);

// Text in the table's code page; throws WriteError for a NUL or a character it cannot hold.
std::string encodeText(std::uint16_t codePage, std::string_view utf8, const FieldSpec& f);

// The size byte the header carries for a field.
std::uint8_t headerSizeByte(const FieldSpec& f);

} // namespace qm::paradox::detail
