#pragma once

#include <filesystem>

namespace qm::test {

// ../shared beside the project; corpus tests skip when it is absent.
std::filesystem::path sharedDir();
std::filesystem::path corpusDir();
bool haveCorpus();
std::filesystem::path pxdumpScript();

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

} // namespace qm::test
