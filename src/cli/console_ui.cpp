#include "cli/console_ui.h"

namespace qm::cli {

std::string plainLines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

Answer ConsoleUserInterface::messageBox(const std::string& text, Buttons buttons, Icon,
                                        const std::string&) {
    messages_.push_back(plainLines(text));
    switch (buttons) {
    case Buttons::YesNo:
    case Buttons::YesNoDefaultNo:
        messages_.back() += "\n(answered No)";
        return Answer::No;
    case Buttons::OkCancel:
        messages_.back() += "\n(answered Cancel)";
        return Answer::Cancel;
    case Buttons::Ok:
        break;
    }
    return Answer::Ok;
}

std::string ConsoleUserInterface::inputBox(const std::string& prompt, const std::string&,
                                           const std::string&) {
    messages_.push_back(plainLines(prompt) + "\n(no answer on the command line)");
    return {};
}

std::string ConsoleUserInterface::fileDialog(const FileDialogRequest& request) {
    messages_.push_back(plainLines(request.title) + "\n(no file chosen on the command line)");
    return {};
}

std::string ConsoleUserInterface::browseForFolder(const std::string& prompt, const std::string&) {
    messages_.push_back(plainLines(prompt) + "\n(no folder chosen on the command line)");
    return {};
}

} // namespace qm::cli
