// The text-frame family's status block: one per process, shared by the caller's thread and the
// background worker, never handed out.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvix::tf {

struct LinkStatus {
    std::atomic<int32_t> open{0};        // 1 while a link is open (serial port open or USB chosen)
    std::atomic<int32_t> port{0};        // port of the open link: 0 USB, else COMn (int16: 1-32767)
    std::atomic<int32_t> baud_rate{0};   // rate of the open serial link
    std::atomic<int32_t> worker{0};      // 1 while a background worker runs
    std::atomic<int32_t> status{0};      // StatusIdle, StatusBusy, StatusFailed
    std::atomic<int32_t> last_error{0};  // code of the last failure
    std::atomic<int32_t> percent{0};     // percentage of the running transfer as last computed
    // Set when the last background operation found the link held by another operation: it then
    // counts as failed for thrdQueryStatus until the next operation claims the link.
    std::atomic<int32_t> worker_refused{0};
    // Settings read from section INFO of tarvix.ini at library start.
    std::atomic<int32_t> authority{0};
    std::atomic<int32_t> autopak{0};
    std::atomic<uint32_t> adapttime{50};
};

LinkStatus& Status();

// The data rescue's own percentage (thrdQueryPercent_Ex in mode 3).
extern std::atomic<int32_t> g_rescue_percent;

// Sets the status.  StatusBusy is the busy claim: it returns 1 when claimed and 0 when another
// operation already holds it (the code is then ignored).  Other values store the status and, when
// the code is non-zero, the last error; they return 1.
int32_t SetLinkStatus(int32_t status, int32_t code);
// StatusFailed with ErrNoLink: the detection found nothing.
void SetNoLinkError();
// Claims the worker flag: 0 when claimed, 1 when a worker already runs.
int32_t ClaimWorker();
void ReleaseWorker();
// thrdQueryStatus in mode 3: StatusBusy while a worker runs, else the status.
int32_t QueryStatus();

// Reads the INFO settings (authority, autopak, adapttime) from tarvix.ini.
void LoadSettings();
// adapttime as the probes use it: a value outside 1 to 60000 ms counts as 50.
uint32_t AdaptTimeFromText(const char* text);

}  // namespace tarvix::tf
