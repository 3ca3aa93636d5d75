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

std::string trimBlanks(const std::string& s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

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
    if (platform::writeAccess(driveRoot) == 0)
        return driveRoot + "TestDB";
    std::string home = homeFolder();
    if (home.empty())
        return driveRoot + "TestDB";
    if (home.back() != kSeparator)
        home += kSeparator;
    return home + "TestDB";
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
        stop = ui.messageBox(question, Buttons::YesNo, Icon::None, appTitle()) != Answer::Yes;
    });
    if (stop)
        return;
    trap.line(112);
    trap.step(114, [&] {
        std::error_code ec;
        if (!fs::is_directory(target, ec) && !fs::create_directory(target, ec) && ec)
            fail("Cannot create the folder " + target, ec);
    });
    bool exists = trap.test(118, [&] { return fs::is_directory(target); });
    if (exists) {
        trap.step(120, [&] {
            std::error_code ec;
            fs::copy(folder.get(), target,
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
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
