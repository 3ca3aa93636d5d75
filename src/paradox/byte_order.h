#pragma once

// Byte order of Paradox files: header and block fields are little-endian; numbers inside records
// are big-endian with the sign bit flipped (integers) or the whole value inverted (negative
// doubles), so that comparing the bytes compares the values and all-zero bytes stay free for NULL.

#include <cstdint>
#include <cstring>
#include <span>

namespace qm::paradox {

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The low `bytes` bytes of v, least significant first.
inline void putLE(std::uint8_t* p, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void putLE16(std::uint8_t* p, std::uint32_t v) {
    putLE(p, v, 2);
}

inline void putLE32(std::uint8_t* p, std::uint32_t v) {
    putLE(p, v, 4);
}

// An integer field (S, I, +, D, T) as a record stores it; raw.size() < 8 for every field type.
inline std::int64_t recordInt(std::span<const std::uint8_t> raw) {
    std::uint64_t v = 0;
    for (std::uint8_t b : raw)
        v = (v << 8) | b;
    const unsigned bits = static_cast<unsigned>(raw.size() * 8);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    v ^= sign;
    if (v & sign)
        v |= ~((sign << 1) - 1); // sign-extend
    return static_cast<std::int64_t>(v);
}

// A double field (N, $, @) as a record stores it.
inline double recordDouble(std::span<const std::uint8_t> raw) {
    std::uint64_t v = 0;
    for (std::uint8_t b : raw)
        v = (v << 8) | b;
    if (v & (std::uint64_t{1} << 63))
        v &= ~(std::uint64_t{1} << 63);
    else
        v = ~v;
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

// The inverse of recordInt for a field of `bytes` bytes.
inline void putRecordInt(std::uint8_t* p, std::int64_t v, int bytes) {
    std::uint64_t u = static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << (8 * bytes - 1));
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(u);
        u >>= 8;
    }
}

// The inverse of recordDouble.
inline void putRecordDouble(std::uint8_t* p, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (bits >> 63)
        bits = ~bits;
    else
        bits |= std::uint64_t{1} << 63;
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(bits);
        bits >>= 8;
    }
}

} // namespace qm::paradox
