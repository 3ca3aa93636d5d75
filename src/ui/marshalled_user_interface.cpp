#include "ui/marshalled_user_interface.h"

#include <QMetaObject>
#include <QThread>
#include <type_traits>

namespace qm::ui {

namespace {
Answer defaultAnswer(Buttons buttons) {
    switch (buttons) {
    case Buttons::YesNo:
    case Buttons::YesNoDefaultNo:
        return Answer::No;
    case Buttons::OkCancel:
        return Answer::Cancel;
    case Buttons::Ok:
        break;
    }
    return Answer::Ok;
}
} // namespace

bool MarshalledUserInterface::onWindowThreadNow() const {
    return !context_ || QThread::currentThread() == context_->thread();
}

template <class F> auto MarshalledUserInterface::onWindowThread(F&& f) -> decltype(f()) {
    using R = decltype(f());
    if (onWindowThreadNow())
        return f();
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(
            context_.data(), [&] { f(); }, Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(
            context_.data(), [&] { result = f(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

Answer MarshalledUserInterface::messageBox(const std::string& text, Buttons buttons, Icon icon,
                                           const std::string& title) {
    if (quiet_.load())
        return defaultAnswer(buttons);
    return onWindowThread([&] { return inner_.messageBox(text, buttons, icon, title); });
}

Answer MarshalledUserInterface::detailedBox(const std::string& text, const std::string& details,
                                            Buttons buttons, Icon icon, const std::string& title) {
    if (quiet_.load())
        return defaultAnswer(buttons);
    return onWindowThread([&] { return inner_.detailedBox(text, details, buttons, icon, title); });
}

std::string MarshalledUserInterface::inputBox(const std::string& prompt, const std::string& title,
                                              const std::string& defaultText) {
    if (quiet_.load())
        return {};
    return onWindowThread([&] { return inner_.inputBox(prompt, title, defaultText); });
}

std::string MarshalledUserInterface::fileDialog(const FileDialogRequest& request) {
    if (quiet_.load())
        return {};
    return onWindowThread([&] { return inner_.fileDialog(request); });
}

std::string MarshalledUserInterface::browseForFolder(const std::string& prompt,
                                                     const std::string& initialFolder) {
    if (quiet_.load())
        return {};
    return onWindowThread([&] { return inner_.browseForFolder(prompt, initialFolder); });
}

void MarshalledUserInterface::setPointer(PointerState state) {
    onWindowThread([&] { inner_.setPointer(state); });
}

void MarshalledUserInterface::processEvents() {
    // The window's thread runs its own event loop while the worker works.
    if (onWindowThreadNow())
        inner_.processEvents();
}

} // namespace qm::ui
