#include "paradox/durable_files.h"

#include "paradox/writer.h"
#include "platform/files.h"

#include <cstring>
#include <vector>

namespace fs = std::filesystem;

namespace qm::paradox::detail {

void throwFileError(const std::string& what, const fs::path& p, int e) {
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

bool present(const fs::path& p) {
    return platform::present(p);
}

void fsyncPath(const fs::path& p, bool directory) {
    if (const int e = platform::syncPath(p, directory))
        throwFileError("Cannot flush", p, e);
}

void renameFile(const fs::path& from, const fs::path& to) {
    if (const int e = platform::renameFile(from, to))
        throwFileError("Cannot rename \"" + from.string() + "\" to", to, e);
}

void removeFile(const fs::path& p) {
    if (const int e = platform::removeFile(p))
        throwFileError("Cannot remove", p, e);
}

void writeFlushed(const fs::path& path, std::initializer_list<std::span<const std::uint8_t>> parts,
                  bool create) {
    platform::File out;
    if (const int e = create ? out.createNew(path)
                             : out.openOwn(path, platform::File::Write | platform::File::Truncate))
        throwFileError(create ? "Cannot create" : "Cannot open", path, e);
    for (const auto& part : parts)
        if (const int e = out.write(part.data(), part.size()))
            throwFileError("Cannot write", path, e);
    if (const int e = out.sync())
        throwFileError("Cannot flush", path, e);
    if (const int e = out.close())
        throwFileError("Cannot close", path, e);
}

void copyFileDurably(const fs::path& from, const fs::path& to) {
    platform::File in, out;
    if (const int e = in.open(from, platform::File::Read))
        throwFileError("Cannot open", from, e);
    platform::FileStatus fromStatus;
    if (const int e = in.status(fromStatus))
        throwFileError("Cannot read the status of", from, e);
    if (const int e = out.createNew(to, 0600))
        throwFileError("Cannot create", to, e);
    // The copy in the backup folder keeps the old file's mode, as a rename would.
    if (const int e = out.setPermissions(fromStatus.mode))
        throwFileError("Cannot set the permissions of", to, e);
    std::vector<char> buf(1 << 20);
    for (;;) {
        std::size_t n = 0;
        if (const int e = in.read(buf.data(), buf.size(), n))
            throwFileError("Cannot read", from, e);
        if (n == 0)
            break;
        if (const int e = out.write(buf.data(), n))
            throwFileError("Cannot write", to, e);
    }
    // And its time of change, as a rename would, for the tools that compare tables by it.
    if (const int e = out.setModifiedTime(fromStatus.modifiedNanoseconds))
        throwFileError("Cannot set the time of", to, e);
    if (const int e = out.sync())
        throwFileError("Cannot flush", to, e);
    if (const int e = out.close())
        throwFileError("Cannot close", to, e);
}

void moveToBackup(const fs::path& from, const fs::path& to) {
    const int e = platform::renameFile(from, to);
    if (e == 0)
        return;
    if (e != EXDEV)
        throwFileError("Cannot move \"" + from.string() + "\" to", to, e);
    fs::path part = to;
    part += ".part";
    // What an earlier, interrupted attempt left in the backup folder, the user's own.
    removeFile(part);
    copyFileDurably(from, part);
    renameFile(part, to);
    fsyncPath(to.parent_path(), true);
    removeFile(from);
}

} // namespace qm::paradox::detail
