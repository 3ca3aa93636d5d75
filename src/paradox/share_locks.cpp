#include "paradox/share_locks.h"

#include "paradox/ascii.h"
#include "paradox/durable_files.h"
#include "paradox/family_files.h"
#include "paradox/folder_listing.h"
#include "paradox/swap_journal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

constexpr const char* kFolderLockFiles[] = {"PDOXUSRS.LCK", "PARADOX.LCK", "PDOXUSRS.NET"};
// A lock file larger than this is not a lock file of theirs; only its start is searched.
constexpr std::size_t kMostLockFileBytes = 1 << 20;

fs::path folderOf(const fs::path& db) {
    return db.parent_path().empty() ? fs::path(".") : db.parent_path();
}

// The entries of folder whose names are one of wanted (upper case), whatever their case.
std::vector<fs::path> presentNamed(const fs::path& folder, const std::vector<std::string>& wanted) {
    std::vector<fs::path> out;
    std::vector<std::string> names;
    (void)folderNames(folder, names);
    for (const auto& name : names)
        if (std::find(wanted.begin(), wanted.end(), asciiUpper(name)) != wanted.end())
            out.push_back(folder / name);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<fs::path> folderLockFiles(const fs::path& folder) {
    return presentNamed(folder, {std::begin(kFolderLockFiles), std::end(kFolderLockFiles)});
}

std::vector<fs::path> ownLockFile(const fs::path& db) {
    return presentNamed(folderOf(db), {asciiUpper(db.stem().string()) + ".LCK"});
}

bool isNameByte(unsigned char c) {
    return std::isalnum(c) || c == '_' || c >= 0x80;
}

// True when text (upper case) holds name (upper case) as a whole word: lock file entries keep
// a table's name NUL- or blank-padded, or followed by its extension.
bool namesWord(const std::string& text, const std::string& name) {
    if (name.empty())
        return false;
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const bool before = at == 0 || !isNameByte(static_cast<unsigned char>(text[at - 1]));
        const std::size_t end = at + name.size();
        const bool after = end == text.size() || !isNameByte(static_cast<unsigned char>(text[end]));
        if (before && after)
            return true;
    }
    return false;
}

std::string readStart(const fs::path& file) {
    std::string text;
    platform::File in;
    if (in.open(file, platform::File::Read | platform::File::NonBlocking) != 0)
        return text;
    text.resize(kMostLockFileBytes);
    std::size_t got = 0;
    while (got < text.size()) {
        std::size_t n = 0;
        if (in.read(text.data() + got, text.size() - got, n) != 0 || n == 0)
            break;
        got += n;
    }
    text.resize(got);
    return asciiUpper(std::move(text));
}

// The names of the tables in folder, upper case, without extension.
std::vector<std::string> tableNamesIn(const fs::path& folder) {
    std::vector<std::string> names, listed;
    (void)folderNames(folder, listed);
    for (const auto& name : listed) {
        const fs::path p(name);
        if (asciiUpper(p.extension().string()) == ".DB")
            names.push_back(asciiUpper(p.stem().string()));
    }
    return names;
}

std::string inUse(const std::string& why) {
    return std::string(kInUseByAnotherProgram) + " (" + why + ")";
}

// Why a held folder lock file keeps db from being changed; empty when it names other tables
// of the folder but not db.
std::string heldFolderLockReason(const fs::path& lockFile, const fs::path& db) {
    const std::string text = readStart(lockFile);
    const std::string name = lockFile.filename().string();
    if (namesWord(text, asciiUpper(db.stem().string())))
        return inUse(name + " is held by another process and names the table");
    for (const auto& other : tableNamesIn(folderOf(db)))
        if (namesWord(text, other))
            return {};
    return inUse(name + " is held by another process, which may use any table of the folder");
}

