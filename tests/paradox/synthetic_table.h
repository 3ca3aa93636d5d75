#pragma once

// Builds small Paradox tables byte by byte for the reader tests, so that each test can make
// exactly the damage or the value it is about. Written from the format notes, independently of
// the engine's own code.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qm::paradox::test {

using Bytes = std::vector<std::uint8_t>;

struct FieldSpec {
    std::string name;
    std::uint8_t type;
    std::uint8_t size;
};

inline std::size_t widthOf(const FieldSpec& f) {
    return f.type == 0x17 ? 17 : f.size;
}

inline void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Record encodings: big-endian, sign bit flipped.
inline Bytes encInt(std::int64_t v, std::size_t width) {
    Bytes out(width);
    auto u = static_cast<std::uint64_t>(v);
    for (std::size_t i = 0; i < width; ++i)
        out[width - 1 - i] = static_cast<std::uint8_t>(u >> (8 * i));
    out[0] ^= 0x80;
    return out;
}
inline Bytes encDouble(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, 8);
    if (u >> 63)
        u = ~u;
    else
        u |= std::uint64_t{1} << 63;
    Bytes out(8);
    for (int i = 0; i < 8; ++i)
        out[7 - i] = static_cast<std::uint8_t>(u >> (8 * i));
    return out;
}
inline Bytes encAlpha(const std::string& s, std::size_t width) {
    Bytes out(width, 0);
    if (!s.empty())
        std::memcpy(out.data(), s.data(), std::min(width, s.size()));
    return out;
}
// BCD: digits is the 32-nibble magnitude, most significant first.
inline Bytes encBcd(bool negative, std::uint8_t decimals, const std::string& digits32) {
    Bytes out(17, 0);
    out[0] = static_cast<std::uint8_t>((negative ? 0 : 0x80) | 0x40 | decimals);
    for (std::size_t i = 0; i < 32; ++i) {
        std::uint8_t nib = static_cast<std::uint8_t>(digits32[i] - '0');
        if (negative)
            nib ^= 0xF;
        out[1 + i / 2] |= static_cast<std::uint8_t>(i % 2 ? nib : nib << 4);
    }
    return out;
}
// Blob field bytes: leader copy, then offsetIndex, length, modNr (little-endian).
inline Bytes encBlob(std::size_t fieldSize, const Bytes& leader, std::uint32_t offsetIndex,
                     std::uint32_t length, std::uint16_t modNr = 1) {
    Bytes out(fieldSize, 0);
    const std::size_t lead = fieldSize - 10;
    if (!leader.empty())
        std::memcpy(out.data(), leader.data(), std::min(lead, leader.size()));
    put32(out, lead, offsetIndex);
    put32(out, lead + 4, length);
    put16(out, lead + 8, modNr);
    return out;
}

struct SyntheticTable {
    std::uint8_t level = 11; // fileVersionID
    std::uint8_t fileType = 2;
    std::uint8_t blockKiB = 2;
    std::uint16_t codePage = 1252;
    std::uint16_t keyFields = 0;
    std::vector<FieldSpec> fields;
    std::vector<Bytes> records; // each recordSize bytes
    std::size_t perBlock = 0;   // records per block; 0 = as many as fit

    std::size_t recordSize() const {
        std::size_t n = 0;
        for (const auto& f : fields)
            n += widthOf(f);
        return n;
    }

    // Appends a record made of per-field encodings.
    void add(const std::vector<Bytes>& values) {
        Bytes r;
        for (const auto& v : values)
            r.insert(r.end(), v.begin(), v.end());
        records.push_back(std::move(r));
    }

