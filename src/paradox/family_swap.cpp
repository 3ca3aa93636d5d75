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
#include <ctime>
#include <optional>

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

struct FamilySwap::Impl {
    OwnerLock owner;
    fs::path journalPath;
    Journal j;
    std::string id;
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
    m.j.state = "writing";
    m.j.folder = folder;
    m.j.table = db.filename().string();
    m.j.backupDir = root / m.id;
    m.journalPath = root / "pending" / (m.id + ".swap");
    m.owner.create(ownerFileOf(m.journalPath));
    writeJournal(m.journalPath, m.j);
}

FamilySwap::~FamilySwap() {
    auto& m = *impl_;
    if (m.done)
        return;
    try {
        rollBack(m.j);
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
    JournalEntry e{finalName, "~qm" + m.id + "-" + finalName + ".new", ""};
    m.j.entries.push_back(e);
    writeJournal(m.journalPath, m.j);
    return m.j.folder / e.temp;
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

fs::path FamilySwap::commit() {
    auto& m = *impl_;
    if (m.done || m.j.state != "writing")
        throw WriteError("The swap has already been carried out.");
    Journal& j = m.j;
    // Held until the old files are gone from the folder: a Paradox program that honours them
    // waits instead of opening a table whose files are changing hands.
    std::optional<ShareLocks> locks;
    try {
        for (const auto& e : j.entries) {
            const fs::path temp = j.folder / e.temp;
            if (!present(temp))
                throw FileError("The new file \"" + temp.string() + "\" was not written.", ENOENT);
            takeOverAccess(j, e);
            fsyncPath(temp, false);
        }
        swapStep();
        locks.emplace(j.folder / j.table);
        // Sizes and times now; every byte once the old files are aside, where nothing but a
        // program that already holds them open can still change them.
        m.checkUnchanged(false);
        if (m.retireRest) {
            const fs::path db = j.folder / j.table;
            for (const auto& p : familyFiles(db)) {
                const std::string name = p.filename().string();
                bool replaced =
                    std::any_of(j.entries.begin(), j.entries.end(),
                                [&](const JournalEntry& e) { return e.finalName == name; });
                if (!replaced)
                    j.entries.push_back({name, "", ""});
            }
        }
        for (auto& e : j.entries) {
            platform::FileStatus st;
            if (platform::linkStatus(j.folder / e.finalName, st) == 0 && st.symlink)
                // Renamed aside, the link would make way for a regular file: the table would
                // leave the file the link led to. realTableFile() gives the files to swap.
                throw FileError("The file \"" + (j.folder / e.finalName).string() +
                                    "\" is a symbolic link; it is not replaced by a file.",
                                EXDEV);
            if (present(j.folder / e.finalName))
                e.aside = "~qm" + m.id + "-" + e.finalName + ".old";
        }
        j.state = "prepared";
        writeJournal(m.journalPath, j);
        for (const auto& e : j.entries)
            if (!e.aside.empty()) {
                renameFile(j.folder / e.finalName, j.folder / e.aside);
                swapStep();
            }
        // A writer that ignored the locks may have struck between the check and the renames.
        m.checkUnchanged(true);
        for (const auto& e : j.entries)
            if (!e.temp.empty()) {
                renameFile(j.folder / e.temp, j.folder / e.finalName);
                swapStep();
            }
        fsyncPath(j.folder, true);
        swapStep();
        Journal next = j;
        next.state = "committed";
        writeJournal(m.journalPath, next);
        j.state = "committed";
    } catch (...) {
        try {
            rollBack(j);
            m.dropJournal();
            m.done = true;
        } catch (...) {
            m.done = true; // the journal is left for recoverPendingSwaps
            m.owner.release();
        }
        throw;
    }
    m.done = true;
    try {
        rollForward(j);
        removeFile(m.journalPath);
        m.owner.removeAndRelease();
        swapStep();
    } catch (const std::exception& e) {
        m.owner.release(); // the next start (or another run) may finish it now
        const auto* file = dynamic_cast<const FileError*>(&e);
        throw ReplacedWithOldFilesLeft(
            std::string("The table was replaced, but its old files could not all be moved to the "
                        "backup folder; they stay in the table's folder under temporary names "
                        "until the next start. ") +
                e.what(),
            file ? file->errnum() : EIO, j.backupDir);
    }
    bool any = std::any_of(j.entries.begin(), j.entries.end(),
                           [](const JournalEntry& e) { return !e.aside.empty(); });
    return any ? j.backupDir : fs::path();
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
    // A journal whose owner file is locked belongs to a swap going on in a live process.
    // Without an owner file it comes from a process that never made one.
    const auto takeOwner = [](const fs::path& entry, OwnerLock& lock) {
        bool absent = false;
        return lock.tryTake(ownerFileOf(entry), absent) || absent;
    };
    for (const auto& path : temps) {
        OwnerLock lock;
        if (takeOwner(path, lock))
            removeFile(path); // a journal write that never completed; its rename never came
    }
    for (const auto& path : journals) {
        OwnerLock lock;
        if (!takeOwner(path, lock) || !present(path))
            continue; // still at work, or finished while we waited for its lock
        Journal j;
        if (!readJournal(path, j)) {
            report.push_back("Unreadable swap journal \"" + path.string() + "\" left in place.");
            continue;
        }
        const std::string table = (j.folder / j.table).string();
        if (j.state == "committed") {
            rollForward(j);
            report.push_back("Finished replacing \"" + table + "\"; its old files are in \"" +
                             j.backupDir.string() + "\".");
        } else {
            rollBack(j);
            report.push_back("Restored \"" + table + "\" as it was before an interrupted change.");
        }
        removeFile(path);
        fsyncPath(pending, true);
        lock.removeAndRelease();
    }
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
