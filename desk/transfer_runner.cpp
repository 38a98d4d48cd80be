#include "transfer_runner.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QMetaObject>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>
#include <exception>

namespace desk {

namespace {

// The transfer whose call runs now and the library boxes on view during it (window thread only).
Transfer* g_current = nullptr;
std::vector<QMessageBox*> g_open_boxes;

// How often a stop is asked again while the call has not returned.  The text-frame family forgets a
// stop that falls between two of its transfers (each transfer clears it when it begins), so one
// request alone can be lost; asking again costs a flag write.
constexpr auto kStopRepeat = std::chrono::milliseconds(20);

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

Transfer::Transfer(QWidget* window, std::vector<QAction*> commands, std::function<void()> stop)
    : guard_(window, std::move(commands)), stop_(std::move(stop)) {
    // Sees the application's quit.
    QCoreApplication::instance()->installEventFilter(this);
}

Transfer::~Transfer() {
    endStopper();
    QCoreApplication::instance()->removeEventFilter(this);
}

Transfer* Transfer::current() {
    return g_current;
}

int32_t Transfer::run(const std::function<int32_t()>& call, const std::function<int32_t()>& percent,
                      QProgressBar* bar, int interval_ms) {
    // Written by the call's thread and read here only after it has been joined.
    int32_t result = 1;
    std::exception_ptr error;
    std::atomic<bool> done{false};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        call_ended_ = false;
    }
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(interval_ms);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (percent) Follow(bar, percent());
    });
    running_ = true;
    outer_ = g_current;
    g_current = this;
    // Given back however run ends, also when the call's thread cannot be started.
    struct Over {
        Transfer* transfer;
        ~Over() {
            transfer->endStopper();
            transfer->running_ = false;
            g_current = transfer->outer_;
        }
    } over{this};
    std::thread worker([&] {
        try {
            result = call();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            call_ended_ = true;
        }
        call_ended_signal_.notify_all();
        done.store(true);
        // Delivered once the loop runs, even when the call ended before it started.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    tick.start();
    loop.exec();
    if (!done.load()) {
        // The loop ends before the call only when the application quits (QCoreApplication::quit, the
        // session's end; no event loop runs any more after that).  The call is asked to stop, and the
        // window thread goes on handling events, the library's boxes among them, until it has
        // returned: the call's thread may be waiting for one.
        quitting_ = true;
        stop();
        while (!done.load())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    worker.join();
    tick.stop();
    if (error) std::rethrow_exception(error);
    return result;
}

void Transfer::stop() {
    const bool first = !stopped_;
    stopped_ = true;
    // A box on view holds the call: it is closed with no button pressed, which RunLibraryBox answers
    // with its `unshown`, so that the call goes on and meets the stop.
    if (g_current == this) {
        const std::vector<QMessageBox*> open = g_open_boxes;
        for (QMessageBox* box : open) box->reject();
    }
    if (!first || !running_ || !stop_) return;
    stopper_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!call_ended_) {
            lock.unlock();
            stop_();
            lock.lock();
            call_ended_signal_.wait_for(lock, kStopRepeat, [this] { return call_ended_; });
        }
    });
}

void Transfer::endStopper() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        call_ended_ = true;
    }
    call_ended_signal_.notify_all();
    if (stopper_.joinable()) stopper_.join();
}

bool Transfer::eventFilter(QObject* watched, QEvent* event) {
    if (running_ && event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        // The application is asked to quit (QCoreApplication::quit, the session's end): it closes
        // its windows next, which then go without a question, and ends its event loops.  The call is
        // stopped now, and run() waits for it.
        quitting_ = true;
        stop();
    }
    return QObject::eventFilter(watched, event);
}

int32_t RunWhilePainting(const std::function<int32_t()>& call, const std::function<int32_t()>& percent,
                         QProgressBar* bar, int interval_ms) {
    Transfer transfer(nullptr, {}, {});
    return transfer.run(call, percent, bar, interval_ms);
}

QMessageBox::StandardButton RunLibraryBox(QMessageBox& box, QMessageBox::StandardButton unshown) {
    Transfer* transfer = Transfer::current();
    if (transfer != nullptr && transfer->stopped()) return unshown;
    if (transfer == nullptr) {
        box.exec();
    } else {
        box.setWindowModality(Qt::NonModal);
        QEventLoop loop;
        QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
        g_open_boxes.push_back(&box);
        box.show();
        loop.exec();
        g_open_boxes.erase(std::remove(g_open_boxes.begin(), g_open_boxes.end(), &box), g_open_boxes.end());
        // Still on view: the loop ended because the application quits.
        if (box.isVisible()) box.hide();
    }
    QAbstractButton* clicked = box.clickedButton();
    if (clicked == nullptr) return unshown;
    const QMessageBox::StandardButton pressed = box.standardButton(clicked);
    return pressed == QMessageBox::NoButton ? unshown : pressed;
}

}  // namespace desk
