#include "paradox/swap_journal.h"

#include "paradox/ascii.h"
#include "paradox/durable_files.h"
#include "paradox/file_access.h"
#include "paradox/swap_steps.h"
#include "paradox/writer.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace detail {

namespace {

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

} // namespace

void writeJournal(const fs::path& path, const Journal& j) {
    std::ostringstream s;
    s << "quillmend-family-swap 1\n"
      << "state " << j.state << "\n"
      << "folder " << hex(j.folder.string()) << "\n"
      << "table " << hex(j.table) << "\n"
      << "backup " << hex(j.backupDir.string()) << "\n";
    for (const auto& e : j.entries)
        s << "entry " << hex(e.finalName) << " " << hex(e.temp) << " " << hex(e.aside) << " "
          << hex(e.newId) << " " << hex(e.oldId) << "\n";
    if (!j.marker.empty())
        s << "marker " << hex(j.marker) << "\n";
    s << "end\n";
    const std::string text = s.str();
    fs::path tmp = path;
    tmp += ".tmp";
    platform::File f;
    int e = f.open(tmp, platform::File::Write | platform::File::Create | platform::File::Truncate);
    if (!e)
        e = f.write(text);
    if (!e)
        e = f.sync();
    if (const int closed = f.close(); !e)
        e = closed;
    if (e)
        throwFileError("Cannot write the swap journal", tmp, e);
    swapStep();
    renameFile(tmp, path);
    fsyncPath(path.parent_path(), true);
    swapStep();
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
            JournalEntry e{x, y, z, {}, {}};
            std::string n, o;
            if (ls >> n >> o && !(unhex(n, e.newId) && unhex(o, e.oldId)))
                return false;
            j.entries.push_back(std::move(e));
        } else if (word == "marker" && (ls >> a) && unhex(a, x)) {
            j.marker = x;
        } else if (word == "end") {
            ended = true;
        } else {
            return false;
        }
    }
    return ended && !j.folder.empty() &&
           (j.state == "writing" || j.state == "prepared" || j.state == "committed");
}

namespace {

// True when the file at p is the one the journal noted (or, with nothing noted, when the swap
// had not yet renamed anything: its temporary files are its own, under names nobody foresees).
bool isTheSwapsFile(const fs::path& p, const std::string& noted, const Journal& j) {
    if (!noted.empty())
        return fileIdentity(p) == noted;
    // A journal of an earlier build notes no file at all; its names are all it has.
    const bool notesAny = std::any_of(j.entries.begin(), j.entries.end(), [](const auto& e) {
        return !e.newId.empty() || !e.oldId.empty();
    });
    return j.state == "writing" || !notesAny;
}

std::string leftAlone(const fs::path& p) {
    return "\"" + p.string() + "\" is not the file the interrupted change left there; it was " +
           "left as it is";
}

} // namespace

std::string fileIdentity(const fs::path& p) {
    platform::FileStatus st;
    if (platform::linkStatus(p, st) != 0)
        return {};
    return std::to_string(st.device) + ":" + std::to_string(st.inode) + ":" +
           std::to_string(st.size) + ":" + std::to_string(st.modifiedNanoseconds) +
           (st.symlink ? ":link" : "");
}

fs::path swapMarkerOf(const fs::path& db) {
    return db.parent_path() / ("~qm-" + asciiLower(db.filename().string()) + ".swap");
}

namespace {

// The marker is written whole under a name of this swap's own, then linked to its place, which
// fails when another marker is there: a marker is never seen half written.
fs::path markerDraft(const Journal& j) {
    fs::path draft = swapMarkerOf(j.folder / j.table);
    draft += "." + j.marker.substr(j.marker.rfind(' ') + 1);
    return draft;
}

} // namespace

