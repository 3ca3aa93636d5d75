#include "paradox/byte_order.h"
#include "paradox/codepage.h"
#include "paradox/writer_support.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

namespace qm::paradox {

using detail::encodeText;
using detail::fieldLabel;

namespace {

std::string typeName(FieldType t) {
    return std::string(1, typeLetter(t));
}

std::int64_t wantInt(const FieldSpec& f, const Value& v) {
    if (auto p = std::get_if<std::int64_t>(&v.data))
        return *p;
    throw WriteError("The value for " + fieldLabel(f) + " (type " + typeName(f.type) +
                     ") must be an integer.");
}

double wantDouble(const FieldSpec& f, const Value& v) {
    double d;
    if (auto p = std::get_if<double>(&v.data))
        d = *p;
    else if (auto q = std::get_if<std::int64_t>(&v.data))
        d = static_cast<double>(*q);
    else
        throw WriteError("The value for " + fieldLabel(f) + " (type " + typeName(f.type) +
                         ") must be a number.");
    if (!std::isfinite(d))
        throw WriteError("The value for " + fieldLabel(f) + " is not a finite number.");
    return d;
}

void checkRange(const FieldSpec& f, std::int64_t v, std::int64_t lo, std::int64_t hi) {
    if (v < lo || v > hi)
        throw WriteError("The value " + std::to_string(v) + " for " + fieldLabel(f) +
                         " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) +
                         ").");
}

// BCD: byte 0 = sign (0x80 positive) | 0x40 (not NULL) | decimals; 32 digit nibbles, the last
// `decimals` of them the fraction; complemented when negative.
void putBcd(const FieldSpec& f, std::string_view text, std::uint8_t* p) {
    bool neg = false;
    std::string_view s = text;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    auto dot = s.find('.');
    std::string_view whole = s.substr(0, dot);
    std::string_view frac = dot == std::string_view::npos ? std::string_view{} : s.substr(dot + 1);
    auto digitsOnly = [](std::string_view d) {
        return std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((whole.empty() && frac.empty()) || !digitsOnly(whole) || !digitsOnly(frac))
        throw WriteError("\"" + std::string(text) + "\" is not a decimal number for " +
                         fieldLabel(f) + ".");
    while (!frac.empty() && frac.size() > f.size && frac.back() == '0')
        frac.remove_suffix(1);
    while (whole.size() > 1 && whole[0] == '0')
        whole.remove_prefix(1);
    if (frac.size() > f.size || whole.size() > 32u - f.size)
        throw WriteError("\"" + std::string(text) + "\" does not fit " + fieldLabel(f) + " (" +
                         std::to_string(32 - f.size) + " integer digits, " +
                         std::to_string(f.size) + " decimals).");
    std::uint8_t nib[32] = {};
    std::size_t intDigits = 32u - f.size;
    for (std::size_t i = 0; i < whole.size(); ++i)
        nib[intDigits - whole.size() + i] = static_cast<std::uint8_t>(whole[i] - '0');
    for (std::size_t i = 0; i < frac.size(); ++i)
        nib[intDigits + i] = static_cast<std::uint8_t>(frac[i] - '0');
    bool zero = std::all_of(std::begin(nib), std::end(nib), [](std::uint8_t n) { return !n; });
    if (zero)
        neg = false;
    p[0] = static_cast<std::uint8_t>((neg ? 0 : 0x80) | 0x40 | f.size);
    for (int i = 0; i < 16; ++i) {
        std::uint8_t hi = nib[2 * i], lo = nib[2 * i + 1];
        if (neg) {
            hi ^= 0xF;
            lo ^= 0xF;
        }
        p[1 + i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
}

// Days from 0000-12-31 (0001-01-01 is day 1), proleptic Gregorian.
std::int64_t dayNumber(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t unixDays = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
    return unixDays + 719163;
}

bool parseUnsigned(std::string_view s, std::int64_t& out) {
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && s[0] != '-' && s[0] != '+';
}

bool parseDate(std::string_view s, std::int64_t& day) {
    bool neg = !s.empty() && s[0] == '-';
    if (neg)
        s.remove_prefix(1);
    if (s.size() != 10 || s[4] != '-' || s[7] != '-')
        return false;
    std::int64_t y, m, d;
    if (!parseUnsigned(s.substr(0, 4), y) || !parseUnsigned(s.substr(5, 2), m) ||
        !parseUnsigned(s.substr(8, 2), d))
        return false;
    if (neg)
        y = -y;
    if (m < 1 || m > 12 || d < 1)
        return false;
    static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > mdays[m - 1] + (m == 2 && leap))
        return false;
    day = dayNumber(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
    return true;
}

bool parseTime(std::string_view s, std::int64_t& ms) {
    if (s.size() != 8 && s.size() != 12)
        return false;
    if (s[2] != ':' || s[5] != ':' || (s.size() == 12 && s[8] != '.'))
        return false;
    std::int64_t h, m, sec, milli = 0;
    if (!parseUnsigned(s.substr(0, 2), h) || !parseUnsigned(s.substr(3, 2), m) ||
        !parseUnsigned(s.substr(6, 2), sec) ||
        (s.size() == 12 && !parseUnsigned(s.substr(9, 3), milli)))
        return false;
    if (h > 23 || m > 59 || sec > 59)
        return false;
    ms = ((h * 60 + m) * 60 + sec) * 1000 + milli;
    return true;
}

} // namespace

std::string detail::fieldLabel(const FieldSpec& f) {
    return "field \"" + f.name + "\"";
}

// ASCII passes straight through (every Paradox code page agrees with ASCII there), which keeps
// the writer fast on the common case.
std::string detail::encodeText(std::uint16_t codePage, std::string_view utf8, const FieldSpec& f) {
    bool ascii = true;
    for (unsigned char c : utf8) {
        if (c == 0)
            throw WriteError("The value for " + fieldLabel(f) + " contains a NUL character.");
        if (c >= 0x80)
            ascii = false;
    }
    if (ascii)
        return std::string(utf8);
    try {
        return encode(codePage, utf8);
    } catch (const CodePageError& e) {
        throw WriteError("The value for " + fieldLabel(f) + " holds a character that code page " +
                         std::to_string(codePage) + " cannot represent (" + e.what() + ").");
    }
}

std::size_t writtenWidth(const FieldSpec& f) {
    switch (f.type) {
    case FieldType::Alpha:
    case FieldType::Bytes:
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return f.size;
    case FieldType::Bcd:
        return 17;
    case FieldType::Short:
        return 2;
    case FieldType::Logical:
        return 1;
    case FieldType::Date:
    case FieldType::Long:
    case FieldType::Time:
    case FieldType::Autoinc:
        return 4;
    case FieldType::Money:
    case FieldType::Number:
    case FieldType::Timestamp:
        return 8;
    }
    return 0;
}
// The size byte the header carries for a field.
std::uint8_t detail::headerSizeByte(const FieldSpec& f) {
    if (f.type == FieldType::Bcd)
        return f.size;
    return static_cast<std::uint8_t>(writtenWidth(f));
}

namespace {

// The whole text as a number of its kind; nullopt when it is not one.
std::optional<std::int64_t> integerFromText(std::string_view text) {
    std::int64_t n;
    auto r = std::from_chars(text.data(), text.data() + text.size(), n);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size())
        return std::nullopt;
    return n;
}

std::optional<double> numberFromText(std::string_view text) {
    double d;
    auto r = std::from_chars(text.data(), text.data() + text.size(), d);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(d))
        return std::nullopt;
    return d;
}

std::optional<std::int64_t> dateFromText(std::string_view text) {
    std::int64_t day;
    if (!parseDate(text, day))
        return std::nullopt;
    return day;
}

std::optional<std::int64_t> timeFromText(std::string_view text) {
    std::int64_t ms;
    if (!parseTime(text, ms))
        return std::nullopt;
    return ms;
}

// Milliseconds: days (as a Date counts them) times a day, and the time of day.
std::optional<double> timestampFromText(std::string_view text) {
    auto sp = text.find(' ');
    std::int64_t day, ms;
    if (sp == std::string_view::npos || !parseDate(text.substr(0, sp), day) ||
        !parseTime(text.substr(sp + 1), ms))
        return std::nullopt;
    return static_cast<double>(day) * 86400000.0 + static_cast<double>(ms);
}

std::optional<std::int64_t> logicalFromText(std::string_view text) {
    if (text == "True" || text == "true")
        return std::int64_t{1};
    if (text == "False" || text == "false")
        return std::int64_t{0};
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> bytesFromHex(std::string_view text) {
    if (text.size() % 2)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned b;
        auto r = std::from_chars(text.data() + i, text.data() + i + 2, b, 16);
        if (r.ec != std::errc() || r.ptr != text.data() + i + 2)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(b));
    }
    return bytes;
}

void putAlpha(const FieldSpec& f, const Value& v, std::uint16_t codePage, std::uint8_t* p) {
    const auto* s = std::get_if<std::string>(&v.data);
    if (!s)
        throw WriteError("The value for " + fieldLabel(f) + " must be text.");
    std::string bytes = encodeText(codePage, *s, f);
    if (bytes.size() > f.size)
        throw WriteError("The value for " + fieldLabel(f) + " is " + std::to_string(bytes.size()) +
                         " bytes long in code page " + std::to_string(codePage) +
                         "; the field holds " + std::to_string(f.size) + ".");
    std::memcpy(p, bytes.data(), bytes.size());
}

void putBytes(const FieldSpec& f, const Value& v, std::uint8_t* p) {
    const auto* b = std::get_if<std::vector<std::uint8_t>>(&v.data);
    if (!b)
        throw WriteError("The value for " + fieldLabel(f) + " must be bytes.");
    if (b->size() > f.size)
        throw WriteError("The value for " + fieldLabel(f) + " is longer than the field.");
    std::memcpy(p, b->data(), b->size());
}

// A BCD field's value as decimal text, from text or an integer.
std::string decimalText(const FieldSpec& f, const Value& v) {
    if (auto s = std::get_if<std::string>(&v.data))
        return *s;
    if (auto n = std::get_if<std::int64_t>(&v.data))
        return std::to_string(*n);
    throw WriteError("The value for " + fieldLabel(f) + " must be decimal text.");
}

} // namespace

Value valueFromText(const FieldSpec& f, std::string_view text) {
    Value v;
    if (text.empty())
        return v;
    // The parsed value, or the refusal that names the form expected.
    const auto need = [&](auto parsed, const std::string& form) {
        if (!parsed)
            throw WriteError("\"" + std::string(text) + "\" is not a valid value for " +
                             fieldLabel(f) + " (expected " + form + ").");
        return std::move(*parsed);
    };
    switch (f.type) {
    case FieldType::Alpha:
    case FieldType::Memo:
    case FieldType::Bcd:
        v.data = std::string(text);
        return v;
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Autoinc:
        v.data = need(integerFromText(text), "an integer");
        return v;
    case FieldType::Number:
    case FieldType::Money:
        v.data = need(numberFromText(text), "a number");
        return v;
    case FieldType::Date:
        v.data = need(dateFromText(text), "a date YYYY-MM-DD");
        return v;
    case FieldType::Time:
        v.data = need(timeFromText(text), "a time HH:MM:SS");
        return v;
    case FieldType::Timestamp:
        v.data = need(timestampFromText(text), "a timestamp YYYY-MM-DD HH:MM:SS");
        return v;
    case FieldType::Logical:
        v.data = need(logicalFromText(text), "True or False");
        return v;
    case FieldType::Bytes:
        v.data = need(bytesFromHex(text), "hexadecimal bytes");
        return v;
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        break;
    }
    throw WriteError(fieldLabel(f) + " (type " + typeName(f.type) + ") holds no text.");
}

void encodeFixedField(const FieldSpec& f, const Value& v, std::uint16_t codePage,
                      std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (f.type == FieldType::Bcd && v.isNull()) {
        out[0] = f.size; // what the BDE leaves for a blank BCD: decimals, flags clear
        return;
    }
    if (v.isNull())
        return;
    std::uint8_t* p = out.data();
    switch (f.type) {
    case FieldType::Alpha:
        putAlpha(f, v, codePage, p);
        return;
    case FieldType::Short: {
        auto n = wantInt(f, v);
        checkRange(f, n, -32767, 32767);
        putRecordInt(p, n, 2);
        return;
    }
    case FieldType::Long:
    case FieldType::Autoinc:
    case FieldType::Date: {
        auto n = wantInt(f, v);
        checkRange(f, n, -2147483647, 2147483647);
        putRecordInt(p, n, 4);
        return;
    }
    case FieldType::Time: {
        auto n = wantInt(f, v);
        checkRange(f, n, 0, 86399999);
        putRecordInt(p, n, 4);
        return;
    }
    case FieldType::Number:
    case FieldType::Money:
    case FieldType::Timestamp:
        putRecordDouble(p, wantDouble(f, v));
        return;
    case FieldType::Logical: {
        auto n = wantInt(f, v);
        checkRange(f, n, 0, 1);
        p[0] = static_cast<std::uint8_t>(0x80 | n);
        return;
    }
    case FieldType::Bcd:
        putBcd(f, decimalText(f, v), p);
        return;
    case FieldType::Bytes:
        putBytes(f, v, p);
        return;
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        break;
    }
    throw WriteError(fieldLabel(f) + " is a blob field.");
}

} // namespace qm::paradox
