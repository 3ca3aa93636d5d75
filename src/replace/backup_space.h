#pragma once

// What the safety net costs and whether it has room: the bytes the backups of a run and of all
// runs take, and, before a table is written back, whether the disks of the table and of the
// backups can take its new and old files.

#include "replace/run_history.h"
#include "replace/run_types.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm {

// The bytes of the regular files under folder; links are neither followed nor counted. 0 for a
// folder that is gone.
std::uint64_t folderBytes(const std::filesystem::path& folder);

// The bytes a run's backup folders take.
std::uint64_t runBackupBytes(const RunRecord& run);

// "812 bytes", "12.4 KiB", "136.0 MiB".
std::string sizeText(std::uint64_t bytes);

// What the end of a run says about its backups: what the old files of the tables it wrote back
// take, and what every backup under backupRoot takes now. Empty for a run that did no work.
std::string backupSpaceText(const RunResult& result, const std::filesystem::path& backupRoot);

// Empty when the disks of db's folder and of backupRoot have room for the write-back of db's
// family: its new files beside it, its old files in the backup folder (no more room when both
// lie on one disk, where the old files are moved, not copied), each with a margin. Otherwise
// why not: how much is needed, where, and that pruning old backups makes room. A disk whose
// room cannot be told is taken to have it: the write-back's own handling of a full disk stays.
std::string roomToWriteBack(const std::filesystem::path& db,
                            const std::filesystem::path& backupRoot);

} // namespace qm
