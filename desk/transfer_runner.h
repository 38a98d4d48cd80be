// A blocking library call run while the window stays painted and can still be closed.  The call runs
// on a thread of its own; the window thread waits for it in an event loop that paints, fires timers,
// delivers the window's close and answers the library's message boxes.  The operator's input aimed at
// the window meanwhile is dropped, not queued: no other command starts in the middle of this one, nor
// by itself once it has ended.  Nothing waits for the call's thread while that thread may wait for the
// window thread (a library box): the wait goes on handling events until the call has returned, also
// when the application quits meanwhile, and then the call is asked to stop.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "busy_window.h"

class QAction;
class QProgressBar;
class QWidget;

namespace desk {

// One command's transfer with the handheld, from just before its library call to the command's end.
// From construction on the window is busy (see BusyWindow: a busy cursor over it, its commands
// disabled, the operator's input aimed at it dropped); all of it is undone when the object goes,
// however the command ends.
class Transfer final : public QObject {
  public:
    // window: where input is dropped and the busy cursor shown (null: nowhere); commands: disabled
    // meanwhile; stop: asks the library to end the call in hand.  stop runs on a thread of the
    // transfer's own, again and again until the call has returned, so a request that falls between
    // two of the library's steps is not lost.
    Transfer(QWidget* window, std::vector<QAction*> commands, std::function<void()> stop);
    ~Transfer() override;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Runs call and returns its result; an exception it raised is raised again here.  While it runs,
    // bar (when given) follows percent(), asked every interval_ms: a value from 0 to 99 is laid over
    // the bar's range, any other value leaves the bar where it is.
    int32_t run(const std::function<int32_t()>& call, const std::function<int32_t()>& percent,
                QProgressBar* bar, int interval_ms = 50);

    // From the start of run until the call has returned.
    bool running() const { return running_; }
    // Asks the library to end the call: the library's boxes on view are answered (No, or OK) and
    // those it asks for afterwards are answered without being shown.  Nothing happens once the call
    // has returned, but stopped() is true all the same.
    void stop();
    // Whether stop was asked, by the window or because the application quits during the call.
    bool stopped() const { return stopped_; }
    // Whether the application quits during the call: its windows then close without a question.
    bool quitting() const { return quitting_; }

    // The transfer whose call runs now, or null (window thread).
    static Transfer* current();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void endStopper();

    BusyWindow guard_;
    std::function<void()> stop_;
    bool running_ = false;
    bool stopped_ = false;
    bool quitting_ = false;
    Transfer* outer_ = nullptr;

    // Shared with the stopper thread.
    std::mutex mutex_;
    std::condition_variable call_ended_signal_;
    bool call_ended_ = false;
    std::thread stopper_;
};

// Runs call as a transfer of no window (see Transfer::run).
int32_t RunWhilePainting(const std::function<int32_t()>& call, const std::function<int32_t()>& percent,
                         QProgressBar* bar, int interval_ms = 50);

// Shows one of the library's message boxes (window thread) and returns the button pressed.  Outside a
// transfer the box is modal.  While a call runs it leaves the window unblocked, since Qt drops a close
// of a window that a modal box blocks (the transfer drops the window's other input itself); a stop of
// the transfer answers it with `unshown`, and a box asked for after the stop, or once the application
// quits, is not shown and gets `unshown` at once.
QMessageBox::StandardButton RunLibraryBox(QMessageBox& box, QMessageBox::StandardButton unshown);

}  // namespace desk
