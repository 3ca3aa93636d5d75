#pragma once

// What the write-back of one working copy came to, as the export, the write-back session and the
// replace run all pass it on.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qm::db {

// Values that the Paradox field could not take back: they keep their old value.
struct ValueLeftOut {
    std::string column;
    std::string reason;
    long long count = 0;
};

struct WriteBack {
    enum class State {
        Written,    // changed values are in the table's files; the old files are in backupFolder
                    // (reason, when given, says what still waits: old files not yet moved there)
        Unchanged,  // no value differs: not a byte of the table was touched
        NotWritten, // the table keeps its old files; reason says why
    };
    State state = State::NotWritten;
    long long valuesChanged = 0;
    std::vector<ValueLeftOut> leftOut;
    std::string reason;
    std::filesystem::path backupFolder;
};

inline WriteBack notWritten(std::string reason) {
    WriteBack w;
    w.state = WriteBack::State::NotWritten;
    w.reason = std::move(reason);
    return w;
}

} // namespace qm::db
