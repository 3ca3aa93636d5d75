#include "db/catalogue.h"

#include "app/common.h"
#include "app/error_report.h"

#include <algorithm>
#include <filesystem>

namespace qm {

namespace {
inline constexpr const char* kTablePattern = "*.db";

// The folder itself, not a link to it: rows name where the table really lives.
std::string realFolder(const std::string& folder) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(folder, ec);
    return ec ? folder : real.string();
}
} // namespace

std::string TableNameFromFile(const std::string& fileName) {
    std::string upper = upperCase(fileName);
    std::string out;
    out.reserve(upper.size());
    for (std::size_t i = 0; i < upper.size();) {
        if (upper.compare(i, 3, ".DB") == 0) {
            i += 3;
        } else {
            out += upper[i];
            ++i;
        }
    }
    return out;
}

void AddTablesToParadoxListbox(UserInterface& ui, const CurrentFolder& current, TableList& list,
                               const FolderSystem& fs) {
    Trap trap(ui, where::paradox("AddTablesToParadoxListbox"));
    std::string chosen;
    trap.step(100, [&] { chosen = current.get(); });
    trap.step(102, [&] { list.clear(); });
    // A failed test counts as true, so an unreadable folder field also ends here.
    if (trap.test(104, [&] { return chosen.empty(); }))
        return;
    std::vector<std::string> folders;
    trap.step(106, [&] { folders = {chosen + kSeparator}; });
    trap.step(108, [&] { GetSubDirectories2016(ui, folders, true, fs); });
    trap.line(110);
    std::vector<std::string> seen; // real folders listed already
    for (const std::string& listed : folders) {
        std::string folder;
        trap.step(112, [&] {
            folder = listed;
            if (!folder.empty() && folder.back() == kSeparator)
                folder.pop_back();
        });
        // A folder reached again through a link is the same folder: listed once, by its name.
        folder = realFolder(folder);
        if (std::find(seen.begin(), seen.end(), folder) != seen.end())
            continue;
        seen.push_back(folder);
        FileNameSequence files;
        trap.step(114, [&] { files = GetFilesInFolder(folder, kTablePattern, fs); });
        trap.line(116);
        for (int i = 1; i <= files.upperBound(); ++i) {
            const std::string& file = files[i];
            if (trap.test(118, [&] { return !file.empty() && file[0] == '~'; }))
                continue;
            std::string name;
            trap.step(120, [&] { name = folder + kSeparator + file; });
            trap.step(122, [&] { name = FileNameFromPath(name); });
            trap.step(124, [&] { name = upperCase(name); });
            trap.step(126, [&] { name = TableNameFromFile(name); });
            trap.step(128, [&] { list.appendUnchecked(TableRow{name, folder, file}); });
            trap.line(130);
        }
    }
}

bool FolderHasParadoxTables(const CurrentFolder& current, const FolderSystem& fs) {
    std::string chosen = current.get();
    if (chosen.empty())
        return false;
    return GetFilesInFolder(chosen, kTablePattern, fs).upperBound() >= 1;
}

} // namespace qm