void makeSwapMarker(const Journal& j) {
    const fs::path marker = swapMarkerOf(j.folder / j.table), draft = markerDraft(j);
    platform::File f;
    int e = f.createNew(draft);
    if (!e)
        e = f.write(j.marker + "\n");
    if (!e)
        e = f.sync();
    if (const int closed = f.close(); !e)
        e = closed;
    if (!e)
        e = platform::linkFile(draft, marker);
    (void)platform::removeFile(draft);
    if (e == EEXIST)
        throw FileError("The table \"" + (j.folder / j.table).string() +
                            "\" is being changed by another run, or a change of it was "
                            "interrupted (\"" +
                            marker.string() + "\" is beside it).",
                        EBUSY);
    if (e)
        throwFileError("Cannot create", marker, e);
    fsyncPath(j.folder, true);
}

bool removeSwapMarker(const Journal& j, bool flush) {
    if (j.marker.empty())
        return false;
    removeFile(markerDraft(j));
    const fs::path marker = swapMarkerOf(j.folder / j.table);
    platform::File f;
    if (f.openOwn(marker, platform::File::Read) != 0)
        return false;
    std::string text(j.marker.size() + 2, '\0');
    std::size_t got = 0;
    if (f.readUpTo(0, text.data(), text.size(), got) == 0 && got == j.marker.size() + 1 &&
        text.compare(0, got, j.marker + "\n") == 0) {
        removeFile(marker);
        if (flush)
            fsyncPath(j.folder, true);
        return true;
    }
    return false;
}

std::vector<std::string> rollBack(const Journal& j) {
    std::vector<std::string> left;
    for (const auto& e : j.entries) {
        const fs::path final = j.folder / e.finalName, aside = j.folder / e.aside,
                       temp = j.folder / e.temp;
        if (!e.aside.empty() && present(aside)) {
            if (!isTheSwapsFile(aside, e.oldId, j)) {
                left.push_back(leftAlone(aside));
                continue;
            }
            if (present(final)) {
                if (!isTheSwapsFile(final, e.newId, j)) {
                    left.push_back(leftAlone(final));
                    continue;
                }
                removeFile(final); // the new file, already renamed in
                swapStep();
            }
            renameFile(aside, final);
            swapStep();
        } else if (e.aside.empty() && !e.temp.empty() && present(final) && !present(temp) &&
                   j.state == "prepared") {
            // A new member that did not exist before.
            if (isTheSwapsFile(final, e.newId, j)) {
                removeFile(final);
                swapStep();
            } else {
                left.push_back(leftAlone(final));
            }
        }
        if (!e.temp.empty() && present(temp)) {
            if (isTheSwapsFile(temp, e.newId, j)) {
                removeFile(temp);
                swapStep();
            } else {
                left.push_back(leftAlone(temp));
            }
        }
    }
    if (present(j.folder))
        fsyncPath(j.folder, true);
    removeSwapMarker(j, true);
    return left;
}

std::vector<std::string> rollForward(const Journal& j) {
    std::vector<std::string> left;
    bool any = false;
    for (const auto& e : j.entries) {
        const fs::path aside = j.folder / e.aside;
        if (e.aside.empty() || !present(aside))
            continue;
        if (!isTheSwapsFile(aside, e.oldId, j)) {
            left.push_back(leftAlone(aside));
            continue;
        }
        if (!any) {
            makePrivateFolder(j.backupDir);
            std::ofstream(j.backupDir / "ORIGIN.txt") << j.folder.string() << "\n";
            any = true;
        }
        moveToBackup(aside, j.backupDir / e.finalName);
        swapStep();
    }
    if (any)
        fsyncPath(j.backupDir, true);
    for (const auto& e : j.entries)
        if (!e.temp.empty() && present(j.folder / e.temp)) {
            if (isTheSwapsFile(j.folder / e.temp, e.newId, j))
                removeFile(j.folder / e.temp);
            else
                left.push_back(leftAlone(j.folder / e.temp));
        }
    // One flush of the folder for the old files gone and the marker gone: the journal, removed
    // only after this, still finishes the clean-up if either did not reach the disk.
    if (removeSwapMarker(j, false) || any)
        fsyncPath(j.folder, true);
    return left;
}

} // namespace detail

} // namespace qm::paradox
