#include "paradox/content_digest.h"

#include "paradox/durable_files.h"
#include "platform/files.h"

#include <new>
#include <vector>
#include <xxhash.h>

namespace qm::paradox {

std::string Digest128::hex() const {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (const std::uint64_t half : {high, low})
        for (int shift = 60; shift >= 0; shift -= 4)
            out += digits[(half >> shift) & 0xf];
    return out;
}

void ContentDigest::Free::operator()(XXH3_state_s* s) const {
    XXH3_freeState(s);
}

ContentDigest::ContentDigest() : state_(XXH3_createState()) {
    if (!state_)
        throw std::bad_alloc();
    XXH3_128bits_reset(state_.get());
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::add(const void* data, std::size_t size) {
    XXH3_128bits_update(state_.get(), data, size);
}

Digest128 ContentDigest::digest() const {
    const XXH128_hash_t h = XXH3_128bits_digest(state_.get());
    return {h.high64, h.low64};
}

Digest128 digestOf(std::string_view bytes) {
    const XXH128_hash_t h = XXH3_128bits(bytes.data(), bytes.size());
    return {h.high64, h.low64};
}

Digest128 digestOfFile(const std::filesystem::path& file) {
    platform::File in;
    if (const int e = in.open(file, platform::File::Read))
        detail::throwFileError("Cannot open", file, e);
    return digestOfRest(in, file);
}

Digest128 digestOfRest(platform::File& in, const std::filesystem::path& file) {
    ContentDigest d;
    // Large reads: the files are tables of up to gigabytes, mostly in the page cache already.
    std::vector<unsigned char> buf(1 << 20);
    for (;;) {
        std::size_t n = 0;
        if (const int e = in.read(buf.data(), buf.size(), n))
            detail::throwFileError("Cannot read", file, e);
        if (n == 0)
            break;
        d.add(buf.data(), n);
    }
    return d.digest();
}

} // namespace qm::paradox
