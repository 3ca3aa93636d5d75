#include "test_support.h"
#include "fake_user_interface.h"

#include <cstdlib>
#include <random>

namespace qm::test {

Answer FakeUserInterface::messageBox(const std::string& text, Buttons buttons, Icon icon,
                                     const std::string& title) {
    boxes.push_back({text, buttons, icon, title, {}});
    if (!answers.empty()) {
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    return isYesNo(buttons) ? Answer::No : Answer::Ok;
}

std::string FakeUserInterface::inputBox(const std::string& prompt, const std::string& title,
                                        const std::string& defaultText) {
    prompts.push_back(prompt);
    promptRequests.push_back({prompt, title, defaultText});
    if (inputs.empty())
        return {};
    std::string s = inputs.front();
    inputs.pop_front();
    return s;
}

std::string FakeUserInterface::fileDialog(const FileDialogRequest& request) {
    fileDialogs.push_back(request);
    if (fileAnswers.empty())
        return {};
    std::string s = fileAnswers.front();
    fileAnswers.pop_front();
    return s;
}

std::string FakeUserInterface::browseForFolder(const std::string& prompt,
                                               const std::string& initialFolder) {
    folderRequests.emplace_back(prompt, initialFolder);
    if (folderAnswers.empty())
        return {};
    std::string s = folderAnswers.front();
    folderAnswers.pop_front();
    return s;
}

std::filesystem::path sharedDir() {
    return QM_SHARED_DIR;
}
std::filesystem::path corpusDir() {
    return sharedDir() / "corpus" / "paradox";
}
bool haveCorpus() {
    return std::filesystem::is_directory(corpusDir());
}
std::filesystem::path pxdumpScript() {
    // The shared copy is the one kept up to date; the project's own copy lets a clone that
    // stands alone still check its synthetic tables against an independent decoder.
    auto shared = sharedDir() / "tools" / "pxdump.py";
    if (std::filesystem::exists(shared))
        return shared;
    return std::filesystem::path(QM_SOURCE_DIR) / "tests" / "tools" / "pxdump.py";
}

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("qm-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(path_))
            break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    // A test may have taken permissions away; give them back so the folder can go.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
}

} // namespace qm::test
