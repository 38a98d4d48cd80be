#include "textframe/timing.h"

#include <atomic>

#include "textframe/link_status.h"

namespace tarvix::tf {
namespace {

// Replaced only while nothing transfers, read on every frame: a plain copy behind an atomic pointer.
Timing g_default_timing;
Timing g_installed;
std::atomic<const Timing*> g_timing{&g_default_timing};

}  // namespace

const Timing& GetTiming() {
    return *g_timing.load();
}

void SetTiming(const Timing& timing) {
    g_installed = timing;
    g_timing.store(&g_installed);
}

void ResetTiming() {
    g_timing.store(&g_default_timing);
}

LinkTimeouts DefaultTimeouts() {
    const Timing& t = GetTiming();
    return LinkTimeouts(t.default_timeout_ms, t.default_attempts);
}

LinkTimeouts LinkTestTimeouts() {
    const Timing& t = GetTiming();
    const uint32_t timeout = t.link_test_timeout_ms != 0 ? t.link_test_timeout_ms : Status().adapttime.load();
    return LinkTimeouts(timeout, 1);
}

}  // namespace tarvix::tf
