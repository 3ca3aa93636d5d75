#pragma once

// The layout of a fuzz input, shared by the fuzz target and the regression test that replays the
// inputs it found. Byte 0 selects the layout: bit 0 set means bytes 1..4 (little-endian, reduced
// modulo the rest) give the length of the .db part and the remainder is the .mb; clear means
// everything after byte 0 is the .db. Bit 1 asks for the memo lookup beside the table (file name
// "t.MB") instead of an explicit memo path.

#include "paradox/table.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>

namespace qm::paradox::fuzz {

struct Parts {
    std::span<const std::uint8_t> db;
    std::optional<std::span<const std::uint8_t>> mb;
    bool lookBeside = false;
};

inline Parts split(std::span<const std::uint8_t> in) {
    Parts p;
    if (in.empty())
        return p;
    const std::uint8_t mode = in[0];
    auto body = in.subspan(1);
    p.lookBeside = (mode & 2) != 0;
    p.db = body;
    if ((mode & 1) && body.size() >= 4) {
        const std::uint32_t n = body[0] | (body[1] << 8) | (body[2] << 16) |
                                (static_cast<std::uint32_t>(body[3]) << 24);
        body = body.subspan(4);
        const std::size_t dbSize = n % (body.size() + 1);
        p.db = body.first(dbSize);
        p.mb = body.subspan(dbSize);
    }
    return p;
}

inline bool writeBytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// Writes the parts as t.db (and t.mb / t.MB) into dir and opens the table.
inline Table openParts(const std::filesystem::path& dir, const Parts& p) {
    std::error_code ec;
    std::filesystem::remove(dir / "t.mb", ec);
    std::filesystem::remove(dir / "t.MB", ec);
    const auto db = dir / "t.db";
    const auto memo = dir / (p.lookBeside ? "t.MB" : "t.mb");
    if (!writeBytes(db, p.db) || (p.mb && !writeBytes(memo, *p.mb)))
        throw std::runtime_error("cannot write the fuzz input into " + dir.string());
    return p.lookBeside ? Table::open(db) : Table::open(db, p.mb ? memo : std::filesystem::path());
}

// Reads every value of every record, as the program would; FormatError from one value does not
// stop the others. Returns false when the reader contradicts itself.
inline bool readEverything(const Table& t) {
    bool consistent = true;
    t.forEachRecord([&](const Record& r) {
        if (r.bytes().size() != t.header().recordSize)
            consistent = false;
        for (std::size_t i = 0; i < t.fields().size(); ++i) {
            try {
                (void)textForm(t.fields()[i], r.value(i));
            } catch (const FormatError&) {
            }
        }
        Record again = t.readRecordAt(r.fileOffset());
        if (again.bytes().size() != r.bytes().size() ||
            !std::equal(again.bytes().begin(), again.bytes().end(), r.bytes().begin()))
            consistent = false;
    });
    return consistent;
}

} // namespace qm::paradox::fuzz
