#include "textframe/link_status.h"

#include <cstdlib>

#include "api/settings.h"
#include "common/codes.h"
#include "common/lasting.h"
#include "platform/profile.h"

namespace tarvix::tf {

LinkStatus& Status() {
    static Lasting<LinkStatus> status;
    return *status;
}

std::atomic<int32_t> g_rescue_percent{0};

int32_t SetLinkStatus(int32_t status, int32_t code) {
    LinkStatus& s = Status();
    if (status == StatusBusy) {
        // The claim's read-and-set is one atomic step: two callers can never both get it.
        if (s.status.exchange(StatusBusy) == StatusBusy) return 0;
        s.worker_refused.store(0);
        return 1;
    }
    s.status.store(status);
    if (code != 0) s.last_error.store(code);
    return 1;
}

void SetNoLinkError() {
    SetLinkStatus(StatusFailed, ErrNoLink);
}

int32_t ClaimWorker() {
    LinkStatus& s = Status();
    if (s.worker.exchange(1) != 0) return 1;
    s.worker_refused.store(0);
    return 0;
}

void ReleaseWorker() {
    Status().worker.store(0);
}

int32_t QueryStatus() {
    const LinkStatus& s = Status();
    if (s.worker.load() != 0) return StatusBusy;
    return s.worker_refused.load() != 0 ? StatusFailed : s.status.load();
}

uint32_t AdaptTimeFromText(const char* text) {
    // Leading decimal digits, as atoi reads them; anything unusable becomes the default 50 ms so that
    // no probe of a silent port waits without bound.
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (end == text || value < 1 || value > 60000) return 50;
    return static_cast<uint32_t>(value);
}

void LoadSettings() {
    const std::string ini = IniPath();
    char buffer[20];
    LinkStatus& s = Status();
    platform::GetProfileString(ini, "INFO", "authority", "", buffer, sizeof buffer);
    s.authority.store(std::string_view(buffer) == "1" ? 1 : 0);
    platform::GetProfileString(ini, "INFO", "autopak", "", buffer, sizeof buffer);
    s.autopak.store(std::string_view(buffer) == "1" ? 1 : 0);
    platform::GetProfileString(ini, "INFO", "adapttime", "", buffer, sizeof buffer);
    s.adapttime.store(AdaptTimeFromText(buffer));
}

}  // namespace tarvix::tf
