#include "paradox/family_swap.h"

#include "paradox/file_access.h"
#include "paradox/share_locks.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

std::function<void(int)>& stepHook() {
    static std::function<void(int)> hook;
    return hook;
}
std::atomic<int> stepCounter{0};

void step() {
    int n = stepCounter++;
    if (stepHook())
        stepHook()(n);
}

[[noreturn]] void fail(const std::string& what, const fs::path& p, int e = errno) {
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool present(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

void fsyncPath(const fs::path& p, bool directory) {
    int fd = ::open(p.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        fail("Cannot open", p);
    if (::fsync(fd) != 0 && errno != EINVAL) {
        int e = errno;
        ::close(fd);
        fail("Cannot flush", p, e);
    }
    ::close(fd);
}

void renameFile(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        fail("Cannot rename \"" + from.string() + "\" to", to);
}

void removeFile(const fs::path& p) {
    if (::unlink(p.c_str()) != 0 && errno != ENOENT)
        fail("Cannot remove", p);
}

void copyFileDurably(const fs::path& from, const fs::path& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        fail("Cannot open", from);
    struct stat fromStatus {};
    if (::fstat(in, &fromStatus) != 0) {
        int e = errno;
        ::close(in);
        fail("Cannot read the status of", from, e);
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        int e = errno;
        ::close(in);
        fail("Cannot create", to, e);
    }
    // The copy in the backup folder keeps the old file's mode, as a rename would.
    if (::fchmod(out, fromStatus.st_mode & 07777) != 0) {
        int e = errno;
        ::close(in);
        ::close(out);
        fail("Cannot set the permissions of", to, e);
    }
    std::vector<char> buf(1 << 20);
    for (;;) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(in);
            ::close(out);
            fail("Cannot read", from, e);
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                int e = errno;
                ::close(in);
                ::close(out);
                fail("Cannot write", to, e);
            }
            done += w;
        }
    }
    ::close(in);
    if (::fsync(out) != 0) {
        int e = errno;
        ::close(out);
        fail("Cannot flush", to, e);
    }
    if (::close(out) != 0)
        fail("Cannot close", to);
}

// A file leaves the Paradox folder: renamed when the backup folder is on the same file system,
// else copied, flushed and only then removed from the folder.
void moveToBackup(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return;
    if (errno != EXDEV)
        fail("Cannot move \"" + from.string() + "\" to", to);
    fs::path part = to;
    part += ".part";
    copyFileDurably(from, part);
    renameFile(part, to);
    fsyncPath(to.parent_path(), true);
    removeFile(from);
}

std::string hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

bool unhex(const std::string& h, std::string& out) {
    out.clear();
    if (h == "-")
        return true;
    if (h.size() % 2)
        return false;
    for (std::size_t i = 0; i < h.size(); i += 2) {
        auto v = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        int a = v(h[i]), b = v(h[i + 1]);
        if (a < 0 || b < 0)
            return false;
        out += static_cast<char>(a << 4 | b);
    }
    return true;
}

bool isFamilyExtension(const std::string& extLower) {
    static const char* fixed[] = {".db", ".mb", ".px", ".val", ".tv", ".fam"};
    for (const char* f : fixed)
        if (extLower == f)
            return true;
    auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (extLower.size() == 4 && (extLower[1] == 'x' || extLower[1] == 'y'))
        return (isHex(extLower[2]) && isHex(extLower[3])) ||
               (extLower[2] == 'g' && isHex(extLower[3]));
    return false;
}

struct Entry {
    std::string finalName;
    std::string temp;  // empty: no new file
    std::string aside; // empty: no old file
};

struct Journal {
    std::string state; // writing, prepared, committed
    fs::path folder;
    std::string table;
    fs::path backupDir;
    std::vector<Entry> entries;
};

void writeJournal(const fs::path& path, const Journal& j) {
    std::ostringstream s;
    s << "quillmend-family-swap 1\n"
      << "state " << j.state << "\n"
      << "folder " << hex(j.folder.string()) << "\n"
      << "table " << hex(j.table) << "\n"
      << "backup " << hex(j.backupDir.string()) << "\n";
    for (const auto& e : j.entries)
        s << "entry " << hex(e.finalName) << " " << hex(e.temp) << " " << hex(e.aside) << "\n";
    s << "end\n";
    const std::string text = s.str();
    fs::path tmp = path;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("Cannot write the swap journal", tmp);
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(fd) != 0) {
        int e = errno;
        ::close(fd);
        fail("Cannot write the swap journal", tmp, e);
    }
    ::close(fd);
    step();
    renameFile(tmp, path);
    fsyncPath(path.parent_path(), true);
    step();
}

