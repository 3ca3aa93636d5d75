#pragma once

// SHA-256 of a file's bytes: the digest the run records of earlier builds keep, checked when
// such a run is undone (replace/record_digest.h).

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace qm {

class Sha256 {
  public:
    Sha256();
    void add(const void* data, std::size_t size);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string hex();

  private:
    void block(const std::uint8_t* p);
    std::array<std::uint32_t, 8> h_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
};

std::string sha256Hex(std::string_view bytes);
// Throws std::runtime_error when the file cannot be read.
std::string sha256OfFile(const std::filesystem::path& file);

} // namespace qm
