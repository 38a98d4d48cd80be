#include "textframe/workers.h"

#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "common/codes.h"
#include "common/lasting.h"
#include "common/worker_gate.h"
#include "textframe/frame_transfer.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"
#include "textframe/usb_transport.h"

namespace tarvix::tf {
namespace {

WorkerGate& Gate() {
    static Lasting<WorkerGate> gate;
    return *gate;
}

void RunWorker(WorkerBody body, const WorkerArgs& args, uint32_t stop_code) {
    const int32_t result = body(args);
    // Whichever step the stop cut short (a look-up, a command or the data), the operation ends as a
    // stopped transfer does.
    if (result == ResultFailed && StopPending()) SetLinkStatus(StatusFailed, static_cast<int32_t>(stop_code));
    ClearStop();
    if (result == ResultBusy) {
        // Another operation held the link: this one did nothing, and the caller must see it failed.
        LinkStatus& s = Status();
        s.last_error.store(ErrBusy);
        s.worker_refused.store(1);
    }
    ReleaseWorker();
}

// The thread inside a HeldStop; one at a time, as the link serves one operation at a time.  Not a
// thread_local: the library may be loaded with dlopen, and a leak checker walking a thread's dynamic
// TLS at exit trips over such a module.
std::atomic<std::thread::id> g_stop_holder{};

}  // namespace

// A running background worker owns the stop: an operation refused beside it must not eat its stop.
HeldStop::HeldStop() {
    if (Status().worker.load() == 0) ClearStop();
    g_stop_holder.store(std::this_thread::get_id());
}

HeldStop::~HeldStop() {
    g_stop_holder.store(std::thread::id{});
    if (Status().worker.load() == 0) ClearStop();
}

bool StopHeld() {
    return g_stop_holder.load() == std::this_thread::get_id() || OnWorkerThread();
}

bool StopPending() {
    return StopFlag().load() || Usb().StopRequested();
}

void ClearStop() {
    StopFlag().store(false);
    Usb().ClearStop();
}

int32_t StartWorker(WorkerBody body, const char* name, const char* path, int32_t mode, uint32_t stop_code) {
    if (ClaimWorker() != 0) return ResultBusy;
    const size_t name_length = name != nullptr ? strnlen(name, WorkerArgs::kNameLimit + 1) : 0;
    const size_t path_length = path != nullptr ? strnlen(path, WorkerArgs::kPathLimit + 1) : 0;
    // A cut name or path would make the worker move another file: refuse it.
    if (name_length > WorkerArgs::kNameLimit || path_length > WorkerArgs::kPathLimit) {
        ReleaseWorker();
        SetLinkStatus(StatusFailed, name_length > WorkerArgs::kNameLimit ? ErrBadName : ErrBadParam);
        return ResultFailed;
    }
    // The worker gets its own copy of the arguments: nothing it reads is shared with the next start.
    WorkerArgs args;
    args.name.assign(name != nullptr ? name : "", name_length);
    args.path.assign(path != nullptr ? path : "", path_length);
    args.mode = mode;
    // From here on a stop belongs to this operation, whatever phase it reaches.
    ClearStop();
    try {
        Gate().Launch([body, args = std::move(args), stop_code] { RunWorker(body, args, stop_code); });
    } catch (const std::system_error&) {
        ReleaseWorker();
        SetLinkStatus(StatusFailed, ErrThreadStart);
        return ResultFailed;
    }
    return ResultOk;
}

bool WaitWorkers(std::chrono::steady_clock::time_point deadline) {
    return Gate().WaitIdle(deadline);
}

bool OnWorkerThread() {
    return Gate().OnWorker();
}

}  // namespace tarvix::tf
