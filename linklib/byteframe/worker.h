// The family's one background worker at a time.
#pragma once

#include <functional>

namespace tarvix::bf {

// Runs `body` on a worker thread with the status StatusBusy.  When the thread cannot be started the
// status becomes StatusFailed with ErrModuleCall, so the caller can see it and reset it, and false
// is returned.  The body sets the final status itself.
bool LaunchWorker(std::function<void()> body);
// Stops a running worker through the stop flag and waits for it, at most `limit_ms`.
void StopWorker(unsigned limit_ms);

// Tests: make the next thread start fail.
void FailNextWorkerStart();

}  // namespace tarvix::bf
