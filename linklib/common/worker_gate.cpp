#include "common/worker_gate.h"

#include <algorithm>

#include "platform/module.h"

namespace tarvix {

void WorkerGate::Launch(std::function<void()> body) {
    platform::PinLibrary();
    std::lock_guard<std::mutex> lock(lock_);
    running_.reserve(running_.size() + 1);  // the thread must never fail to be recorded once it runs
    std::thread worker([this, body = std::move(body)]() mutable {
        body();
        body = nullptr;  // what the body holds goes before the stop can see the worker ended
        std::lock_guard<std::mutex> ended(lock_);
        running_.erase(std::find(running_.begin(), running_.end(), std::this_thread::get_id()));
        done_.notify_all();
    });
    // Recorded under the lock the thread needs to remove itself: it is always found there.
    running_.push_back(worker.get_id());
    worker.detach();
}

bool WorkerGate::WaitIdle(Deadline deadline) {
    std::unique_lock<std::mutex> lock(lock_);
    return done_.wait_until(lock, deadline, [this] { return Others() == 0; });
}

bool WorkerGate::OnWorker() {
    std::lock_guard<std::mutex> lock(lock_);
    return std::find(running_.begin(), running_.end(), std::this_thread::get_id()) != running_.end();
}

size_t WorkerGate::Others() {
    const auto self = std::find(running_.begin(), running_.end(), std::this_thread::get_id());
    return running_.size() - (self != running_.end() ? 1 : 0);
}

}  // namespace tarvix
