#include "replace/backup_space.h"

#include "paradox/family_swap.h"
#include "platform/files.h"

#include <cstdio>
#include <set>

namespace qm {

namespace fs = std::filesystem;

namespace {

struct Disk {
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t free = 0;
};

// The disk a path is on, or would be on once made: that of its nearest folder that exists.
Disk diskOf(fs::path path) {
    Disk disk;
    path = fs::absolute(path).lexically_normal();
    platform::FileStatus st;
    while (platform::status(path, st) != 0) {
        if (path == path.parent_path())
            return disk;
        path = path.parent_path();
    }
    disk.device = st.device;
    disk.known = platform::freeSpace(path, disk.free) == 0;
    return disk;
}

// The new files may come out larger than the old (longer texts in memo blocks), and the disk
// should not be left with nothing at all.
std::uint64_t withMargin(std::uint64_t bytes) {
    return bytes + bytes / 10 + (std::uint64_t{1} << 20);
}

std::string shortOfRoom(const std::string& where, const std::string& what, std::uint64_t need,
                        std::uint64_t free) {
    return "there is not enough room on the disk of " + where + ": " + what + " need about " +
           sizeText(need) + " with a margin, and " + sizeText(free) +
           " are free; remove old backups (quillmend prune, or Backups... in the main window) "
           "or make room, and run again";
}

} // namespace

std::uint64_t folderBytes(const fs::path& folder) {
    std::uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        platform::FileStatus st;
        if (platform::linkStatus(it->path(), st) == 0 && st.regular)
            total += st.size;
    }
    return total;
}

std::uint64_t runBackupBytes(const RunRecord& run) {
    std::uint64_t total = 0;
    std::set<fs::path> counted;
    for (const auto& t : run.tables)
        if (counted.insert(t.backupFolder).second)
            total += folderBytes(t.backupFolder);
    return total;
}

std::string sizeText(std::uint64_t bytes) {
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    for (; value >= 1024 && unit + 1 < std::size(units); ++unit)
        value /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string backupSpaceText(const RunResult& result, const fs::path& backupRoot) {
    if (result.end != RunResult::End::Completed && result.end != RunResult::End::Cancelled &&
        result.end != RunResult::End::Failed)
        return {};
    std::set<fs::path> folders;
    for (const auto& t : result.tables)
        if (t.writeBack == TableOutcome::WriteBack::Written && !t.backupFolder.empty())
            folders.insert(t.backupFolder);
    std::uint64_t run = 0;
    for (const auto& f : folders)
        run += folderBytes(f);
    return "Backups: the old files of this run take " + sizeText(run) + "; all backups now take " +
           sizeText(folderBytes(backupRoot)) + " in " + backupRoot.string() + ".";
}

std::string roomToWriteBack(const fs::path& db, const fs::path& backupRoot) {
    std::uint64_t family = 0;
    for (const auto& member : paradox::familyFiles(db)) {
        platform::FileStatus st;
        if (platform::status(member, st) == 0)
            family += st.size;
    }
    const std::uint64_t need = withMargin(family);
    const Disk table = diskOf(db.parent_path()), backups = diskOf(backupRoot);
    if (table.known && table.free < need)
        return shortOfRoom(db.parent_path().string(), "the table's new files", need, table.free);
    if (backups.known && table.known && backups.device != table.device && backups.free < need)
        return shortOfRoom(backupRoot.string() + " (the backup folder)", "the table's old files",
                           need, backups.free);
    return {};
}

} // namespace qm
