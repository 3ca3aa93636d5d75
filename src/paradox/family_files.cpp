#include "paradox/family_files.h"

#include "paradox/ascii.h"
#include "paradox/folder_listing.h"
#include "paradox/writer.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

bool isFamilyExtension(const std::string& extLower) {
    static const char* fixed[] = {".db", ".mb", ".px", ".val", ".tv", ".fam"};
    for (const char* f : fixed)
        if (extLower == f)
            return true;
    auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    if (extLower.size() == 4 && (extLower[1] == 'x' || extLower[1] == 'y'))
        return (isHex(extLower[2]) && isHex(extLower[3])) ||
               (extLower[2] == 'g' && isHex(extLower[3]));
    return false;
}

bool isLink(const fs::path& p) {
    platform::FileStatus st;
    return platform::linkStatus(p, st) == 0 && st.symlink;
}

} // namespace

std::vector<fs::path> familyFiles(const fs::path& db) {
    std::vector<fs::path> out;
    const fs::path folder = db.parent_path().empty() ? fs::path(".") : db.parent_path();
    const std::string stem = asciiLower(db.stem().string());
    std::vector<std::string> names;
    (void)folderNames(folder, names); // a folder that cannot be listed holds no family
    for (const auto& name : names) {
        const fs::path p = folder / name;
        if (asciiLower(p.stem().string()) == stem &&
            isFamilyExtension(asciiLower(p.extension().string())) && isRegularFile(p))
            out.push_back(p);
    }
    std::sort(out.begin(), out.end());
    return out;
}

fs::path realTableFile(const fs::path& db) {
    const std::vector<fs::path> members = familyFiles(db);
    std::vector<fs::path> links;
    for (const auto& m : members)
        if (isLink(m))
            links.push_back(m);
    if (links.empty())
        return db;
    const auto refuse = [](const std::string& why) -> fs::path {
        throw FileError(
            "its files are symbolic links that cannot be replaced where they lead: " + why, EXDEV);
    };
    if (links.size() != members.size())
        return refuse("some of its files are links, others are not");
    std::error_code ec;
    fs::path realFolder;
    for (const auto& link : links) {
        const fs::path target = fs::canonical(link, ec);
        if (ec)
            return refuse("the link " + link.string() + " leads nowhere");
        if (asciiLower(target.filename().string()) != asciiLower(link.filename().string()))
            return refuse("the link " + link.string() + " leads to a file of another name, " +
                          target.string());
        if (realFolder.empty())
            realFolder = target.parent_path();
        else if (target.parent_path() != realFolder)
            return refuse("its links lead into more than one folder");
    }
    fs::path realDb;
    for (const auto& link : links)
        if (asciiLower(link.filename().string()) == asciiLower(db.filename().string()))
            realDb = fs::canonical(link, ec);
    if (realDb.empty())
        return refuse("its .db file is not among them");
    std::vector<std::string> here, there;
    for (const auto& m : members)
        here.push_back(asciiLower(m.filename().string()));
    for (const auto& m : familyFiles(realDb)) {
        if (isLink(m))
            return refuse("the folder the links lead to holds links too");
        there.push_back(asciiLower(m.filename().string()));
    }
    std::sort(here.begin(), here.end());
    std::sort(there.begin(), there.end());
    if (here != there)
        return refuse("the folder they lead to, " + realFolder.string() +
                      ", holds another set of the table's files");
    return realDb;
}

} // namespace qm::paradox
