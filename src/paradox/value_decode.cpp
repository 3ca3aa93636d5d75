#include "paradox/table_impl.h"

#include <algorithm>

namespace qm::paradox {

using detail::fileName;
using detail::timestampInRange;
namespace fs = std::filesystem;

namespace {

bool allZero(std::span<const std::uint8_t> s) {
    return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

// An Alpha field's bytes up to the first NUL.
std::string_view alphaBytes(std::span<const std::uint8_t> raw) {
    const auto z = std::find(raw.begin(), raw.end(), std::uint8_t{0});
    return std::string_view(reinterpret_cast<const char*>(raw.data()),
                            static_cast<std::size_t>(z - raw.begin()));
}

// A BCD value as its exact decimal text: byte 0 holds the sign (0x80 positive) and the NULL flag
// (0x40 clear), then 32 digit nibbles, complemented when negative, the last `decimals` of them
// the fraction.
std::string bcdText(std::span<const std::uint8_t> raw, std::size_t decimals) {
    const bool negative = !(raw[0] & 0x80);
    std::string digits;
    digits.reserve(32);
    for (std::size_t i = 1; i < 17; ++i) {
        for (unsigned nib :
             {static_cast<unsigned>(raw[i] >> 4), static_cast<unsigned>(raw[i] & 0xF)}) {
            if (negative)
                nib ^= 0xF;
            digits.push_back(nib < 10 ? static_cast<char>('0' + nib) : '?');
        }
    }
    const std::size_t wholeLen = 32 - decimals;
    std::string whole = digits.substr(0, wholeLen);
    const auto firstNonZero = whole.find_first_not_of('0');
    whole = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
    std::string out = negative ? "-" : "";
    out += whole;
    if (decimals)
        out += "." + digits.substr(wholeLen);
    return out;
}

} // namespace

std::span<const std::uint8_t>
detail::TableImpl::storedText(std::size_t fieldIndex, std::span<const std::uint8_t> record,
                              std::vector<std::uint8_t>& scratch) const {
    if (fieldIndex >= fields.size())
        fail("has no field " + std::to_string(fieldIndex + 1));
    const Field& f = fields[fieldIndex];
    if (record.size() < f.offset + f.width)
        fail("record too short for field \"" + f.name + "\"");
    const auto raw = record.subspan(f.offset, f.width);
    if (f.type == FieldType::Alpha) {
        if (raw[0] == 0)
            return {};
        const auto z = std::find(raw.begin(), raw.end(), std::uint8_t{0});
        return raw.first(static_cast<std::size_t>(z - raw.begin()));
    }
    if (f.type == FieldType::Memo) {
        const std::size_t leader = f.width - 10;
        const std::uint32_t length = le32(raw.data() + leader + 4);
        if (length == 0)
            return {};
        return blobBytes(raw.first(leader), le32(raw.data() + leader), length, scratch);
    }
    fail("field \"" + f.name + "\" stores no text");
}

std::optional<std::string> detail::TableImpl::text(std::size_t fieldIndex,
                                                   std::span<const std::uint8_t> record) const {
    // Alpha and Memo, most of a table's text, straight from the record's bytes.
    if (fieldIndex < fields.size()) {
        const Field& f = fields[fieldIndex];
        if ((f.type == FieldType::Alpha || f.type == FieldType::Memo) &&
            record.size() >= f.offset + f.width) {
            std::vector<std::uint8_t> scratch;
            const auto data = storedText(fieldIndex, record, scratch);
            if (data.empty())
                return std::nullopt;
            return fieldText(
                f, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        }
    }
    Value v = decode(fieldIndex, record);
    if (v.isNull())
        return std::nullopt;
    if (auto* s = std::get_if<std::string>(&v.data))
        return std::move(*s);
    return textForm(fields[fieldIndex], v);
}

Value detail::TableImpl::decode(std::size_t fieldIndex,
                                std::span<const std::uint8_t> record) const {
    if (fieldIndex >= fields.size())
        fail("has no field " + std::to_string(fieldIndex + 1));
    const Field& f = fields[fieldIndex];
    if (record.size() < f.offset + f.width)
        fail("record too short for field \"" + f.name + "\"");
    const auto raw = record.subspan(f.offset, f.width);
    Value v;
    switch (f.type) {
    case FieldType::Alpha:
        if (raw[0] != 0)
            v.data = fieldText(f, alphaBytes(raw));
        break;
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Autoinc:
    case FieldType::Date:
    case FieldType::Time:
        if (!allZero(raw))
            v.data = recordInt(raw);
        break;
    case FieldType::Money:
    case FieldType::Number:
        if (!allZero(raw))
            v.data = recordDouble(raw);
        break;
    case FieldType::Timestamp:
        if (!allZero(raw)) {
            const double ms = recordDouble(raw);
            if (!timestampInRange(ms))
                fail("field \"" + f.name + "\" holds a timestamp out of range (" + doubleText(ms) +
                     ")");
            v.data = ms;
        }
        break;
    case FieldType::Logical:
        if (raw[0] != 0)
            v.data = std::int64_t{raw[0] == 0x81 ? 1 : 0};
        break;
    case FieldType::Bcd:
        if (raw[0] & 0x40)
            v.data = bcdText(raw, f.size);
        break;
    case FieldType::Bytes:
        if (!allZero(raw))
            v.data = std::vector<std::uint8_t>(raw.begin(), raw.end());
        break;
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        decodeBlob(f, raw, v);
        break;
    }
    return v;
}

// A blob field: its descriptor, and its value (text for a memo) unless it is NULL.
void detail::TableImpl::decodeBlob(const Field& f, std::span<const std::uint8_t> raw,
                                   Value& v) const {
    const std::size_t leader = f.width - 10;
    BlobRef ref;
    ref.leader.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(leader));
    ref.offsetIndex = le32(raw.data() + leader);
    ref.length = le32(raw.data() + leader + 4);
    ref.modNr = le16(raw.data() + leader + 8);
    if (ref.length != 0) {
        std::vector<std::uint8_t> scratch;
        const auto data = blobBytes(ref, scratch);
        if (f.type == FieldType::Memo)
            v.data = fieldText(
                f, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        else
            v.data = std::vector<std::uint8_t>(data.begin(), data.end());
    }
    v.blob = std::move(ref);
}

} // namespace qm::paradox