bool readJournal(const fs::path& path, Journal& j) {
    std::ifstream in(path);
    std::string line, word;
    if (!std::getline(in, line) || line != "quillmend-family-swap 1")
        return false;
    bool ended = false;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        ls >> word;
        std::string a, b, c, x, y, z;
        if (word == "state") {
            ls >> j.state;
        } else if (word == "folder" && (ls >> a) && unhex(a, x)) {
            j.folder = x;
        } else if (word == "table" && (ls >> a) && unhex(a, x)) {
            j.table = x;
        } else if (word == "backup" && (ls >> a) && unhex(a, x)) {
            j.backupDir = x;
        } else if (word == "entry" && (ls >> a >> b >> c) && unhex(a, x) && unhex(b, y) &&
                   unhex(c, z)) {
            j.entries.push_back({x, y, z});
        } else if (word == "end") {
            ended = true;
        } else {
            return false;
        }
    }
    return ended && !j.folder.empty() &&
           (j.state == "writing" || j.state == "prepared" || j.state == "committed");
}

// Undo: the old files go back to their names, the new ones are removed.
void rollBack(const Journal& j) {
    for (const auto& e : j.entries) {
        const fs::path final = j.folder / e.finalName;
        if (!e.aside.empty() && present(j.folder / e.aside)) {
            if (present(final)) {
                removeFile(final); // the new file, already renamed in
                step();
            }
            renameFile(j.folder / e.aside, final);
            step();
        } else if (e.aside.empty() && !e.temp.empty() && present(final) &&
                   !present(j.folder / e.temp) && j.state == "prepared") {
            removeFile(final); // a new member that did not exist before
            step();
        }
        if (!e.temp.empty() && present(j.folder / e.temp)) {
            removeFile(j.folder / e.temp);
            step();
        }
    }
    if (present(j.folder))
        fsyncPath(j.folder, true);
}

// Finish: the new files are in place; the old ones leave the folder for the backup folder.
void rollForward(const Journal& j) {
    bool any = false;
    for (const auto& e : j.entries) {
        if (e.aside.empty() || !present(j.folder / e.aside))
            continue;
        if (!any) {
            makePrivateFolder(j.backupDir);
            std::ofstream(j.backupDir / "ORIGIN.txt") << j.folder.string() << "\n";
            any = true;
        }
        moveToBackup(j.folder / e.aside, j.backupDir / e.finalName);
        step();
    }
    if (any) {
        fsyncPath(j.backupDir, true);
        fsyncPath(j.folder, true);
    }
    for (const auto& e : j.entries)
        if (!e.temp.empty() && present(j.folder / e.temp))
            removeFile(j.folder / e.temp);
}

// A new file takes the owner, group and mode of the member it replaces, or of the table's .db for
// a member the table did not have; a new table keeps what the folder gives it.
void takeOverAccess(const Journal& j, const Entry& e) {
    struct stat old {};
    if (::stat((j.folder / e.finalName).c_str(), &old) != 0 &&
        ::stat((j.folder / j.table).c_str(), &old) != 0)
        return;
    keepOwnerAndMode(j.folder / e.temp, old);
}

std::string stamp() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    static std::atomic<int> serial{0};
    return std::string(buf) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
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

// The lock that tells a live swap's journal from one whose process is gone. The swap holds it
// from before its journal exists until after the journal is removed; recovery takes it before
// it touches a journal, and so never acts behind the back of the process still working on it.
class OwnerLock {
  public:
    OwnerLock() = default;
    ~OwnerLock() { release(); }
    OwnerLock(const OwnerLock&) = delete;
    OwnerLock& operator=(const OwnerLock&) = delete;

    // Creates and locks the file. Recovery may unlink an owner file it could lock while no
    // journal stood beside it; a lock taken on a file unlinked meanwhile protects nothing, so
    // the lock is taken again on the file now at that name.
    void create(const fs::path& path) {
        for (;;) {
            fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd_ < 0)
                fail("Cannot create the swap's lock file", path);
            if (::flock(fd_, LOCK_EX) != 0) {
                const int e = errno;
                release();
                fail("Cannot lock the swap's lock file", path, e);
            }
            struct stat held {
            }, named{};
            if (::fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                break;
            release();
        }
        path_ = path;
    }

    // Takes the lock of an existing owner file without waiting. False when another process
    // holds it (or there is no such file: then absent is set).
    bool tryTake(const fs::path& path, bool& absent) {
        absent = false;
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0) {
            absent = errno == ENOENT;
            if (!absent)
                fail("Cannot open the swap's lock file", path);
            return false;
        }
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            release();
            if (e == EWOULDBLOCK)
                return false;
            fail("Cannot lock the swap's lock file", path, e);
        }
        path_ = path;
        return true;
    }

    // Unlinked while still held, so nobody takes a lock on a file about to vanish.
    void removeAndRelease() {
        if (!path_.empty())
            ::unlink(path_.c_str());
        release();
    }

    void release() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        path_.clear();
    }

  private:
    int fd_ = -1;
    fs::path path_;
};

