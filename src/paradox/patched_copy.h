#pragma once

// A copy of a file with some byte ranges rewritten, made the way the copy itself is cheapest:
// stretches without a change go from file to file inside the kernel (copy_file_range, falling
// back to reads and writes), stretches with changes pass through memory once, in large pieces,
// with every change laid in. The copy is flushed before the call returns.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace qm::paradox {

struct BytePatch {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

// Stretches without changes are copied by the system; a stretch with changes is read, patched
// and written this many bytes at a time. A quarter of a megabyte keeps the copy's memory small
// beside a small table, and a change in every piece costs no more system calls than a copy.
inline constexpr std::uint64_t kPatchedCopyPiece = 256 << 10;

// Writes to (created, or emptied) the bytes of from with patches laid over them, sorted by
// offset; where two overlap the later one wins. A patch must lie inside from. The new file has
// from's permission bits. Throws FileError.
void writePatchedCopy(const std::filesystem::path& from, const std::filesystem::path& to,
                      const std::vector<BytePatch>& patches);

} // namespace qm::paradox
