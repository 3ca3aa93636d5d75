#pragma once

// The bytes of a file, for tests that compare what a writer produced with what was there.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace qm::test {

inline std::vector<unsigned char> fileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace qm::test