// pending/<id>.swap (and its <id>.swap.tmp) belong to pending/<id>.owner.
fs::path ownerFileOf(const fs::path& journalOrTemp) {
    std::string name = journalOrTemp.filename().string();
    for (const char* ext : {".tmp", ".swap"})
        if (name.size() > std::strlen(ext) && name.ends_with(ext))
            name.resize(name.size() - std::strlen(ext));
    return journalOrTemp.parent_path() / (name + ".owner");
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

std::vector<fs::path> familyFiles(const fs::path& db) {
    std::vector<fs::path> out;
    const fs::path folder = db.parent_path().empty() ? fs::path(".") : db.parent_path();
    const std::string stem = lower(db.stem().string());
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        const fs::path& p = e.path();
        if (lower(p.stem().string()) == stem && isFamilyExtension(lower(p.extension().string())) &&
            e.is_regular_file(ec))
            out.push_back(p);
    }
    std::sort(out.begin(), out.end());
    return out;
}

fs::path realTableFile(const fs::path& db) {
    const std::vector<fs::path> members = familyFiles(db);
    struct stat st;
    std::vector<fs::path> links;
    for (const auto& m : members)
        if (::lstat(m.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            links.push_back(m);
    if (links.empty())
        return db;
    const auto refuse = [](const std::string& why) -> fs::path {
        throw FileError(
            "its files are symbolic links that cannot be replaced where they lead: " + why, EXDEV);
    };
    if (links.size() != members.size())
        return refuse("some of its files are links, others are not");
    std::error_code ec;
    fs::path realFolder;
    for (const auto& link : links) {
        const fs::path target = fs::canonical(link, ec);
        if (ec)
            return refuse("the link " + link.string() + " leads nowhere");
        if (lower(target.filename().string()) != lower(link.filename().string()))
            return refuse("the link " + link.string() + " leads to a file of another name, " +
                          target.string());
        if (realFolder.empty())
            realFolder = target.parent_path();
        else if (target.parent_path() != realFolder)
            return refuse("its links lead into more than one folder");
    }
    fs::path realDb;
    for (const auto& link : links)
        if (lower(link.filename().string()) == lower(db.filename().string()))
            realDb = fs::canonical(link, ec);
    if (realDb.empty())
        return refuse("its .db file is not among them");
    std::vector<std::string> here, there;
    for (const auto& m : members)
        here.push_back(lower(m.filename().string()));
    for (const auto& m : familyFiles(realDb)) {
        if (::lstat(m.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return refuse("the folder the links lead to holds links too");
        there.push_back(lower(m.filename().string()));
    }
    std::sort(here.begin(), here.end());
    std::sort(there.begin(), there.end());
    if (here != there)
        return refuse("the folder they lead to, " + realFolder.string() +
                      ", holds another set of the table's files");
    return realDb;
}

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
    void checkUnchanged() const {
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
        if (std::string diff = familyDifference(*expected, printFiles(files)); !diff.empty())
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
        const std::string want = lower(db.stem().string() + ext);
        for (const auto& p : familyFiles(db))
            if (lower(p.filename().string()) == want)
                return p.filename().string();
        std::string dbExt = db.extension().string();
        bool upper = dbExt.size() >= 2 && std::isupper(static_cast<unsigned char>(dbExt[1]));
        std::string e = ext;
        std::transform(e.begin(), e.end(), e.begin(), [&](unsigned char c) {
            return static_cast<char>(upper ? std::toupper(c) : std::tolower(c));
        });
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
        if (lower(e.finalName) == lower(finalName))
            return m.j.folder / e.temp;
    Entry e{finalName, "~qm" + m.id + "-" + finalName + ".new", ""};
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
        step();
        locks.emplace(j.folder / j.table);
        m.checkUnchanged();
        if (m.retireRest) {
            const fs::path db = j.folder / j.table;
            for (const auto& p : familyFiles(db)) {
                const std::string name = p.filename().string();
                bool replaced = std::any_of(j.entries.begin(), j.entries.end(),
                                            [&](const Entry& e) { return e.finalName == name; });
                if (!replaced)
                    j.entries.push_back({name, "", ""});
            }
        }
        for (auto& e : j.entries) {
            struct stat st;
            if (::lstat((j.folder / e.finalName).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
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
                step();
            }
        // A writer that ignored the locks may have struck between the check and the renames.
        m.checkUnchanged();
        for (const auto& e : j.entries)
            if (!e.temp.empty()) {
                renameFile(j.folder / e.temp, j.folder / e.finalName);
                step();
            }
        fsyncPath(j.folder, true);
        step();
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
        step();
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
                           [](const Entry& e) { return !e.aside.empty(); });
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

namespace testhooks {
void setSwapStepHook(std::function<void(int)> hook) {
    stepHook() = std::move(hook);
    stepCounter = 0;
}
} // namespace testhooks

} // namespace qm::paradox
