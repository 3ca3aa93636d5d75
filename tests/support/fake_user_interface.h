#pragma once

#include "app/user_interface.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace qm::test {

// Records every box and dialog the engine opens and answers from queues. An empty queue
// answers like a person pressing the default button: OK, or No for a question.
class FakeUserInterface : public UserInterface {
  public:
    struct Box {
        std::string text;
        Buttons buttons;
        Icon icon;
        std::string title;
        std::string details; // the scrollable part of a detailed box
    };

    std::vector<Box> boxes;
    std::deque<Answer> answers;
    std::vector<std::string> prompts;
    struct PromptRequest {
        std::string prompt;
        std::string title;
        std::string defaultText;
    };
    std::vector<PromptRequest> promptRequests;
    std::deque<std::string> inputs;
    std::vector<FileDialogRequest> fileDialogs;
    std::deque<std::string> fileAnswers;
    std::vector<std::pair<std::string, std::string>> folderRequests;
    std::deque<std::string> folderAnswers;
    std::vector<PointerState> pointers;
    int eventPumps = 0;

    Answer messageBox(const std::string& text, Buttons buttons, Icon icon,
                      const std::string& title) override;
    Answer detailedBox(const std::string& text, const std::string& details, Buttons buttons,
                       Icon icon, const std::string& title) override {
        const Answer a = messageBox(text, buttons, icon, title);
        boxes.back().details = details;
        return a;
    }
    std::string inputBox(const std::string& prompt, const std::string& title,
                         const std::string& defaultText) override;
    std::string fileDialog(const FileDialogRequest& request) override;
    std::string browseForFolder(const std::string& prompt,
                                const std::string& initialFolder) override;
    void setPointer(PointerState state) override { pointers.push_back(state); }
    // Runs at every event pump: a window test looks at the window in the middle of a run.
    std::function<void()> onPump;
    void processEvents() override {
        ++eventPumps;
        if (onPump)
            onPump();
    }

    PointerState pointer() const {
        return pointers.empty() ? PointerState::Default : pointers.back();
    }
};

} // namespace qm::test
