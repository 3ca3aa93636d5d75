#include "paradox/patched_copy.h"

#include "paradox/writer.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& p, int e) {
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

// [at, at + n) from in to out at the same offset, inside the system where it can.
void copyRange(const platform::File& in, platform::File& out, std::uint64_t at, std::uint64_t n,
               std::vector<std::uint8_t>& buf, const fs::path& from, const fs::path& to,
               bool& systemCopies) {
    if (systemCopies) {
        const int e = out.copyRangeFrom(in, at, n);
        if (e == 0)
            return;
        if (e != EOPNOTSUPP)
            fail("Cannot copy to", to, e);
        systemCopies = false; // another file system, an old kernel: through memory
    }
    while (n) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(n, buf.size()));
        if (const int e = in.readAt(at, buf.data(), piece))
            fail("Cannot read", from, e);
        if (const int e = out.writeAt(at, buf.data(), piece))
            fail("Cannot write", to, e);
        at += piece;
        n -= piece;
    }
}

} // namespace

void writePatchedCopy(const fs::path& from, const fs::path& to,
                      const std::vector<BytePatch>& patches) {
    platform::File in;
    if (const int e = in.open(from, platform::File::Read))
        fail("Cannot open", from, e);
    platform::FileStatus st;
    if (const int e = in.status(st))
        fail("Cannot read", from, e);
    const std::uint64_t size = st.size;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        const auto& p = patches[i];
        if (p.offset > size || p.bytes.size() > size - p.offset)
            throw FileError("A change at " + std::to_string(p.offset) + " lies outside \"" +
                                from.string() + "\"",
                            EINVAL);
        if (i > 0 && p.offset < patches[i - 1].offset)
            throw FileError("Changes to \"" + from.string() + "\" are not in file order", EINVAL);
    }
    platform::File out;
    if (const int e = out.createNew(to, st.mode & 07777))
        fail("Cannot create", to, e);

    constexpr std::uint64_t kPiece = kPatchedCopyPiece;
    std::vector<std::uint8_t> buf(kPiece);
    bool systemCopies = true;
    std::size_t next = 0; // the first patch that may still reach the current piece
    for (std::uint64_t at = 0; at < size;) {
        const std::uint64_t end = std::min(size, at + kPiece);
        while (next < patches.size() && patches[next].offset + patches[next].bytes.size() <= at)
            ++next;
        if (next == patches.size() || patches[next].offset >= end) {
            // Up to the piece of the next change, or the end, in one stretch.
            const std::uint64_t stop = next == patches.size()
                                           ? size
                                           : std::max(end, patches[next].offset / kPiece * kPiece);
            copyRange(in, out, at, stop - at, buf, from, to, systemCopies);
            at = stop;
            continue;
        }
        const std::size_t n = static_cast<std::size_t>(end - at);
        if (const int e = in.readAt(at, buf.data(), n))
            fail("Cannot read", from, e);
        for (std::size_t i = next; i < patches.size() && patches[i].offset < end; ++i) {
            const auto& p = patches[i];
            const std::uint64_t a = std::max(at, p.offset);
            const std::uint64_t b = std::min(end, p.offset + p.bytes.size());
            if (a < b)
                std::memcpy(buf.data() + (a - at), p.bytes.data() + (a - p.offset), b - a);
        }
        if (const int e = out.writeAt(at, buf.data(), n))
            fail("Cannot write", to, e);
        at = end;
    }
    if (const int e = out.sync())
        fail("Cannot flush", to, e);
    if (const int e = out.close())
        fail("Cannot close", to, e);
}

} // namespace qm::paradox
