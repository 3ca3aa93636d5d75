#include "paradox/index_fields.h"

#include "paradox/byte_order.h"
#include "paradox/durable_files.h"
#include "paradox/header_layout.h"
#include "paradox/table.h"
#include "paradox/writer.h"
#include "platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

namespace qm::paradox {

// Its header has the layout of a table header, so the reader parses it once the file type says
// "table" and the block counts are cleared; the copy is a scratch file, the index itself is only
// read.
std::vector<std::string> indexFieldNames(const fs::path& index) {
    std::ifstream in(index, std::ios::binary);
    std::vector<char> head(layout::kFixedEnd);
    if (!in.read(head.data(), layout::kFixedEnd))
        throw FormatError("\"" + index.string() + "\" is too short for an index header");
    const std::size_t size =
        le16(reinterpret_cast<const std::uint8_t*>(head.data()) + layout::kHeaderSize);
    if (size < layout::kFixedEnd)
        throw FormatError("\"" + index.string() + "\" has a bad header size");
    head.resize(size);
    if (!in.read(head.data() + layout::kFixedEnd,
                 static_cast<std::streamsize>(size - layout::kFixedEnd)))
        throw FormatError("\"" + index.string() + "\" is shorter than its header");
    head[layout::kFileType] = 2;
    std::fill(head.begin() + layout::kNumRecords, head.begin() + layout::kChangeCounter, 0);
    std::string scratch = (fs::temp_directory_path() / "qm-index-XXXXXX.db").string();
    platform::File out;
    if (const int e = out.createUnique(scratch, 3))
        detail::throwFileError("Cannot create a scratch file", scratch, e);
    bool ok = out.write(head.data(), head.size()) == 0;
    ok = out.close() == 0 && ok;
    std::vector<std::string> names;
    try {
        if (!ok)
            throw FormatError("cannot write a scratch copy of \"" + index.string() + "\"");
        Table t = Table::open(scratch, fs::path());
        for (const auto& f : t.fields())
            names.push_back(f.name);
    } catch (...) {
        (void)platform::removeFile(scratch);
        throw;
    }
    (void)platform::removeFile(scratch);
    return names;
}

} // namespace qm::paradox
