// The family's one background worker at a time.
#pragma once

#include <cstdint>
#include <string>

namespace tarvix::tf {

// The argument block of a background operation: a handheld name (at most 255 characters), a PC path
// (at most 259 characters) and the overwrite or confirm mode.
struct WorkerArgs {
    static constexpr size_t kNameLimit = 255;
    static constexpr size_t kPathLimit = 259;
    std::string name;
    std::string path;
    int32_t mode = 0;
};

using WorkerBody = int32_t (*)(const WorkerArgs& args);

// Claims the worker flag and runs `body` on a thread of its own: 0 started, 1 refused (argument too
// long: ErrBadName or ErrBadParam; thread not started: ErrThreadStart), 3 a worker already runs.
// The stop request is cleared when the worker starts and when it ends, never in between: a stop at
// any phase ends the operation with StatusFailed and `stop_code`, the code its data transfer gives a stop.
int32_t StartWorker(WorkerBody body, const char* name, const char* path, int32_t mode, uint32_t stop_code);

// A stop asked by thrdStop on either transport and not yet cleared.
bool StopPending();
void ClearStop();

// An operation of many transfers on the caller's thread (a listing) holds the stop as a background
// operation does: cleared when it begins and ends, kept across its transfers in between, so that a
// stop that comes between two of them still ends it.  One at a time per thread.
class HeldStop {
  public:
    HeldStop();
    ~HeldStop();
    HeldStop(const HeldStop&) = delete;
    HeldStop& operator=(const HeldStop&) = delete;
};
// True on a worker's thread and inside a HeldStop: the transfers leave the stop as it is.
bool StopHeld();

}  // namespace tarvix::tf
