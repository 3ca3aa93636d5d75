#include "replace/run_context.h"

#include "app/error.h"

namespace qm {

namespace {

bool tolerated(long c) {
    return c == code::TooLong || c == code::Malformed || c == code::TypeMismatch ||
           c == code::NoSuchTable || c == code::Unspecified || c == code::ObjectClosed;
}

// Why a tolerated failure left a value alone, in words that group alike refusals.
std::string refusalReason(const Error& e) {
    if (e.code() == code::TypeMismatch)
        return "the column is not a text column, so the database does not compare it with text";
    std::string d = e.description();
    const std::string marker = "cannot take the value '";
    if (auto at = d.find(marker); at != std::string::npos) {
        // "... cannot take the value 'x': why." names the value; the reason alone groups.
        if (auto colon = d.rfind("': "); colon != std::string::npos && colon > at)
            d = d.substr(colon + 3);
    }
    while (!d.empty() && (d.back() == '.' || d.back() == ' '))
        d.pop_back();
    return d;
}

} // namespace

void addLeft(TableOutcome& o, const std::string& column, const std::string& reason, long long n) {
    for (auto& l : o.leftUnchanged)
        if (l.column == column && l.reason == reason) {
            l.count += n;
            return;
        }
    o.leftUnchanged.push_back({column, reason, n});
}

Trap::Disposition RunWatch::onError(const Error& e) {
    if (e.code() == code::Storage && table) {
        if (storageFailure.empty())
            storageFailure = e.description();
        return Trap::Disposition::Resume;
    }
    if (!tolerated(e.code()))
        return Trap::Disposition::Propagate;
    if (inUpdate && updateChanges && !changedEarlier && table && column) {
        updateRefusal = refusalReason(e);
        addLeft(*table, *column, updateRefusal, 1);
    }
    return Trap::Disposition::Resume;
}

bool RunWatch::endedByStorage() {
    if (storageFailure.empty())
        return false;
    table->reason = "the working database failed: " + storageFailure;
    return true;
}

RunProgressTeller::RunProgressTeller(const RunOptions& options, const RunResult& result,
                                     std::size_t tables)
    : options_(options), result_(result) {
    progress_.tables = tables;
}

void RunProgressTeller::beginTable(const TableRow& row) {
    ++progress_.table;
    progress_.name = row.name;
    progress_.folder = row.folder;
    tell(RunProgress::Phase::Copying, 0, 0);
}

void RunProgressTeller::tell(RunProgress::Phase phase, long long done, long long total) {
    if (!options_.onProgress)
        return;
    progress_.phase = phase;
    progress_.recordsDone = done;
    progress_.recordsTotal = total;
    progress_.hits = progress_.valuesChanged = 0;
    for (const auto& t : result_.tables) {
        progress_.hits += t.hits;
        progress_.valuesChanged += t.valuesChanged;
    }
    options_.onProgress(progress_);
}

void RunProgressTeller::searching(const std::string& table, long long done, long long total,
                                  bool force) {
    if (!options_.progress && !options_.onProgress)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < std::chrono::milliseconds(100))
        return;
    lastReport_ = now;
    if (options_.progress)
        options_.progress(table, done, total);
    tell(RunProgress::Phase::Searching, done, total);
}

} // namespace qm
