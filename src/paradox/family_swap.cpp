#include "paradox/family_swap.h"

#include "paradox/ascii.h"
#include "paradox/durable_files.h"
#include "paradox/file_access.h"
#include "paradox/owner_lock.h"
#include "paradox/share_locks.h"
#include "paradox/swap_journal.h"
#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <utility>

namespace fs = std::filesystem;

namespace qm::paradox {

using detail::fsyncPath;
using detail::Journal;
using detail::JournalEntry;
using detail::ownerFileOf;
using detail::OwnerLock;
using detail::present;
using detail::readJournal;
using detail::removeFile;
using detail::renameFile;
using detail::rollBack;
using detail::rollForward;
using detail::swapStep;
using detail::writeJournal;

namespace {

// A new file takes the owner, group and mode of the member it replaces, or of the table's .db for
// a member the table did not have; a new table keeps what the folder gives it.
void takeOverAccess(const Journal& j, const JournalEntry& e) {
    platform::FileStatus old;
    if (platform::status(j.folder / e.finalName, old) != 0 &&
        platform::status(j.folder / j.table, old) != 0)
        return;
    keepOwnerAndMode(j.folder / e.temp, old);
}

std::string stamp() {
    std::time_t t = std::time(nullptr);
    const std::tm tm = platform::localTime(t);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    static std::atomic<int> serial{0};
    return std::string(buf) + "-" + std::to_string(platform::processId()) + "-" +
           std::to_string(++serial);
}

// A part of every temporary name that nobody can foresee: whoever else may write the folder
// cannot have a link waiting under the name, and the name's creation refuses one anyway.
std::string unguessable() {
    static const char digits[] = "0123456789abcdef";
    std::uint64_t n = platform::randomNumber();
    std::string s(16, '0');
    for (char& c : s) {
        c = digits[n & 15];
        n >>= 4;
    }
    return s;
}

// The new file is still one this process could have written: a regular file with no other
// name, not a link or a second name of another file put in its place by another user of the
// folder.
void checkOwnNewFile(const fs::path& temp) {
    platform::FileStatus st;
    if (const int e = platform::linkStatus(temp, st))
        throw FileError("The new file \"" + temp.string() + "\" was not written.", e);
    if (!st.regular || st.links != 1)
        throw FileError("The new file \"" + temp.string() +
                            "\" is no longer the file this run wrote; someone replaced it.",
                        EEXIST);
}

std::function<void(const PreparedSwap&)>& swapWatcher() {
    thread_local std::function<void(const PreparedSwap&)> watcher;
    return watcher;
}

PreparedSwap preparedSwap(const Journal& j) {
    PreparedSwap p;
    p.db = j.folder / j.table;
    p.backupFolder = j.backupDir;
    for (const auto& e : j.entries) {
        if (!e.aside.empty())
            p.leaving.emplace_back(e.finalName, j.folder / e.finalName);
        if (!e.temp.empty())
            p.after.emplace_back(e.finalName, j.folder / e.temp);
    }
    for (const auto& f : familyFiles(p.db)) {
        const std::string name = f.filename().string();
        if (std::none_of(j.entries.begin(), j.entries.end(),
                         [&](const JournalEntry& e) { return e.finalName == name; }))
            p.after.emplace_back(name, f);
    }
    return p;
}

bool inside(const fs::path& child, const fs::path& parent) {
    auto c = fs::weakly_canonical(child), p = fs::weakly_canonical(parent);
    auto ci = c.begin(), pi = p.begin();
    for (; pi != p.end(); ++pi, ++ci) {
        if (pi->empty())
            continue;
        if (ci == c.end() || *ci != *pi)
            return false;
    }
    return true;
}

} // namespace

fs::path defaultBackupRoot() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    fs::path base;
    if (xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = fs::path(home) / ".local" / "share";
    else
        base = fs::temp_directory_path();
    return base / "Quillmend" / "backups";
}

SwapWatch::SwapWatch(std::function<void(const PreparedSwap&)> watcher)
    : previous_(std::exchange(swapWatcher(), std::move(watcher))) {}

SwapWatch::~SwapWatch() {
    swapWatcher() = std::move(previous_);
}

struct FamilySwap::Impl {
    OwnerLock owner;
    fs::path journalPath;
    Journal j;
    std::string id;
    std::string token; // in every temporary name, see unguessable()
    bool retireRest = false;
    bool done = false;
    std::optional<FamilyPrint> expected;

