#include "app/safe_file.h"

#include "app/error.h"
#include "platform/files.h"

#include <cerrno>
#include <cstring>

namespace qm {

namespace {

Error saveError(int e, const std::string& path) {
    long c = code::PathFileAccess;
    if (e == EACCES || e == EPERM || e == EROFS)
        c = code::PermissionDenied;
    else if (e == ENOENT || e == ENOTDIR)
        c = code::PathNotFound;
    return Error(c, std::string(std::strerror(e)) + ": " + path);
}

} // namespace

void SaveFileSafely(const std::string& path, std::string_view bytes) {
    std::string target = path;
    platform::FileStatus st;
    if (platform::linkStatus(path, st) == 0) {
        if (st.symlink)
            if (const auto real = platform::resolvedPath(path); !real.empty())
                target = real.string();
        if (platform::status(target, st) == 0 && !st.regular)
            throw Error(code::PathFileAccess, "Path/File access error: " + path);
    }
    const unsigned permissions =
        platform::status(target, st) == 0 && st.regular ? st.mode : platform::newFilePermissions();
    if (const int e = platform::replaceFileSafely(target, bytes, permissions))
        throw saveError(e, path);
}

} // namespace qm
