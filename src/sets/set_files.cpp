#include "sets/set_files.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "app/text_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

namespace {

Error fileError(int e, const std::string& path) {
    long c = code::PathFileAccess;
    if (e == EACCES || e == EPERM || e == EROFS)
        c = code::PermissionDenied;
    else if (e == ENOENT || e == ENOTDIR)
        c = code::PathNotFound;
    return Error(c, std::string(std::strerror(e)) + ": " + path);
}

mode_t newFileMode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 07777;
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void writeAll(int fd, const std::string& data, const std::string& path) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw fileError(errno, path);
        }
        done += static_cast<std::size_t>(n);
    }
}

// Visual Basic's Trim: blanks only.
std::string trimBlanks(const std::string& s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isEmptyFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size == 0;
}

} // namespace

void SaveSetsToFile(UserInterface& ui, const std::string& path, const SetLists& lists) {
    if (FileExistsByDate(path)) {
        Answer a = ui.messageBox("Are you sure you wish to overwrite " + path + " ?",
                                 Buttons::YesNo, Icon::None, appTitle());
        if (a != Answer::Yes)
            return;
    }
    std::string content;
    for (int i = 0; i < lists.count(); ++i) {
        content += lists.findText(i);
        content += "::";
        content += lists.replaceText(i);
        content += "\r\n";
    }

    // Write where a symbolic link points, so that the link stays a link; anything but a
    // regular file (a folder, a device) is not replaced by a set file.
    std::string target = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            char* real = ::realpath(path.c_str(), nullptr);
            if (real) {
                target = real;
                std::free(real);
            }
        }
        if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            throw Error(code::PathFileAccess, "Path/File access error: " + path);
    }

    auto slash = target.rfind(kSeparator);
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    mode_t mode = newFileMode(target);
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw fileError(errno, path);
    try {
        writeAll(fd, content, path);
        if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
            throw fileError(errno, path);
        if (::close(fd) != 0) {
            fd = -1;
            throw fileError(errno, path);
        }
        fd = -1;
        if (::rename(temp.c_str(), target.c_str()) != 0)
            throw fileError(errno, path);
    } catch (...) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
}

void SaveSets(UserInterface& ui, const SetLists& lists, const std::string& startFolder) {
    Trap trap(ui, where::form2("PushButton13_Click"));
    FileDialogRequest request;
    trap.step(100, [&] { request.fileName.clear(); });
    trap.step(102, [&] { request.flags = kSaveSetsFlags; });
    trap.step(104, [&] { request.title = kSaveSetsTitle; });
    trap.step(106, [&] { request.filter = kSetFileFilter; });
    request.directory = startFolder;
    std::string chosen;
    trap.step(108, [&] {
        request.save = true;
        chosen = ui.fileDialog(request);
    });
    std::string path;
    trap.step(110, [&] {
        path = chosen;
        if (!path.empty() && std::filesystem::path(path).extension().empty() &&
            path.back() != kSeparator)
            path += ".txt";
    });
    if (trap.test(112, [&] { return path.empty(); }))
        return;
    trap.step(114, [&] { SaveSetsToFile(ui, path, lists); });
}

bool LoadSets(UserInterface& ui, const std::string& fileName, const std::string& separator,
              SetLists& lists) {
    Trap trap(ui, where::form3("PushButton1_Click"));
    if (trap.test(100, [&] { return separator.empty(); })) {
        trap.step(130,
                  [&] { ui.messageBox(kMissingSeparator, Buttons::Ok, Icon::None, appTitle()); });
        return false;
    }
    if (trap.test(102, [&] { return trimBlanks(fileName).empty(); }))
        return false;
    if (trap.test(104, [&] { return !isRegularFile(fileName); })) {
        trap.step(128, [&] {
            ui.messageBox(fileName + " not found.", Buttons::Ok, Icon::None, appTitle());
        });
        return false;
    }
    std::string text;
    trap.step(106, [&] {
        text = ReadTextFile(fileName);
        // A zero-length file holds no sets; its stand-in text must not be read as one.
        if (text == "empty file" && isEmptyFile(fileName))
            text.clear();
        // A byte-order mark is no part of the first find text.
        if (text.rfind("\xEF\xBB\xBF", 0) == 0)
            text.erase(0, 3);
    });
    trap.step(108, [&] { std::erase(text, '\r'); });
    std::vector<std::string> lines;
    trap.step(110, [&] { lines = SplitText(text, "\n"); });
    trap.line(112);
    for (const std::string& line : lines) {
        if (trap.test(114, [&] { return line.empty(); }))
            continue;
        if (trap.test(116, [&] { return line.find(separator) == std::string::npos; }))
            continue;
        std::vector<std::string> pieces;
        trap.step(118, [&] { pieces = SplitText(line, separator); });
        // The replace half goes in only with its find half, so the lists never differ in length.
        bool findAdded = trap.step(120, [&] { lists.appendFind(pieces.at(0)); });
        trap.step(122, [&] {
            if (findAdded)
                lists.appendReplace(pieces.at(1));
        });
        trap.line(124);
    }
    trap.line(126);
    return true;
}

} // namespace qm
