#include "paradox/index_fields.h"

#include "paradox/table.h"
#include "paradox/writer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& p, int e = errno) {
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

} // namespace

// Its header has the layout of a table header, so the reader parses it once the file type says
// "table" and the block counts are cleared; the copy is a scratch file, the index itself is only
// read.
std::vector<std::string> indexFieldNames(const fs::path& index) {
    std::ifstream in(index, std::ios::binary);
    std::vector<char> head(0x58);
    if (!in.read(head.data(), 0x58))
        throw FormatError("\"" + index.string() + "\" is too short for an index header");
    const std::size_t size =
        static_cast<unsigned char>(head[2]) | static_cast<unsigned char>(head[3]) << 8;
    if (size < 0x58)
        throw FormatError("\"" + index.string() + "\" has a bad header size");
    head.resize(size);
    if (!in.read(head.data() + 0x58, static_cast<std::streamsize>(size - 0x58)))
        throw FormatError("\"" + index.string() + "\" is shorter than its header");
    head[4] = 2;
    std::fill(head.begin() + 0x06, head.begin() + 0x12, 0);
    std::string scratch = (fs::temp_directory_path() / "qm-index-XXXXXX.db").string();
    int fd = ::mkstemps(scratch.data(), 3);
    if (fd < 0)
        fail("Cannot create a scratch file", scratch);
    bool ok = ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size());
    ::close(fd);
    std::vector<std::string> names;
    try {
        if (!ok)
            throw FormatError("cannot write a scratch copy of \"" + index.string() + "\"");
        Table t = Table::open(scratch, fs::path());
        for (const auto& f : t.fields())
            names.push_back(f.name);
    } catch (...) {
        ::unlink(scratch.c_str());
        throw;
    }
    ::unlink(scratch.c_str());
    return names;
}

} // namespace qm::paradox
