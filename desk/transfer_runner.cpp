#include "transfer_runner.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QProgressBar>
#include <QTimer>
#include <exception>
#include <thread>

namespace desk {

namespace {

// While the call runs the transfer is not complete: a percent of 100 or more then comes from a block
// count the library did not know for this transfer (a size announced short), not from the transfer's
// end, and is left out like any value out of range.
void Follow(QProgressBar* bar, int32_t percent) {
    if (!bar || percent < 0 || percent > 99) return;
    const long long span = static_cast<long long>(bar->maximum()) - bar->minimum();
    const int value = bar->minimum() + static_cast<int>(span * percent / 100);
    if (value == bar->value()) return;
    bar->setValue(value);
    if (bar->isVisible()) bar->repaint();
}

}  // namespace

int32_t RunWhilePainting(const std::function<int32_t()>& call, const std::function<int32_t()>& percent,
                         QProgressBar* bar, int interval_ms) {
    // Written by the call's thread and read here only after it has been joined.
    int32_t result = 1;
    std::exception_ptr error;
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(interval_ms);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (percent) Follow(bar, percent());
    });
    std::thread worker([&] {
        try {
            result = call();
        } catch (...) {
            error = std::current_exception();
        }
        // Delivered once the loop runs, even when the call ended before it started.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    tick.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // The loop also ends when the application quits (the window was closed meanwhile): the call still
    // has to end before anything it uses goes.
    worker.join();
    tick.stop();
    if (error) std::rethrow_exception(error);
    return result;
}

}  // namespace desk
