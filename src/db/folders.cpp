#include "db/folders.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "app/installation.h"
#include "paradox/ascii.h"
#include "paradox/utf8.h"
#include "platform/files.h"

#include <QChar>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace qm {

namespace {

inline constexpr std::size_t kMaxPath = 260;

Error listingError(int e, const std::string& folder) {
    long c = code::PathFileAccess;
    if (e == EACCES || e == EPERM)
        c = code::PermissionDenied;
    else if (e == ENOENT || e == ENOTDIR)
        c = code::PathNotFound;
    return Error(c, std::string(std::strerror(e)) + ": " + folder);
}

std::string withSeparator(std::string folder) {
    if (folder.empty() || folder.back() != kSeparator)
        folder += kSeparator;
    return folder;
}

using paradox::appendUtf8;
using paradox::isValidUtf8;
using paradox::nextCharacter;

char32_t upperChar(char32_t c) {
    return c < 0x80 ? static_cast<char32_t>(paradox::asciiUpper(static_cast<char>(c)))
                    : QChar::toUpper(c);
}

// NTFS keeps a folder's names in upper-case order; listing in that order makes the walk
// and the table list the same on every file system.
void sortLikeNtfs(std::vector<std::string>& names) {
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(names.size());
    for (auto& n : names)
        keyed.emplace_back(upperCase(n), std::move(n));
    std::sort(keyed.begin(), keyed.end());
    names.clear();
    for (auto& k : keyed)
        names.push_back(std::move(k.second));
}

// Lists a folder's entries; the callback decides which names to keep.
template <class Keep>
std::vector<std::string> listEntries(const std::string& folder, bool missingIsEmpty, Keep keep) {
    std::vector<std::string> all;
    if (const int e = platform::listFolder(folder, all)) {
        if (missingIsEmpty && (e == ENOENT || e == ENOTDIR))
            return {};
        throw listingError(e, folder);
    }
    std::vector<std::string> names;
    for (auto& name : all)
        if (keep(withSeparator(folder) + name, name))
            names.push_back(std::move(name));
    sortLikeNtfs(names);
    return names;
}

bool isDirectory(const std::string& path) {
    platform::FileStatus st;
    return platform::status(path, st) == 0 && st.directory;
}

// True when the folder at path is one of the folders above it on its own path, as a
// symbolic link (or a bind mount) to a parent makes it. Walking into it would never end.
bool leadsToAncestor(const std::string& path) {
    platform::FileStatus self;
    if (platform::status(path, self) != 0)
        return false;
    std::string p = path;
    while (!p.empty() && p.back() == kSeparator)
        p.pop_back();
    for (;;) {
        auto pos = p.rfind(kSeparator);
        if (pos == std::string::npos)
            return false;
        p.erase(pos);
        std::string parent = p.empty() ? std::string(1, kSeparator) : p;
        platform::FileStatus up;
        if (platform::status(parent, up) == 0 && self.sameFileAs(up))
            return true;
        if (p.empty())
            return false;
    }
}

// True when path is the program's own data folder (its working database, backups and run
// records) or lies inside it, reached by any name: a chosen folder above it must not list the
// backups as tables and change them.
bool withinProgramData(const std::string& path, bool orBelow = true) {
    platform::FileStatus data;
    if (platform::status(userDataFolder(), data) != 0)
        return false;
    std::string p = path;
    while (p.size() > 1 && p.back() == kSeparator)
        p.pop_back();
    for (;;) {
        platform::FileStatus st;
        if (platform::status(p.empty() ? std::string(1, kSeparator) : p, st) == 0 &&
            st.sameFileAs(data))
            return true;
        if (!orBelow)
            return false;
        const auto pos = p.rfind(kSeparator);
        if (pos == std::string::npos || p.empty())
            return false;
        p.erase(pos);
    }
}

bool isFolderYes(const std::string& path) {
    Variant v = IsFolder(path);
    return v.isBool() && v.boolean();
}

} // namespace

const std::string& FileNameSequence::operator[](int position) const {
    static const std::string empty;
    if (names_.empty() && position == 0)
        return empty;
    if (position < 1 || position > upperBound())
        throw Error(9, "Subscript out of range");
    return names_[static_cast<std::size_t>(position - 1)];
}

std::vector<std::string> FolderSystem::subFolderNames(const std::string& folder) const {
    return listEntries(folder, false, [](const std::string& full, const std::string&) {
        // The folder above was checked when it was listed.
        return isDirectory(full) && !withinProgramData(full, false);
    });
}

std::vector<std::string> FolderSystem::fileNames(const std::string& folder,
                                                 const std::string& pattern) const {
    if (withinProgramData(folder))
        return {};
    return listEntries(folder, true, [&](const std::string& full, const std::string& name) {
        return MatchesPattern(name, pattern) && !isDirectory(full);
    });
}

long FolderSystem::attributes(const std::string& path) const {
    std::string p = path;
    while (p.size() > 1 && p.back() == kSeparator)
        p.pop_back();
    platform::FileStatus link, st;
    int e = platform::linkStatus(p, link);
    if (e == 0)
        e = platform::status(p, st);
    if (e)
        throw listingError(e, p);
    long a = 0;
    if (st.directory)
        a |= attr::Directory;
    if ((st.mode & 0222) == 0)
        a |= attr::ReadOnly;
    std::string name = FileNameFromPath(p);
    if (!name.empty() && name[0] == '.')
        a |= attr::Hidden | attr::System;
    if (link.symlink)
        a |= attr::Alias;
    return a;
}

