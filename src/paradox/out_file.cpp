#include "paradox/out_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qm::paradox::detail {

[[noreturn]] void throwErrno(const std::string& what, const std::filesystem::path& p) {
    int e = errno;
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

OutFile::OutFile(const std::filesystem::path& p) : path_(p) {
    fd_ = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throwErrno("Cannot create", p);
    buf_.reserve(1 << 20);
}

OutFile::~OutFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

void OutFile::append(const std::uint8_t* data, std::size_t n) {
    if (buf_.size() + n > buf_.capacity())
        drain();
    if (n >= buf_.capacity()) {
        writeAll(data, n, size_);
        size_ += n;
        return;
    }
    buf_.insert(buf_.end(), data, data + n);
    size_ += n;
}

void OutFile::appendZeros(std::size_t n) {
    static const std::uint8_t zeros[4096] = {};
    while (n) {
        std::size_t k = std::min(n, sizeof zeros);
        append(zeros, k);
        n -= k;
    }
}

void OutFile::writeAt(std::uint64_t off, std::span<const std::uint8_t> s) {
    drain();
    writeAll(s.data(), s.size(), off);
}

void OutFile::finish() {
    drain();
    if (::fsync(fd_) != 0)
        throwErrno("Cannot flush", path_);
    if (::close(fd_) != 0) {
        fd_ = -1;
        throwErrno("Cannot close", path_);
    }
    fd_ = -1;
}

void OutFile::drain() {
    if (buf_.empty())
        return;
    writeAll(buf_.data(), buf_.size(), size_ - buf_.size());
    buf_.clear();
}

void OutFile::writeAll(const std::uint8_t* p, std::size_t n, std::uint64_t off) {
    while (n) {
        ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(off));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("Cannot write", path_);
        }
        p += w;
        n -= static_cast<std::size_t>(w);
        off += static_cast<std::uint64_t>(w);
    }
}

} // namespace qm::paradox::detail
