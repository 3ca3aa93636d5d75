#pragma once

// quillmend prune: the backups of older runs removed on request.

namespace qm::cli {

struct Arguments;

// Removes (or, with --dry-run, names) the backups of the runs --keep or --older-than leaves out,
// and prints what went and the room given back. Status 0 when every run chosen went, 1 when one
// had to stay (the report says why), 2 when the backup folder cannot be used, 3 when another run
// or undo is in progress; 2 and 3 remove nothing.
int pruneRecordedRuns(const Arguments& args);

} // namespace qm::cli
