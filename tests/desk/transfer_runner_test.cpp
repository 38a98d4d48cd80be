// A library call run while the window stays painted: the window thread keeps handling its events
// during the call, the bar follows the percent the library can tell, the call's result or error comes
// back, and a stop is asked for until the call has returned.
#include "transfer_runner.h"

#include <gtest/gtest.h>

#include <QProgressBar>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

// Waits, bounded, on the call's thread for a condition the window thread makes true.
template <typename F>
bool WaitFor(F&& condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(RunWhilePainting, BarFollowsThePercentTheLibraryCanTell) {
    QProgressBar bar;
    bar.setRange(0, 200);  // the percent is laid over the bar's own range
    bar.show();
    std::atomic<int> percent{-1}, shown{-1}, ticks{0};
    QTimer look;
    look.setInterval(1);
    QObject::connect(&look, &QTimer::timeout, [&] {
        shown = bar.value();
        ++ticks;
    });
    look.start();
    bool waited = true;
    const int32_t result = desk::RunWhilePainting(
        [&]() -> int32_t {
            percent = 40;
            waited = waited && WaitFor([&] { return shown.load() == 80; });
            // A percent the library cannot mean mid-way (100 and more, or below 0) leaves the bar.
            for (int unknown : {250, 100, -1}) {
                percent = unknown;
                const int from = ticks.load();
                waited = waited && WaitFor([&] { return ticks.load() >= from + 5; });
            }
            return 7;
        },
        [&] { return percent.load(); }, &bar, 1);
    look.stop();
    EXPECT_TRUE(waited) << "the window thread handled no events while the call ran";
    EXPECT_EQ(result, 7);
    EXPECT_EQ(bar.value(), 80);
}

TEST(RunWhilePainting, ErrorOfTheCallComesBack) {
    EXPECT_THROW(desk::RunWhilePainting(
                     []() -> int32_t { throw std::runtime_error("the link library failed"); }, {}, nullptr),
                 std::runtime_error);
    EXPECT_EQ(desk::RunWhilePainting([] { return 3; }, [] { return 50; }, nullptr), 3);
}

// The text-frame family forgets a stop that falls between two of its transfers, so one request can be
// lost: the stop is asked again until the call has returned, and no more once it has.
TEST(RunWhilePainting, AStopIsAskedAgainUntilTheCallReturns) {
    std::atomic<int> stops{0};
    std::atomic<bool> started{false};
    desk::Transfer transfer(nullptr, {}, [&] { ++stops; });
    QTimer ask;
    ask.setInterval(1);
    QObject::connect(&ask, &QTimer::timeout, [&] {
        if (!started) return;
        transfer.stop();
        ask.stop();
    });
    ask.start();
    bool waited = true;
    const int32_t result = transfer.run(
        [&]() -> int32_t {
            started = true;
            waited = WaitFor([&] { return stops.load() >= 3; });
            return 1;
        },
        {}, nullptr);
    EXPECT_TRUE(waited) << "the stop was asked once only";
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(transfer.stopped());
    const int after = stops.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(stops.load(), after) << "a stop asked after the call had returned";
}

}  // namespace
