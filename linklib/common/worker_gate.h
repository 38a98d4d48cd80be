// The background threads of one family: started detached and counted while they run, so that the
// library's stop can wait for them with a bound and never joins (or waits for) the calling thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace tarvix {

class WorkerGate {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    // Runs `body` on a new detached thread, counted until the body returns.  Before the first thread
    // the library pins itself in memory: a worker that outlives an unload keeps its code mapped.
    // Throws std::system_error when the thread cannot be started (nothing is counted then).
    void Launch(std::function<void()> body);
    // Waits until no worker of this gate runs besides the calling thread, at most until `deadline`.
    // True when none does.
    bool WaitIdle(Deadline deadline);

  private:
    int Others();  // with lock_ held

    std::mutex lock_;
    std::condition_variable done_;
    int running_ = 0;
};

// True on a thread started by a WorkerGate (a worker of either family, also inside a host callback).
bool OnWorkerThread();

}  // namespace tarvix