    Bytes header(std::uint16_t blocks, std::uint32_t numRecords) const {
        const bool dataHeader = level >= 5;
        const std::size_t n = fields.size();
        Bytes var;
        for (const auto& f : fields) {
            var.push_back(f.type);
            var.push_back(f.size);
        }
        var.resize(var.size() + 4 + 4 * n, 0);
        var.resize(var.size() + (level >= 12 ? 261 : 79), 0);
        std::memcpy(var.data() + 2 * n + 4 + 4 * n, "synthetic", 9);
        for (const auto& f : fields) {
            var.insert(var.end(), f.name.begin(), f.name.end());
            var.push_back(0);
        }
        if (dataHeader) {
            for (std::size_t i = 0; i < n; ++i) {
                var.push_back(static_cast<std::uint8_t>(i + 1));
                var.push_back(0);
            }
            for (char c : std::string("ascii"))
                var.push_back(static_cast<std::uint8_t>(c));
            var.push_back(0);
        }
        const std::size_t fixed = dataHeader ? 0x78 : 0x58;
        std::size_t size = fixed + var.size();
        size = (size + 2047) / 2048 * 2048;
        Bytes h(size, 0);
        std::memcpy(h.data() + fixed, var.data(), var.size());
        put16(h, 0x00, static_cast<std::uint16_t>(recordSize()));
        put16(h, 0x02, static_cast<std::uint16_t>(size));
        h[0x04] = fileType;
        h[0x05] = blockKiB;
        put32(h, 0x06, numRecords);
        put16(h, 0x0A, blocks);
        put16(h, 0x0C, blocks);
        put16(h, 0x0E, blocks ? 1 : 0);
        put16(h, 0x10, blocks);
        put16(h, 0x21, static_cast<std::uint16_t>(n));
        put16(h, 0x23, keyFields);
        h[0x39] = level;
        if (dataHeader) {
            put32(h, 0x25, 0xFF00FF00);
            put16(h, 0x58, static_cast<std::uint16_t>(0x100 + level));
            put16(h, 0x5A, static_cast<std::uint16_t>(0x100 + level));
            put16(h, 0x6A, codePage);
        }
        return h;
    }

    // Header plus blocks chained 1 -> 2 -> ... in physical order.
    Bytes build() const {
        const std::size_t rs = recordSize();
        const std::size_t blockSize = blockKiB * 1024u;
        std::size_t per = perBlock ? perBlock : (blockSize - 6) / rs;
        const std::size_t blocks = records.empty() ? 0 : (records.size() + per - 1) / per;
        Bytes out =
            header(static_cast<std::uint16_t>(blocks), static_cast<std::uint32_t>(records.size()));
        for (std::size_t b = 0; b < blocks; ++b) {
            Bytes blk(blockSize, 0);
            const std::size_t first = b * per;
            const std::size_t count = std::min(per, records.size() - first);
            put16(blk, 0, static_cast<std::uint16_t>(b + 1 < blocks ? b + 2 : 0));
            put16(blk, 2, static_cast<std::uint16_t>(b));
            put16(blk, 4, static_cast<std::uint16_t>((count - 1) * rs));
            for (std::size_t i = 0; i < count; ++i)
                std::memcpy(blk.data() + 6 + i * rs, records[first + i].data(), rs);
            out.insert(out.end(), blk.begin(), blk.end());
        }
        return out;
    }
};

inline void writeFile(const std::filesystem::path& p, const Bytes& b) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A .mb with one type-3 block at 4096 holding the given sub-allocated blobs (entries from 0) and
// one type-2 block at 8192 for big.
struct SyntheticMemo {
    std::vector<Bytes> small;
    Bytes big;

    Bytes build() const {
        Bytes mb(4096, 0);
        mb[1] = 1; // block 0: header
        Bytes sub(4096, 0);
        sub[0] = 3;
        sub[1] = 1;
        std::size_t at = 0x150;
        for (std::size_t i = 0; i < small.size(); ++i) {
            const std::size_t e = 12 + 5 * i;
            sub[e] = static_cast<std::uint8_t>(at / 16);
            sub[e + 1] = static_cast<std::uint8_t>((small[i].size() + 15) / 16);
            sub[e + 2] = 1;
            sub[e + 4] =
                static_cast<std::uint8_t>(small[i].size() % 16 ? small[i].size() % 16 : 16);
            std::memcpy(sub.data() + at, small[i].data(), small[i].size());
            at += (small[i].size() + 15) / 16 * 16;
        }
        mb.insert(mb.end(), sub.begin(), sub.end());
        if (!big.empty()) {
            const std::size_t units = (big.size() + 9 + 4095) / 4096;
            Bytes blk(units * 4096, 0);
            blk[0] = 2;
            put16(blk, 1, static_cast<std::uint16_t>(units));
            put32(blk, 3, static_cast<std::uint32_t>(big.size()));
            put16(blk, 7, 1);
            std::memcpy(blk.data() + 9, big.data(), big.size());
            mb.insert(mb.end(), blk.begin(), blk.end());
        }
        return mb;
    }
};

} // namespace qm::paradox::test
