#include "progress_pump.h"

#include <QCoreApplication>
#include <QProgressBar>

#include "busy_window.h"

namespace desk {

ProgressPump::ProgressPump(QProgressBar* bar, Positions positions, int interval_ms)
    : bar_(bar), positions_(positions), interval_ms_(interval_ms) {
    value_ = bar_->value();
    clock_.start();
}

void ProgressPump::set(int value) {
    value_ = value;
    if (positions_ == Positions::Every) bar_->setValue(value);
    if (clock_.elapsed() >= interval_ms_) flush();
}

void ProgressPump::flush() {
    bar_->setValue(value_);
    if (bar_->isVisible()) bar_->repaint();
    pumpWindow();
    clock_.restart();
}

void ProgressPump::pumpWindow() {
    // Input left queued here would be carried out once the command has ended: a guard drops it now.
    QCoreApplication::processEvents(BusyWindow::active() ? QEventLoop::AllEvents
                                                         : QEventLoop::ExcludeUserInputEvents);
}

}  // namespace desk
