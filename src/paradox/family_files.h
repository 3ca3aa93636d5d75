#pragma once

// Which files make up a table's family, found by name in its folder; and where a swap replaces
// them when they are symbolic links.

#include <filesystem>
#include <vector>

namespace qm::paradox {

// The files of the table family of db present in its folder (same name, any case; extensions
// .db .mb .px .val .tv .fam .xNN .yNN .xgN .ygN), names exactly as they are on disk.
std::vector<std::filesystem::path> familyFiles(const std::filesystem::path& db);

// The table file whose family a swap may replace for db. A family whose files are symbolic
// links is replaced where the links lead, so that the links stay links to the new files: that is
// possible when every member is a link to the file of the same name in one other folder, whose
// family is the same. The result is then the real .db; otherwise db itself. Throws FileError,
// saying why, for a family whose links cannot be followed so (some members links, others not;
// links into several folders; a link that leads nowhere).
std::filesystem::path realTableFile(const std::filesystem::path& db);

} // namespace qm::paradox
