#include "cli/checked_output.h"

#include "platform/files.h"

#include <cerrno>

namespace qm::cli {

bool CheckedOutput::drain() {
    const char* at = pbase();
    while (!error_ && at < pptr()) {
        std::size_t n = 0;
        if (const int e =
                platform::writeToStream(fd_, at, static_cast<std::size_t>(pptr() - at), n))
            error_ = e;
        else if (n == 0)
            error_ = EIO;
        else
            at += n;
    }
    // What could not be written is dropped: a later line must not appear without it.
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return !error_;
}

CheckedOutput::int_type CheckedOutput::overflow(int_type c) {
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int CheckedOutput::sync() {
    return drain() ? 0 : -1;
}

} // namespace qm::cli