    // Throws TableChangedError when the family (its members aside under their temporary names
    // counted as themselves) is no longer the expected one.
    void checkUnchanged(bool content) const {
        if (!expected)
            return;
        std::vector<std::pair<std::string, fs::path>> files;
        for (const auto& e : j.entries)
            if (!e.aside.empty() && present(j.folder / e.aside))
                files.emplace_back(e.finalName, j.folder / e.aside);
        for (const auto& p : familyFiles(j.folder / j.table)) {
            const std::string name = p.filename().string();
            if (std::none_of(files.begin(), files.end(),
                             [&](const auto& f) { return f.first == name; }))
                files.emplace_back(name, p);
        }
        if (std::string diff = familyDifference(*expected, printFiles(files, content));
            !diff.empty())
            throw TableChangedError(diff);
    }

    void dropJournal() {
        fs::path tmp = journalPath;
        tmp += ".tmp";
        removeFile(tmp);
        removeFile(journalPath);
        owner.removeAndRelease();
    }

    std::string finalNameFor(const std::string& ext) const {
        const fs::path db = j.folder / j.table;
        const std::string want = asciiLower(db.stem().string() + ext);
        for (const auto& p : familyFiles(db))
            if (asciiLower(p.filename().string()) == want)
                return p.filename().string();
        std::string dbExt = db.extension().string();
        bool upper = dbExt.size() >= 2 && dbExt[1] >= 'A' && dbExt[1] <= 'Z';
        std::string e = ext;
        e = upper ? asciiUpper(e) : asciiLower(e);
        return db.stem().string() + e;
    }

