#include "db/folder_copy.h"

#include "app/common.h"
#include "app/error.h"
#include "app/error_report.h"
#include "platform/files.h"

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace qm {

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    return platform::homeFolder().string();
}

[[noreturn]] void fail(const std::string& what, const std::error_code& ec) {
    long c = ec == std::errc::permission_denied ? code::PermissionDenied : code::PathFileAccess;
    throw Error(c, what + ": " + ec.message());
}

} // namespace

std::string copyTargetFolder(const std::string& driveRoot) {
    // Only the administrator may write the root of a Unix system; everyone else gets the
    // folder in the home folder, which the user can write.
    std::string parent = driveRoot;
    if (platform::writeAccess(driveRoot) != 0) {
        if (std::string home = homeFolder(); !home.empty()) {
            if (home.back() != kSeparator)
                home += kSeparator;
            parent = home;
        }
    }
    // A copy never lands on an earlier one: the user's changes there would be overwritten by
    // files of the same names, and the two folders' tables mixed.
    std::string target = parent + "TestDB";
    std::error_code ec;
    for (int n = 2; fs::exists(target, ec) || ec; ++n)
        target = parent + "TestDB" + std::to_string(n);
    return target;
}

void CopyDB(UserInterface& ui, CurrentFolder& folder, bool sample, const std::string& driveRoot) {
    Trap trap(ui, where::paradox("CopyDB"));
    bool stop = false;
    trap.step(100, [&] { stop = trimBlanks(folder.get()).find(' ') == std::string::npos; });
    if (stop)
        return;
    std::string word;
    trap.step(102, [&] { word = sample ? "sample" : "Your"; });
    std::string target;
    trap.step(108, [&] { target = copyTargetFolder(driveRoot); });
    trap.step(110, [&] {
        std::string question =
            "In some cases the software needs to use a folder without spaces.\r\n"
            "Is it OK to create the folder " +
            target + " and put " + word + " db files in it?";
        // Our driver opens folders with blanks: the copy is a choice, not a need, and an Enter
        // must not make the run work on a copy the person did not ask for.
        stop =
            ui.messageBox(question, Buttons::YesNoDefaultNo, Icon::None, appTitle()) != Answer::Yes;
    });
    if (stop)
        return;
    trap.line(112);
    // Only a folder this copy made is copied into: one that appeared meanwhile is not ours.
    bool created = false;
    trap.step(114, [&] {
        std::error_code ec;
        created = fs::create_directory(target, ec);
        if (!created)
            fail("Cannot create the folder " + target,
                 ec ? ec : std::make_error_code(std::errc::file_exists));
    });
    bool exists = trap.test(118, [&] { return created && fs::is_directory(target); });
    if (exists) {
        trap.step(120, [&] {
            std::error_code ec;
            fs::copy(folder.get(), target, fs::copy_options::recursive, ec);
            if (ec)
                fail("Cannot copy " + folder.get() + " to " + target, ec);
        });
        // After a copy that fell short too: the user was told, and the field says where the
        // tables that did arrive are; the chosen folder itself is never worked on.
        trap.step(122, [&] { folder.set(target); });
    }
    trap.line(124);
}

} // namespace qm