// The record lock a Paradox program would see on the whole file; 0 or errno.
int lockWhole(const fs::path& file, platform::File& f) {
    bool exclusive = true;
    const unsigned readOnly = platform::File::Read | platform::File::NonBlocking;
    int e = f.open(file, readOnly | platform::File::Write);
    if (e == EACCES || e == EROFS || e == EPERM) {
        // A file this process may only read still takes a read lock, which keeps writers out.
        e = f.open(file, readOnly);
        exclusive = false;
    }
    if (e)
        return e;
    if ((e = f.lockRecords(exclusive)))
        (void)f.close();
    return e;
}

} // namespace

bool lockedByOthers(const fs::path& file) {
    platform::File f;
    if (f.open(file, platform::File::Read | platform::File::NonBlocking) != 0)
        return false;
    bool held = f.recordsLockedByOthers();
    if (!held) {
        // Exclusive, to be refused by a shared flock too: a reader that holds one counts on the
        // file staying as it is.
        if (const int e = f.lock(true, false))
            held = e == EWOULDBLOCK;
        else
            f.unlock();
    }
    return held;
}

std::vector<fs::path> lockFilesOf(const fs::path& db) {
    std::vector<fs::path> out = folderLockFiles(folderOf(db));
    for (auto& p : ownLockFile(db))
        out.push_back(std::move(p));
    return out;
}

std::string tableInUse(const fs::path& db) {
    // Another run's swap under way, or interrupted (its user's next start puts it right): the
    // family may be half old, half new.
    if (const fs::path marker = detail::swapMarkerOf(db); detail::present(marker))
        return inUse("another run of this program is changing its files, or was interrupted "
                     "while it did (" +
                     marker.filename().string() + " is beside it)");
    for (const auto& member : familyFiles(db))
        if (lockedByOthers(member))
            return inUse("another process holds a lock on its file " + member.filename().string());
    for (const auto& own : ownLockFile(db))
        if (lockedByOthers(own))
            return inUse("its lock file " + own.filename().string() +
                         " is held by another process");
    for (const auto& lockFile : folderLockFiles(folderOf(db)))
        if (lockedByOthers(lockFile))
            if (std::string why = heldFolderLockReason(lockFile, db); !why.empty())
                return why;
    return {};
}

std::vector<fs::path> staleLockFiles(const std::vector<fs::path>& tables) {
    std::vector<fs::path> out;
    const auto add = [&](const fs::path& p) {
        std::error_code ec;
        const bool seen = std::any_of(out.begin(), out.end(), [&](const fs::path& q) {
            return q == p || fs::equivalent(q, p, ec);
        });
        if (!seen && !lockedByOthers(p))
            out.push_back(p);
    };
    for (const auto& db : tables)
        for (const auto& p : lockFilesOf(db))
            add(p);
    return out;
}

ShareLocks::ShareLocks(const fs::path& db) {
    if (std::string why = tableInUse(db); !why.empty())
        throw TableInUseError(why);
    std::vector<fs::path> mine = familyFiles(db);
    for (auto& p : ownLockFile(db))
        mine.push_back(std::move(p));
    for (const auto& lockFile : folderLockFiles(folderOf(db)))
        if (!lockedByOthers(lockFile)) // a held one names other tables only (tableInUse)
            mine.push_back(lockFile);
    for (const auto& p : mine) {
        platform::File f;
        const int e = lockWhole(p, f);
        if (e == 0) {
            held_.push_back(std::move(f));
            continue;
        }
        held_.clear();
        if (e == EAGAIN || e == EACCES)
            throw TableInUseError(
                inUse("another process took a lock on " + p.filename().string() + " just now"));
        if (e == ENOENT)
            throw TableInUseError(
                inUse("its file " + p.filename().string() + " went away just now"));
        throw FileError("Cannot lock \"" + p.string() + "\": " + std::strerror(e), e);
    }
}

// Closing the last descriptor of an open file releases its locks.
ShareLocks::~ShareLocks() = default;

} // namespace qm::paradox
