#include "api/start.h"

#include <chrono>

#include "api/families.h"
#include "byteframe/byteframe.h"
#include "platform/instance.h"
#include "platform/prompt.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix {
namespace {

// The longest the library's stop waits for its workers: a worker that honours the stop flag ends
// within one wait slice, and one held in a host question must not keep the process from ending.
constexpr std::chrono::milliseconds kWorkerStopWait{1500};

}  // namespace

void LibraryAttach() {
    platform::BindHostHooks();
    Tf().ConvertLanguage();  // the text-frame message table
    tf::Attach();
    tf::LoadSettings();
    Bf().ConvertLanguage();  // the byte-frame message table
    bf::Attach();
    platform::AttachInstanceData();
}

bool LibraryDetach() {
    // Workers first, both asked at once and given one bounded wait.
    tf::StopWorkers();
    bf::StopWorkers();
    const auto deadline = std::chrono::steady_clock::now() + kWorkerStopWait;
    const bool tf_idle = tf::WaitWorkers(deadline);
    const bool bf_idle = tf_idle && bf::WaitWorkers(deadline);
    // A worker still running (or the worker that is ending the process from a host callback) keeps
    // everything it may touch: buffers and line stay, and the process's end reclaims them.
    const bool quiet = tf_idle && bf_idle && !tf::OnWorkerThread() && !bf::OnWorkerThread();
    if (quiet) tf::Release();
    platform::DetachInstanceData();
    return quiet;
}

}  // namespace tarvix