    // The steps of commit().
    void readyNewFiles();
    void nameOldFiles();
    void prepare();
    void exchangeFiles();
    void undo();
    void finish();
};

FamilySwap::FamilySwap(const fs::path& db, const fs::path& backupRoot)
    : impl_(std::make_unique<Impl>()) {
    auto& m = *impl_;
    fs::path folder = db.parent_path().empty() ? fs::current_path() : db.parent_path();
    folder = fs::absolute(folder);
    if (!fs::is_directory(folder))
        throw FileError("The folder \"" + folder.string() + "\" does not exist.", ENOENT);
    const fs::path root = fs::absolute(backupRoot);
    if (inside(root, folder))
        throw FileError("The backup folder \"" + root.string() +
                            "\" lies inside the table's folder; choose one outside it.",
                        EINVAL);
    // Old files and journals name and hold other people's data: the user's eyes only.
    makePrivateFolder(root);
    makePrivateFolder(root / "pending");
    m.id = stamp();
    m.token = unguessable();
    m.j.state = "writing";
    m.j.folder = folder;
    m.j.table = db.filename().string();
    m.j.backupDir = root / m.id;
    m.journalPath = root / "pending" / (m.id + ".swap");
    m.owner.create(ownerFileOf(m.journalPath));
    // The journal is first written by newFile(), before the first file it names exists: a swap
    // that made nothing has nothing to recover, and a flush fewer per table.
}

FamilySwap::~FamilySwap() {
    auto& m = *impl_;
    if (m.done)
        return;
    try {
        if (!rollBack(m.j).empty())
            return; // the journal stays, and says what was left as it is
        m.dropJournal();
    } catch (...) {
        // The journal stays; the next start finishes the clean-up.
    }
}

fs::path FamilySwap::finalPath(const std::string& extension) const {
    return impl_->j.folder / impl_->finalNameFor(extension);
}

fs::path FamilySwap::newFile(const std::string& extension) {
    auto& m = *impl_;
    if (m.done || m.j.state != "writing")
        throw WriteError("The swap has already been carried out.");
    const std::string finalName = m.finalNameFor(extension);
    for (const auto& e : m.j.entries)
        if (asciiLower(e.finalName) == asciiLower(finalName))
            return m.j.folder / e.temp;
    JournalEntry e{finalName, "~qm" + m.id + "-" + m.token + "-" + finalName + ".new", "", {}, {}};
    m.j.entries.push_back(e);
    writeJournal(m.journalPath, m.j);
    return m.j.folder / e.temp;
}

fs::path FamilySwap::copyIn(const std::string& extension, const fs::path& from) {
    const fs::path temp = newFile(extension);
    detail::copyFileDurably(from, temp);
    return temp;
}

FamilyPaths FamilySwap::newFamily(bool withMemo, bool withIndex) {
    FamilyPaths p;
    p.db = newFile(".db");
    if (withMemo)
        p.mb = newFile(".mb");
    if (withIndex)
        p.px = newFile(".px");
    return p;
}

void FamilySwap::expectFamily(FamilyPrint print) {
    impl_->expected = std::move(print);
}

void FamilySwap::retireRestOfFamily() {
    impl_->retireRest = true;
}

// Every new file is ours, readable as the old one is, and on disk.
void FamilySwap::Impl::readyNewFiles() {
    for (const auto& e : j.entries) {
        const fs::path temp = j.folder / e.temp;
        checkOwnNewFile(temp);
        takeOverAccess(j, e);
        fsyncPath(temp, false);
    }
}

// The temporary name each old file moves aside to, and which files the swap moves.
void FamilySwap::Impl::nameOldFiles() {
    if (retireRest) {
        const fs::path db = j.folder / j.table;
        for (const auto& p : familyFiles(db)) {
            const std::string name = p.filename().string();
            bool replaced = std::any_of(j.entries.begin(), j.entries.end(),
                                        [&](const JournalEntry& e) { return e.finalName == name; });
            if (!replaced)
                j.entries.push_back({name, "", "", {}, {}});
        }
    }
    for (auto& e : j.entries) {
        platform::FileStatus st;
        if (platform::linkStatus(j.folder / e.finalName, st) == 0 && st.symlink)
            // Renamed aside, the link would make way for a regular file: the table would leave
            // the file the link led to. realTableFile() gives the files to swap.
            throw FileError("The file \"" + (j.folder / e.finalName).string() +
                                "\" is a symbolic link; it is not replaced by a file.",
                            EXDEV);
        if (present(j.folder / e.finalName))
            e.aside = "~qm" + id + "-" + token + "-" + e.finalName + ".old";
    }
    for (auto& e : j.entries) {
        e.newId = e.temp.empty() ? std::string() : detail::fileIdentity(j.folder / e.temp);
        e.oldId = e.aside.empty() ? std::string() : detail::fileIdentity(j.folder / e.finalName);
    }
}

// The journal says "prepared", the marker stands beside the table, the watcher knows.
void FamilySwap::Impl::prepare() {
    // Noted before it is made, so that whatever moment stops the process, the recovery knows
    // the marker for its own.
    j.marker = "quillmend swap " + id + "-" + token;
    writeJournal(journalPath, j);
    detail::makeSwapMarker(j);
    if (swapWatcher())
        swapWatcher()(preparedSwap(j));
    j.state = "prepared";
    writeJournal(journalPath, j);
}

// The old files aside, the new ones in their place, and the journal "committed".
void FamilySwap::Impl::exchangeFiles() {
    for (const auto& e : j.entries)
        if (!e.aside.empty()) {
            renameFile(j.folder / e.finalName, j.folder / e.aside);
            swapStep();
        }
    // A writer that ignored the locks may have struck between the check and the renames.
    checkUnchanged(true);
    for (const auto& e : j.entries)
        if (!e.temp.empty()) {
            renameFile(j.folder / e.temp, j.folder / e.finalName);
            swapStep();
        }
    fsyncPath(j.folder, true);
    swapStep();
    Journal next = j;
    next.state = "committed";
    writeJournal(journalPath, next);
    j.state = "committed";
}

// After a failure before "committed": the old files go back; a journal that cannot be acted
// upon stays for recoverPendingSwaps.
void FamilySwap::Impl::undo() {
    try {
        if (const auto left = rollBack(j); !left.empty())
            throw FileError(left.front(), EBUSY);
        dropJournal();
        done = true;
    } catch (...) {
        done = true;
        owner.release();
    }
}

// The old files leave for the backup folder, and the journal goes.
void FamilySwap::Impl::finish() {
    try {
        if (const auto left = rollForward(j); !left.empty())
            throw FileError(left.front(), EBUSY);
        removeFile(journalPath);
        owner.removeAndRelease();
        swapStep();
    } catch (const std::exception& e) {
        owner.release(); // the next start (or another run) may finish it now
        const auto* file = dynamic_cast<const FileError*>(&e);
        throw ReplacedWithOldFilesLeft(
            std::string("The table was replaced, but its old files could not all be moved to the "
                        "backup folder; they stay in the table's folder under temporary names "
                        "until the next start. ") +
                e.what(),
            file ? file->errnum() : EIO, j.backupDir);
    }
}

fs::path FamilySwap::commit() {
    auto& m = *impl_;
    if (m.done || m.j.state != "writing")
        throw WriteError("The swap has already been carried out.");
    // Held until the old files are gone from the folder: a Paradox program that honours them
    // waits instead of opening a table whose files are changing hands.
    std::optional<ShareLocks> locks;
    try {
        m.readyNewFiles();
        swapStep();
        locks.emplace(m.j.folder / m.j.table);
        // Sizes and times now; every byte once the old files are aside, where nothing but a
        // program that already holds them open can still change them.
        m.checkUnchanged(false);
        m.nameOldFiles();
        m.prepare();
        m.exchangeFiles();
    } catch (...) {
        m.undo();
        throw;
    }
    m.done = true;
    m.finish();
    bool any = std::any_of(m.j.entries.begin(), m.j.entries.end(),
                           [](const JournalEntry& e) { return !e.aside.empty(); });
    return any ? m.j.backupDir : fs::path();
}

fs::path replaceTable(const fs::path& db, TableSpec spec,
                      const std::function<void(TableWriter&)>& fill, const fs::path& backupRoot,
                      const FamilyPrint* expected) {
    FamilySwap swap(db, backupRoot);
    if (expected)
        swap.expectFamily(*expected);
    if (spec.tableName.empty())
        spec.tableName = swap.finalPath(".db").filename().string();
    const bool memo = std::any_of(spec.fields.begin(), spec.fields.end(),
                                  [](const FieldSpec& f) { return isBlobType(f.type); });
    TableWriter writer(swap.newFamily(memo, spec.keyFields > 0), spec);
    fill(writer);
    writer.finish();
    swap.retireRestOfFamily();
    return swap.commit();
}

namespace {

// A journal whose owner file is locked belongs to a swap going on in a live process. Without an
// owner file it comes from a process that never made one.
bool takeOwner(const fs::path& entry, OwnerLock& lock) {
    bool absent = false;
    return lock.tryTake(ownerFileOf(entry), absent) || absent;
}

// Finishes or undoes the swap of one journal; what was done, or nothing when the journal is
// another process's at work (or gone meanwhile).
std::optional<std::string> recoverSwap(const fs::path& path, const fs::path& pending) {
    OwnerLock lock;
    if (!takeOwner(path, lock) || !present(path))
        return std::nullopt; // still at work, or finished while we waited for its lock
    Journal j;
    if (!readJournal(path, j))
        return "Unreadable swap journal \"" + path.string() + "\" left in place.";
    const std::string table = (j.folder / j.table).string();
    const bool forward = j.state == "committed";
    const auto left = forward ? rollForward(j) : rollBack(j);
    std::string line;
    if (!left.empty()) {
        // Another run or program changed the table since: its work is not undone.
        line = "Left \"" + table + "\" as it is, because something changed it " +
               "after an interrupted change:";
        for (const auto& l : left)
            line += " " + l + ".";
    } else if (forward) {
        line = "Finished replacing \"" + table + "\"; its old files are in \"" +
               j.backupDir.string() + "\".";
    } else {
        line = "Restored \"" + table + "\" as it was before an interrupted change.";
    }
    removeFile(path);
    fsyncPath(pending, true);
    lock.removeAndRelease();
    return line;
}

} // namespace

std::vector<std::string> recoverPendingSwaps(const fs::path& backupRoot) {
    std::vector<std::string> report;
    const fs::path pending = backupRoot / "pending";
    std::error_code ec;
    if (!fs::is_directory(pending, ec))
        return report;
    std::vector<fs::path> journals, temps, owners;
    for (const auto& e : fs::directory_iterator(pending, ec)) {
        const auto ext = e.path().extension();
        if (ext == ".swap")
            journals.push_back(e.path());
        else if (ext == ".tmp")
            temps.push_back(e.path());
        else if (ext == ".owner")
            owners.push_back(e.path());
    }
    std::sort(journals.begin(), journals.end());
    for (const auto& path : temps) {
        OwnerLock lock;
        if (takeOwner(path, lock))
            removeFile(path); // a journal write that never completed; its rename never came
    }
    for (const auto& path : journals)
        if (auto line = recoverSwap(path, pending))
            report.push_back(std::move(*line));
    // Owner files of swaps that ended between their journal's removal and their own.
    for (const auto& path : owners) {
        fs::path journal = path;
        journal.replace_extension(".swap");
        OwnerLock lock;
        bool absent = false;
        if (!present(journal) && lock.tryTake(path, absent) && !present(journal))
            lock.removeAndRelease();
    }
    return report;
}

} // namespace qm::paradox
