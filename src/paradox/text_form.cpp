#include "paradox/table_impl.h"

#include <charconv>
#include <cmath>

namespace qm::paradox {

using detail::timestampInRange;

namespace {

// Python-style floor division and modulo, so negative values print as the reference does.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}
std::int64_t floorMod(std::int64_t a, std::int64_t b) {
    return a - floorDiv(a, b) * b;
}

// Appends v as printf's "%0<width>lld" would print it: at least width characters, zero-padded
// after the sign. Every date of a large table passes through here, so no printf.
void appendPadded(std::string& out, std::int64_t v, int width) {
    char digits[24];
    int n = 0;
    std::uint64_t u = v < 0 ? ~static_cast<std::uint64_t>(v) + 1 : static_cast<std::uint64_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) {
        out += '-';
        --width;
    }
    for (int i = n; i < width; ++i)
        out += '0';
    while (n)
        out += digits[--n];
}

} // namespace

std::string integerText(std::int64_t v) {
    return std::to_string(v);
}

std::string doubleText(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string dateText(std::int64_t n) {
    // Days since 0000-03-01 in the proleptic Gregorian calendar (day 1 is 0001-01-01).
    const std::int64_t z = n - 719163 + 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t mo = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (mo <= 2 ? 1 : 0);
    std::string out;
    out.reserve(16);
    appendPadded(out, y, y < 0 ? 5 : 4);
    out += '-';
    appendPadded(out, mo, 2);
    out += '-';
    appendPadded(out, d, 2);
    return out;
}

std::string timeText(std::int64_t ms) {
    const std::int64_t s = floorDiv(ms, 1000);
    const std::int64_t milli = floorMod(ms, 1000);
    std::string out;
    out.reserve(16);
    appendPadded(out, floorDiv(s, 3600), 2);
    out += ':';
    appendPadded(out, floorMod(floorDiv(s, 60), 60), 2);
    out += ':';
    appendPadded(out, floorMod(s, 60), 2);
    if (milli) {
        out += '.';
        appendPadded(out, milli, 3);
    }
    return out;
}

std::string timestampText(double ms) {
    constexpr double dayMs = 86400000.0;
    if (!timestampInRange(ms))
        throw FormatError("timestamp value " + doubleText(ms) + " is out of range");
    // Floor division as Python's divmod does it for floats.
    double mod = std::fmod(ms, dayMs);
    double div = (ms - mod) / dayMs;
    if (mod != 0 && mod < 0) {
        mod += dayMs;
        div -= 1.0;
    }
    double days = std::floor(div);
    if (div - days > 0.5)
        days += 1.0;
    const auto rest = static_cast<std::int64_t>(std::nearbyint(mod));
    return dateText(static_cast<std::int64_t>(days)) + " " + timeText(rest);
}

std::string textForm(const Field& field, const Value& value) {
    if (value.isNull())
        return {};
    switch (field.type) {
    case FieldType::Alpha:
    case FieldType::Memo:
    case FieldType::Bcd:
        return value.asText();
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Autoinc:
        return integerText(value.asInt());
    case FieldType::Money:
    case FieldType::Number:
        return doubleText(value.asDouble());
    case FieldType::Date:
        return dateText(value.asInt());
    case FieldType::Time:
        return timeText(value.asInt());
    case FieldType::Timestamp:
        return timestampText(value.asDouble());
    case FieldType::Logical:
        return value.asInt() ? "True" : "False";
    case FieldType::Bytes: {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (std::uint8_t b : value.asBytes()) {
            out.push_back(digits[b >> 4]);
            out.push_back(digits[b & 0xF]);
        }
        return out;
    }
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return {};
    }
    return {};
}

} // namespace qm::paradox
