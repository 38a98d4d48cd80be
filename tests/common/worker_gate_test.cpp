// The workers' gate: a bounded wait for running workers that never waits for the calling worker.
#include "common/worker_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace tarvix {
namespace {

using namespace std::chrono_literals;

WorkerGate::Deadline In(std::chrono::milliseconds ms) {
    return std::chrono::steady_clock::now() + ms;
}

// A worker held in a callback (as in a host question that is never answered): the wait gives up at
// its deadline, and ends as soon as the worker does.
TEST(WorkerGate, WaitIsBoundedAndEndsWithTheWorker) {
    WorkerGate gate;
    EXPECT_TRUE(gate.WaitIdle(In(0ms)));
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    gate.Launch([answered] { answered.wait(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(gate.WaitIdle(In(100ms)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(gate.OnWorker());
    answer.set_value();
    EXPECT_TRUE(gate.WaitIdle(In(10s)));
}

// On the worker's own thread (a host callback that ends the process from there) the wait does not
// count the caller: it returns at once instead of waiting for itself.
TEST(WorkerGate, WorkerDoesNotWaitForItself) {
    WorkerGate gate;
    std::promise<std::pair<bool, bool>> seen;
    gate.Launch([&gate, &seen] {
        const bool on_worker = gate.OnWorker();
        seen.set_value({on_worker, gate.WaitIdle(In(10s))});
    });
    auto result = seen.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    const auto [on_worker, idle] = result.get();
    EXPECT_TRUE(on_worker);
    EXPECT_TRUE(idle);
    EXPECT_TRUE(gate.WaitIdle(In(10s)));
}

}  // namespace
}  // namespace tarvix
