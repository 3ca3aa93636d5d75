#pragma once

// A new file written front to back through a large buffer, with positioned writes for headers.
// Private to src/paradox.

#include "paradox/writer.h"
#include "platform/files.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace qm::paradox::detail {

class OutFile {
  public:
    // Creates p, a name nothing has yet (never through a link); throws FileError.
    explicit OutFile(const std::filesystem::path& p);
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;

    void append(const std::uint8_t* data, std::size_t n);
    void append(std::span<const std::uint8_t> s) { append(s.data(), s.size()); }
    void appendZeros(std::size_t n);
    void writeAt(std::uint64_t off, std::span<const std::uint8_t> s);
    // Writes what is buffered, flushes the file to the disk and closes it.
    void finish();
    std::uint64_t size() const { return size_; }

  private:
    void drain();
    std::filesystem::path path_;
    platform::File file_;
    std::vector<std::uint8_t> buf_;
    std::uint64_t size_ = 0;
};

} // namespace qm::paradox::detail
