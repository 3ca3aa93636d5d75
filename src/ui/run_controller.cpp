#include "ui/run_controller.h"

#include "platform/files.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <cerrno>
#include <thread>

namespace qm::ui {

RunController::RunController(QWidget* window, UserInterface& ui, RunProgressView* view)
    : QObject(window), window_(window), ui_(ui), view_(view), marshalled_(ui, this) {
    connect(view_, &RunProgressView::cancelRequested, this, &RunController::cancel);
}

RunController::~RunController() = default;

void RunController::cancel() {
    token_.request();
    if (running_ && QThread::currentThread() == thread())
        view_->cancelling();
}

void RunController::cancelForClose() {
    marshalled_.setQuiet(true);
    cancel();
}

RunResult RunController::run(const RunInputs& inputs, RunOptions options) {
    token_.reset();
    marshalled_.setQuiet(false);
    view_->start(options.dryRun);
    options.cancel = &token_;
    const auto watcher = options.onProgress;
    QPointer<RunProgressView> view = view_;
    options.onProgress = [watcher, view, this](const RunProgress& p) {
        if (watcher)
            watcher(p);
        QMetaObject::invokeMethod(
            this,
            [view, p] {
                if (view)
                    view->show(p);
            },
            Qt::QueuedConnection);
    };
    RunResult result;
    onWorker([&] {
        try {
            result = runReplace(marshalled_, inputs, options);
        } catch (const std::exception& e) {
            result.end = RunResult::End::Failed;
            result.failure = e.what();
        } catch (...) {
            result.end = RunResult::End::Failed;
            result.failure = "The run ended on an unknown failure.";
        }
    });
    return result;
}

void RunController::work(const QString& title, const std::function<void(const CancelToken&)>& job) {
    token_.reset();
    marshalled_.setQuiet(false);
    view_->startWork(title);
    onWorker([&] { job(token_); });
}

void RunController::onWorker(const std::function<void()>& job) {
    running_ = true;
    // Nothing else in the window may start a second run or change what this one reads.
    std::vector<QPointer<QWidget>> disabled;
    for (QWidget* child : window_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child != view_ && child->isEnabled() && !child->isWindow()) {
            child->setEnabled(false);
            disabled.emplace_back(child);
        }

    std::atomic<bool> done{false};
    std::thread worker([&] {
        // On a busy machine the window's thread comes first: it only ever has a moment's work.
        platform::lowerThisThreadsPriority();
        try {
            job();
        } catch (...) {
            // job reports its own failures; nothing may leave the thread.
        }
        done.store(true);
        // Wakes the window's thread from its wait for events.
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection);
    });
    // The window's events run here until the work is over: repaints, moves, the Cancel button,
    // and the boxes the run asks for.
    while (!done.load())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
    // The progress calls still queued are out of date now.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);

    view_->hide();
    for (const auto& w : disabled)
        if (w)
            w->setEnabled(true);
    running_ = false;
}

} // namespace qm::ui
