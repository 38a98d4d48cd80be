#include "textframe/workers.h"

#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/codes.h"
#include "platform/process.h"
#include "textframe/link_status.h"

namespace tarvix::tf {
namespace {

std::mutex g_thread_lock;  // guards g_thread only; never held while a worker runs its operation
// Never destroyed: at process exit a worker may still be joinable (its thread already ended by the
// system, not joined), and destroying a joinable thread would end the process abnormally.
std::thread& g_thread = *new std::thread;
WorkerArgs g_args;

void RunWorker(WorkerBody body) {
    const int32_t result = body(g_args);
    if (result == ResultBusy) {
        // Another operation held the link: this one did nothing, and the caller must see it failed.
        LinkStatus& s = Status();
        s.last_error.store(ErrBusy);
        s.worker_refused.store(1);
    }
    ReleaseWorker();
}

}  // namespace

int32_t StartWorker(WorkerBody body, const char* name, const char* path, int32_t mode) {
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
    platform::KeepLibraryLoaded();
    try {
        g_thread = std::thread(RunWorker, body);
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
