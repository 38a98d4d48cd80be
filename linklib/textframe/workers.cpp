#include "textframe/workers.h"

#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/codes.h"
#include "textframe/frame_transfer.h"
#include "textframe/link_status.h"
#include "textframe/usb_transport.h"

namespace tarvix::tf {
namespace {

std::mutex g_thread_lock;  // guards g_thread only; never held while a worker runs its operation
std::thread g_thread;
WorkerArgs g_args;
thread_local bool t_on_worker = false;

void RunWorker(WorkerBody body, uint32_t stop_code) {
    t_on_worker = true;
    const int32_t result = body(g_args);
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

}  // namespace

bool OnWorker() {
    return t_on_worker;
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
    std::lock_guard<std::mutex> lock(g_thread_lock);
    // The worker flag was clear, so an earlier thread has finished its work: collect it.
    if (g_thread.joinable()) g_thread.join();
    g_args.name.assign(name != nullptr ? name : "", name_length);
    g_args.path.assign(path != nullptr ? path : "", path_length);
    g_args.mode = mode;
    // From here on a stop belongs to this operation, whatever phase it reaches.
    ClearStop();
    try {
        g_thread = std::thread(RunWorker, body, stop_code);
    } catch (const std::system_error&) {
        ReleaseWorker();
        SetLinkStatus(StatusFailed, ErrThreadStart);
        return ResultFailed;
    }
    return ResultOk;
}

void JoinWorker() {
    std::lock_guard<std::mutex> lock(g_thread_lock);
    if (g_thread.joinable()) g_thread.join();
}

}  // namespace tarvix::tf
