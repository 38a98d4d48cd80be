// A progress bar that stays painted while a command runs on the window thread: the position is taken
// at every step, but the bar is repainted and the window's pending events handled at most once per
// interval, so a long step costs the repaint only a few times a second.  Inside a busy window's guard
// (BusyWindow) every pending event is handled, so the operator's input aimed at the window goes to the
// guard, which drops it; outside one, input is left queued.  Either way no other command starts in the
// middle of this one.
#pragma once

#include <QElapsedTimer>

class QProgressBar;

namespace desk {

class ProgressPump {
  public:
    // Every position: a bar of few steps takes each position as it is given (only the repaint waits for
    // the interval); otherwise the bar takes the latest position at each repaint.
    enum class Positions { Latest, Every };
    explicit ProgressPump(QProgressBar* bar, Positions positions = Positions::Latest, int interval_ms = 50);
    // Sets the position; repaints when the interval has passed since the last repaint.
    void set(int value);
    // Sets the position last given and repaints now.
    void flush();
    // Handles what is pending in the window between two blocking steps (see above).
    static void pumpWindow();

  private:
    QProgressBar* bar_;
    Positions positions_;
    int interval_ms_;
    int value_ = 0;
    QElapsedTimer clock_;
};

}  // namespace desk
