#pragma once

// The digests a run record keeps of a table's files. This build writes XXH3-128, "xxh3:" and 32
// hex digits (paradox/content_digest.h says why a fast digest is enough); records written by
// earlier builds hold SHA-256, 64 hex digits. Each is checked with its own algorithm, so the runs
// of an earlier build still list and undo.

#include <filesystem>
#include <string>

namespace qm {

// The digest of the file's content as a new record keeps it. Throws std::exception when the
// file cannot be read.
std::string recordDigestOfFile(const std::filesystem::path& file);

// True when the text is a digest of a kind this build can check.
bool knownRecordDigest(const std::string& digest);

// True when the file's content has the recorded digest, whatever its kind; a digest of an
// unknown kind matches nothing. Throws std::exception when the file cannot be read.
bool fileHasDigest(const std::filesystem::path& file, const std::string& digest);

} // namespace qm
