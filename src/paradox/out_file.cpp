#include "paradox/out_file.h"

#include "paradox/durable_files.h"

#include <algorithm>

namespace qm::paradox::detail {

OutFile::OutFile(const std::filesystem::path& p) : path_(p) {
    if (const int e = file_.createNew(p))
        throwFileError("Cannot create", p, e);
    buf_.reserve(1 << 20);
}

void OutFile::append(const std::uint8_t* data, std::size_t n) {
    if (buf_.size() + n > buf_.capacity())
        drain();
    if (n >= buf_.capacity()) {
        if (const int e = file_.writeAt(size_, data, n))
            throwFileError("Cannot write", path_, e);
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
    if (const int e = file_.writeAt(off, s.data(), s.size()))
        throwFileError("Cannot write", path_, e);
}

void OutFile::finish() {
    drain();
    if (const int e = file_.sync())
        throwFileError("Cannot flush", path_, e);
    if (const int e = file_.close())
        throwFileError("Cannot close", path_, e);
}

void OutFile::drain() {
    if (buf_.empty())
        return;
    if (const int e = file_.writeAt(size_ - buf_.size(), buf_.data(), buf_.size()))
        throwFileError("Cannot write", path_, e);
    buf_.clear();
}

} // namespace qm::paradox::detail
