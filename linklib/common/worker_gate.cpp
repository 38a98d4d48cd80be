#include "common/worker_gate.h"

#include <thread>

#include "platform/module.h"

namespace tarvix {
namespace {

thread_local const WorkerGate* t_gate = nullptr;  // the gate whose worker this thread is

}  // namespace

void WorkerGate::Launch(std::function<void()> body) {
    platform::PinLibrary();
    std::lock_guard<std::mutex> lock(lock_);
    std::thread([this, body = std::move(body)]() mutable {
        t_gate = this;
        body();
        body = nullptr;  // what the body holds goes before the stop can see the worker ended
        std::lock_guard<std::mutex> ended(lock_);
        --running_;
        done_.notify_all();
    }).detach();
    // Counted under the lock the thread needs to uncount itself: the count never goes below zero.
    ++running_;
}

bool WorkerGate::WaitIdle(Deadline deadline) {
    std::unique_lock<std::mutex> lock(lock_);
    return done_.wait_until(lock, deadline, [this] { return Others() == 0; });
}

int WorkerGate::Others() {
    return running_ - (t_gate == this ? 1 : 0);
}

bool OnWorkerThread() {
    return t_gate != nullptr;
}

}  // namespace tarvix
