#include "paradox/owner_lock.h"

#include "paradox/durable_files.h"

#include <cstring>
#include <string>

namespace fs = std::filesystem;

namespace qm::paradox::detail {

void OwnerLock::create(const fs::path& path) {
    for (;;) {
        const unsigned create =
            platform::File::Read | platform::File::Write | platform::File::Create;
        if (const int e = file_.open(path, create, 0600))
            throwFileError("Cannot create the swap's lock file", path, e);
        if (const int e = file_.lock(true, true)) {
            release();
            throwFileError("Cannot lock the swap's lock file", path, e);
        }
        platform::FileStatus held, named;
        if (file_.status(held) == 0 && platform::status(path, named) == 0 && held.sameFileAs(named))
            break;
        release();
    }
    path_ = path;
}

bool OwnerLock::tryTake(const fs::path& path, bool& absent) {
    absent = false;
    if (const int e = file_.open(path, platform::File::Read | platform::File::Write)) {
        absent = e == ENOENT;
        if (!absent)
            throwFileError("Cannot open the swap's lock file", path, e);
        return false;
    }
    if (const int e = file_.lock(true, false)) {
        release();
        if (e == EWOULDBLOCK)
            return false;
        throwFileError("Cannot lock the swap's lock file", path, e);
    }
    path_ = path;
    return true;
}

void OwnerLock::removeAndRelease() {
    if (!path_.empty())
        (void)platform::removeFile(path_);
    release();
}

void OwnerLock::release() {
    (void)file_.close();
    path_.clear();
}

fs::path ownerFileOf(const fs::path& journalOrTemp) {
    std::string name = journalOrTemp.filename().string();
    for (const char* ext : {".tmp", ".swap"})
        if (name.size() > std::strlen(ext) && name.ends_with(ext))
            name.resize(name.size() - std::strlen(ext));
    return journalOrTemp.parent_path() / (name + ".owner");
}

} // namespace qm::paradox::detail