const FolderSystem& platformFolders() {
    static const FolderSystem fs;
    return fs;
}

bool IsDriveRoot(const std::string& path) {
    return !path.empty() && path.find_first_not_of(kSeparator) == std::string::npos;
}

std::size_t characterCount(const std::string& text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++n)
        nextCharacter(text, i);
    return n;
}

std::string upperCase(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool ok = false;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        char32_t c = nextCharacter(text, i, &ok);
        if (ok)
            appendUtf8(out, upperChar(c));
        else
            out.append(text, start, i - start);
    }
    return out;
}

bool MatchesPattern(const std::string& name, const std::string& pattern) {
    auto decode = [](const std::string& s) {
        std::vector<char32_t> v;
        for (std::size_t i = 0; i < s.size();)
            v.push_back(upperChar(nextCharacter(s, i)));
        return v;
    };
    std::vector<char32_t> n = decode(name), p = decode(pattern);
    // Iterative wildcard match with back-tracking to the last "*".
    std::size_t ni = 0, pi = 0, star = std::string::npos, mark = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == U'?' || p[pi] == n[ni])) {
            ++ni;
            ++pi;
        } else if (pi < p.size() && p[pi] == U'*') {
            star = pi++;
            mark = ni;
        } else if (star != std::string::npos) {
            pi = star + 1;
            ni = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == U'*')
        ++pi;
    return pi == p.size();
}

std::string BrowseForFolder(UserInterface& ui, const std::string& prompt,
                            const std::string& initialFolder) {
    std::string chosen = ui.browseForFolder(prompt, initialFolder);
    auto nul = chosen.find('\0');
    if (nul != std::string::npos)
        chosen.erase(nul);
    return chosen;
}

namespace {

// The sub-folders of folder v that the walk takes, added to found (steps 118 to 132). A folder
// that cannot be listed for want of rights, or that is gone, leaves the list of folders.
void addSubFolders(Trap& trap, UserInterface& ui, const FolderSystem& fs, const std::string& v,
                   std::vector<std::string>& folders, std::vector<std::string>& found) {
    trap.line(118);
    std::vector<std::string> names;
    try {
        names = fs.subFolderNames(v);
    } catch (const Error& e) {
        trap.line(138);
        if (e.code() == code::PermissionDenied || e.code() == code::PathNotFound) {
            auto it = std::find(folders.begin(), folders.end(), v);
            if (it != folders.end())
                folders.erase(it);
        }
        return;
    }
    for (const std::string& listed : names) {
        trap.step(120, [&] { ui.processEvents(); });
        std::string name;
        trap.step(122, [&] { name = listed; });
        bool take = true;
        trap.step(124, [&] {
            take = characterCount(name) < kMaxPath && !NameHasOddCharacters(name) && name != "." &&
                   name != "..";
        });
        if (!take)
            continue;
        trap.step(132, [&] {
            std::string sub = v + name + kSeparator;
            if (!leadsToAncestor(sub))
                found.push_back(std::move(sub));
        });
    }
}

} // namespace

void GetSubDirectories2016(UserInterface& ui, std::vector<std::string>& folders, bool recurse,
                           const FolderSystem& fs) {
    Trap trap(ui, where::getSubDirectories2016());
    auto enterable = [&](const std::string& path) {
        if (IsDriveRoot(path))
            return true;
        long a = fs.attributes(path);
        return a != attr::HiddenSystemFolder && a != attr::HiddenSystemAlias;
    };

    std::vector<std::string> found;
    trap.step(104, [&] { found.clear(); });
    trap.line(106);
    // The list shrinks while it is walked; walk a copy so no folder is passed over.
    const std::vector<std::string> given = folders;
    for (const std::string& v : given) {
        if (!trap.test(108, [&] { return isFolderYes(v); }))
            continue;
        if (!trap.test(110, [&] { return characterCount(v) < kMaxPath; }))
            continue;
        trap.step(114, [&] { ui.processEvents(); });
        if (!trap.test(116, [&] { return enterable(v); }))
            continue;
        addSubFolders(trap, ui, fs, v, folders, found);
    }
    if (trap.test(150, [&] { return recurse && !found.empty(); }) && !found.empty())
        GetSubDirectories2016(ui, found, true, fs);
    trap.line(152);
    for (const std::string& w : found) {
        if (!trap.test(154, [&] { return isFolderYes(w); }))
            continue;
        trap.step(156, [&] { ui.processEvents(); });
        if (!trap.test(158, [&] { return enterable(w); }))
            continue;
        trap.step(160, [&] { folders.push_back(w); });
    }
}

bool NameHasOddCharacters(const std::string& name) {
    if (!isValidUtf8(name))
        return true;
    for (std::size_t i = 0; i < name.size();) {
        char32_t c = nextCharacter(name, i);
        if (c < 32 || (c >= 127 && c <= 159) || c == U'?')
            return true;
    }
    return false;
}

FileNameSequence GetFilesInFolder(const std::string& folder, const std::string& pattern,
                                  const FolderSystem& fs) {
    std::string dir = withSeparator(folder);
    std::vector<std::string> names;
    names.reserve(100);
    for (auto& name : fs.fileNames(dir, pattern))
        if (FileIsPresent(dir + name))
            names.push_back(std::move(name));
    names.shrink_to_fit();
    return FileNameSequence(std::move(names));
}

bool FileIsPresent(const std::string& path) {
    platform::FileStatus st;
    return !path.empty() && platform::status(path, st) == 0 && st.regular;
}

} // namespace qm
