#pragma once

// A 128-bit digest of bytes (XXH3-128): how the program tells that a file is still exactly what
// it was, in the print a write-back compares before replacing a table and in the record undo
// checks before putting one back. It is there to catch accidental change (another program's
// write, a copy cut short, a disk's bit gone wrong), not a forger: anyone who can rewrite a
// table's files can rewrite the record beside them too, so a cryptographic digest would buy
// nothing here but ten times the reading time.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

struct XXH3_state_s;

namespace qm::platform {
class File;
}

namespace qm::paradox {

struct Digest128 {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const Digest128&) const = default;
    // 32 lower-case hex digits, high half first: what `xxh128sum` prints for the same bytes.
    std::string hex() const;
};

class ContentDigest {
  public:
    ContentDigest();
    ~ContentDigest();
    ContentDigest(const ContentDigest&) = delete;
    ContentDigest& operator=(const ContentDigest&) = delete;

    void add(const void* data, std::size_t size);
    // Of everything added so far; more may be added after.
    Digest128 digest() const;

  private:
    struct Free {
        void operator()(XXH3_state_s* s) const;
    };
    std::unique_ptr<XXH3_state_s, Free> state_;
};

Digest128 digestOf(std::string_view bytes);
// Of the file's whole content. Throws FileError when it cannot be opened or read.
Digest128 digestOfFile(const std::filesystem::path& file);
// The digest of what is left of an open file from where it stands; file names it in errors.
Digest128 digestOfRest(platform::File& in, const std::filesystem::path& file);

} // namespace qm::paradox
