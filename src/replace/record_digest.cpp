#include "replace/record_digest.h"

#include "app/sha256.h"
#include "paradox/content_digest.h"

#include <algorithm>
#include <string_view>

namespace qm {

namespace {

constexpr std::string_view kXxh3 = "xxh3:";

bool lowerHex(std::string_view s, std::size_t digits) {
    return s.size() == digits && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool isXxh3(const std::string& d) {
    return d.starts_with(kXxh3) && lowerHex(std::string_view(d).substr(kXxh3.size()), 32);
}

bool isSha256(const std::string& d) {
    return lowerHex(d, 64);
}

} // namespace

std::string recordDigestOfFile(const std::filesystem::path& file) {
    return std::string(kXxh3) + paradox::digestOfFile(file).hex();
}

bool knownRecordDigest(const std::string& digest) {
    return isXxh3(digest) || isSha256(digest);
}

bool fileHasDigest(const std::filesystem::path& file, const std::string& digest) {
    if (isXxh3(digest))
        return recordDigestOfFile(file) == digest;
    if (isSha256(digest))
        return sha256OfFile(file) == digest;
    return false;
}

} // namespace qm
