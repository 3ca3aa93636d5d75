#include "paradox/family_print.h"

#include "paradox/content_digest.h"
#include "paradox/durable_files.h"
#include "paradox/family_files.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

MemberPrint printOne(const std::string& name, const fs::path& file, bool content) {
    platform::File in;
    if (const int e = in.open(file, platform::File::Read))
        detail::throwFileError("Cannot open", file, e);
    platform::FileStatus st;
    if (const int e = in.status(st))
        detail::throwFileError("Cannot read", file, e);
    MemberPrint m;
    m.name = name;
    m.size = st.size;
    m.mtimeNs = st.modifiedNanoseconds;
    if (!content)
        return m;
    m.digest = digestOfRest(in, file);
    m.hashed = true;
    return m;
}

} // namespace

FamilyPrint printFiles(const std::vector<std::pair<std::string, fs::path>>& files, bool content) {
    FamilyPrint p;
    for (const auto& [name, file] : files)
        p.members.push_back(printOne(name, file, content));
    std::sort(p.members.begin(), p.members.end(),
              [](const MemberPrint& a, const MemberPrint& b) { return a.name < b.name; });
    return p;
}

FamilyPrint printFamily(const fs::path& db, bool content) {
    std::vector<std::pair<std::string, fs::path>> files;
    for (const auto& member : familyFiles(db))
        files.emplace_back(member.filename().string(), member);
    return printFiles(files, content);
}

std::string familyDifference(const FamilyPrint& before, const FamilyPrint& now) {
    std::vector<std::string> what;
    for (const auto& b : before.members) {
        const auto it = std::find_if(now.members.begin(), now.members.end(),
                                     [&](const MemberPrint& m) { return m.name == b.name; });
        if (it == now.members.end())
            what.push_back("its file " + b.name + " is gone");
        else if (it->size != b.size)
            what.push_back("its file " + b.name + " changed size");
        else if (it->mtimeNs != b.mtimeNs)
            what.push_back("its file " + b.name + " has a new modification time");
        else if (it->hashed && b.hashed && it->digest != b.digest)
            what.push_back("the content of its file " + b.name + " changed");
    }
    for (const auto& m : now.members)
        if (std::none_of(before.members.begin(), before.members.end(),
                         [&](const MemberPrint& b) { return b.name == m.name; }))
            what.push_back("its file " + m.name + " is new");
    std::string text;
    for (const auto& w : what)
        text += (text.empty() ? "" : ", ") + w;
    return text;
}

} // namespace qm::paradox
