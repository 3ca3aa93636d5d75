#pragma once

// What a run tells whoever watches it from another thread, and how that watcher stops it.
//
// A run stops only at a safe point: before a table is begun, while its working copy is made, or
// while its records are searched. Until its write-back starts a table's files are untouched, so a
// stop there leaves it exactly as it was; a write-back once started is carried out, so the table
// is then exactly what the run meant. Nothing here knows about windows or threads beyond the
// atomic flag.

#include <atomic>
#include <cstddef>
#include <string>

namespace qm {

class CancelToken {
  public:
    void request() { requested_.store(true, std::memory_order_relaxed); }
    bool requested() const { return requested_.load(std::memory_order_relaxed); }
    void reset() { requested_.store(false, std::memory_order_relaxed); }

  private:
    std::atomic<bool> requested_{false};
};

// Thrown at a safe point when the token asks the run to stop. Deliberately no std::exception:
// the traps of the import catch those and would report it as a failure and go on.
struct RunCancelled {};

struct RunProgress {
    enum class Phase {
        Copying,     // the table is copied into the working database
        Searching,   // its records are searched and its values changed in the copy
        WritingBack, // the changed values go into the table's files
    };
    Phase phase = Phase::Copying;
    std::size_t table = 0;  // 1 for the first ticked table
    std::size_t tables = 0; // ticked tables of the run
    std::string name;
    std::string folder;
    long long recordsDone = 0;   // of the table, while searching
    long long recordsTotal = 0;  // of the table; 0 until known
    long long hits = 0;          // of the run so far
    long long valuesChanged = 0; // written back (or, in a dry run, that would be) so far
};

// One hit of a find text, as the change log would record it, with the values for a preview.
struct RunHit {
    std::string table;
    std::string folder;
    std::string column;
    long long record = 0; // 1 for the table's first record
    std::string oldValue;
    std::string newValue;
    std::string find;    // the find text that hit
    std::string replace; // and its replace text
    std::string refused; // why the value stays as it was; empty when it would change
};

} // namespace qm
