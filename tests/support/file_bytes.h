#pragma once

// The bytes of files, for tests that compare what a writer produced with what was there.

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace qm::test {

inline std::vector<unsigned char> fileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Empty when the file cannot be read.
inline std::string fileText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFileText(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

// Every plain file of a folder by name, with its bytes; empty when the folder is missing.
inline std::map<std::string, std::string> folderFiles(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.is_regular_file())
            files[e.path().filename().string()] = fileText(e.path());
    return files;
}

// The members of one table among a folder's files (folderFiles): the names whose stem is the
// table's name, without regard to case.
inline std::map<std::string, std::string>
tableFamily(const std::map<std::string, std::string>& files, const std::string& table) {
    const auto lower = [](std::string s) {
        for (auto& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::map<std::string, std::string> out;
    for (const auto& [name, bytes] : files)
        if (lower(std::filesystem::path(name).stem().string()) == lower(table))
            out[name] = bytes;
    return out;
}

} // namespace qm::test
