#pragma once

// The lock that tells a live swap's journal from one whose process is gone. The swap holds it
// from before its journal exists until after the journal is removed; recovery takes it before
// it touches a journal, and so never acts behind the back of the process still working on it.
// Private to src/paradox.

#include "platform/files.h"

#include <filesystem>

namespace qm::paradox::detail {

class OwnerLock {
  public:
    OwnerLock() = default;
    ~OwnerLock() { release(); }
    OwnerLock(const OwnerLock&) = delete;
    OwnerLock& operator=(const OwnerLock&) = delete;

    // Creates and locks the file. Recovery may unlink an owner file it could lock while no
    // journal stood beside it; a lock taken on a file unlinked meanwhile protects nothing, so
    // the lock is taken again on the file now at that name.
    void create(const std::filesystem::path& path);

    // Takes the lock of an existing owner file without waiting. False when another process
    // holds it (or there is no such file: then absent is set).
    bool tryTake(const std::filesystem::path& path, bool& absent);

    // Unlinked while still held, so nobody takes a lock on a file about to vanish.
    void removeAndRelease();

    void release();

  private:
    platform::File file_;
    std::filesystem::path path_;
};

// pending/<id>.swap (and its <id>.swap.tmp) belong to pending/<id>.owner.
std::filesystem::path ownerFileOf(const std::filesystem::path& journalOrTemp);

} // namespace qm::paradox::detail
