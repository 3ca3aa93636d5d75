#include "sets/set_files.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "app/safe_file.h"
#include "platform/files.h"
#include "sets/text_file.h"

#include <cstring>
#include <filesystem>

namespace qm {

namespace {

bool isRegularFile(const std::string& path) {
    platform::FileStatus st;
    return !path.empty() && platform::status(path, st) == 0 && st.regular;
}

bool isEmptyFile(const std::string& path) {
    platform::FileStatus st;
    return platform::status(path, st) == 0 && st.size == 0;
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

    SaveFileSafely(path, content);
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

namespace {

// Why the sets of these lines cannot go into lists; empty when they can: the lists hold a
// bounded number of sets, and a file with more is refused whole rather than cut.
std::string tooManySets(const std::vector<std::string>& lines, const std::string& separator,
                        const SetLists& lists) {
    std::size_t sets = 0;
    for (const std::string& line : lines)
        sets += !line.empty() && line.find(separator) != std::string::npos;
    if (sets + static_cast<std::size_t>(lists.count()) > SetLists::kMaxEntries)
        return "it holds " + std::to_string(sets) + " sets; the lists hold at most " +
               std::to_string(SetLists::kMaxEntries);
    return {};
}

} // namespace

bool LoadSets(UserInterface& ui, const std::string& fileName, const std::string& separator,
              SetLists& lists, std::size_t* skippedLines) {
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
    if (const std::string why = tooManySets(lines, separator, lists); !why.empty()) {
        trap.step(132, [&] {
            ui.messageBox(fileName + " cannot be used: " + why + ".", Buttons::Ok,
                          Icon::Exclamation, appTitle());
        });
        return false;
    }
    trap.line(112);
    for (const std::string& line : lines) {
        if (trap.test(114, [&] { return line.empty(); }))
            continue;
        if (trap.test(116, [&] { return line.find(separator) == std::string::npos; })) {
            if (skippedLines)
                ++*skippedLines;
            continue;
        }
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
