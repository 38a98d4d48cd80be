// The background threads of one family: started detached and counted while they run, so that the
// library's stop can wait for them with a bound and never joins (or waits for) the calling thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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
    // True on the thread of a running worker of this gate (also inside a host callback it makes).
    bool OnWorker();

  private:
    size_t Others();  // with lock_ held

    std::mutex lock_;
    std::condition_variable done_;
    // The running workers' threads.  Kept here rather than in thread-local storage, which a library
    // loaded at run time holds in memory the loader hands out per thread.
    std::vector<std::thread::id> running_;
};

}  // namespace tarvix
