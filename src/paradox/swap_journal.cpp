#include "paradox/swap_journal.h"

#include "paradox/durable_files.h"
#include "paradox/family_swap.h"
#include "paradox/file_access.h"
#include "platform/files.h"

#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

std::function<void(int)>& stepHook() {
    static std::function<void(int)> hook;
    return hook;
}
std::atomic<int> stepCounter{0};

} // namespace

void detail::swapStep() {
    int n = stepCounter++;
    if (stepHook())
        stepHook()(n);
}

namespace testhooks {
void setSwapStepHook(std::function<void(int)> hook) {
    stepHook() = std::move(hook);
    stepCounter = 0;
}
} // namespace testhooks

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
        s << "entry " << hex(e.finalName) << " " << hex(e.temp) << " " << hex(e.aside) << "\n";
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

void rollBack(const Journal& j) {
    for (const auto& e : j.entries) {
        const fs::path final = j.folder / e.finalName;
        if (!e.aside.empty() && present(j.folder / e.aside)) {
            if (present(final)) {
                removeFile(final); // the new file, already renamed in
                swapStep();
            }
            renameFile(j.folder / e.aside, final);
            swapStep();
        } else if (e.aside.empty() && !e.temp.empty() && present(final) &&
                   !present(j.folder / e.temp) && j.state == "prepared") {
            removeFile(final); // a new member that did not exist before
            swapStep();
        }
        if (!e.temp.empty() && present(j.folder / e.temp)) {
            removeFile(j.folder / e.temp);
            swapStep();
        }
    }
    if (present(j.folder))
        fsyncPath(j.folder, true);
}

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
        swapStep();
    }
    if (any) {
        fsyncPath(j.backupDir, true);
        fsyncPath(j.folder, true);
    }
    for (const auto& e : j.entries)
        if (!e.temp.empty() && present(j.folder / e.temp))
            removeFile(j.folder / e.temp);
}

} // namespace detail

} // namespace qm::paradox
