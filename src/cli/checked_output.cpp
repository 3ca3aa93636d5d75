#include "cli/checked_output.h"

#include <cerrno>
#include <unistd.h>

namespace qm::cli {

bool CheckedOutput::drain() {
    const char* at = pbase();
    while (!error_ && at < pptr()) {
        const ssize_t n = ::write(fd_, at, static_cast<std::size_t>(pptr() - at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error_ = n < 0 ? errno : EIO;
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
