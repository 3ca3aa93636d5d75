#pragma once

// A new file written front to back through a large buffer, with positioned writes for headers.
// Private to src/paradox.

#include "paradox/writer.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace qm::paradox::detail {

// Throws FileError naming the operation, the file and errno's text.
[[noreturn]] void throwErrno(const std::string& what, const std::filesystem::path& p);

class OutFile {
  public:
    // Creates or truncates p; throws FileError.
    explicit OutFile(const std::filesystem::path& p);
    ~OutFile();
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
    void writeAll(const std::uint8_t* p, std::size_t n, std::uint64_t off);
    std::filesystem::path path_;
    int fd_ = -1;
    std::vector<std::uint8_t> buf_;
    std::uint64_t size_ = 0;
};

} // namespace qm::paradox::detail
