#pragma once

#include "replace/replace_run.h"
#include "replace/run_control.h"
#include "ui/marshalled_user_interface.h"
#include "ui/run_progress_view.h"

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <vector>

namespace qm::ui {

// Carries out a run on a thread of its own while the window stays responsive: the window's
// other controls take no input, its progress view shows where the run stands, and its Cancel
// (or Escape, or closing the window) stops the run at the next safe point. run() returns when
// the run has ended, like the synchronous call it stands for.
class RunController : public QObject {
    Q_OBJECT
  public:
    // window: its direct children other than view are disabled for the run's length.
    RunController(QWidget* window, UserInterface& ui, RunProgressView* view);
    ~RunController() override;

    RunResult run(const RunInputs& inputs, RunOptions options);
    // Other work of the kind (an undo) the same way: job runs on the worker thread while the
    // progress view shows title; Cancel and closing the window ask the token it is given.
    void work(const QString& title, const std::function<void(const CancelToken&)>& job);

    bool running() const { return running_; }
    // Stops the run at its next safe point. Safe from any thread.
    void cancel();
    // The window is closing: cancel, and no box is shown any more.
    void cancelForClose();

  private:
    // Disables the window's other controls, runs job on a thread of its own while the window's
    // events go on, and gives the controls back.
    void onWorker(const std::function<void()>& job);

    QWidget* window_;
    UserInterface& ui_;
    RunProgressView* view_;
    MarshalledUserInterface marshalled_;
    CancelToken token_;
    std::atomic<bool> running_{false};
};

} // namespace qm::ui
