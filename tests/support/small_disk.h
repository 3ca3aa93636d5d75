#pragma once

// A small file system of its own (tmpfs) mounted over a test's folder, to fill up or to stand on
// another device. Only root may mount; where that is not possible, why() says so and the test
// skips with that message.

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace qm::test {

class SmallDisk {
  public:
    SmallDisk(const std::filesystem::path& at, std::size_t bytes) : at_(at) {
        if (::geteuid() != 0) {
            why_ = "mounting a small file system needs root";
            return;
        }
        std::filesystem::create_directories(at);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            why_ =
                std::string("a small file system cannot be mounted here: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(at_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

    // Writes a file until the disk has no room left; removeFiller() gives the room back.
    void fill() {
        std::ofstream out(at_ / "filler", std::ios::binary);
        const std::vector<char> block(4096, 'x');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size())))
            out.flush();
    }
    void removeFiller() {
        std::error_code ec;
        std::filesystem::remove(at_ / "filler", ec);
    }

  private:
    std::filesystem::path at_;
    bool mounted_ = false;
    std::string why_;
};

} // namespace qm::test
