#include "textframe/timing.h"

#include <algorithm>
#include <atomic>

#include "platform/clock.h"
#include "textframe/link_status.h"

namespace tarvix::tf {
namespace {

// Replaced only while nothing transfers, read on every frame: a plain copy behind an atomic pointer.
Timing g_default_timing;
Timing g_installed;
std::atomic<const Timing*> g_timing{&g_default_timing};

// The limit in force on this thread (the one that runs the operation and all its transfers, so that
// a link test another thread may start meanwhile keeps its own waits): its end on the platform's tick,
// which wraps, and whether one is set.
thread_local bool t_deadline_set = false;
thread_local uint32_t t_deadline_end = 0;

uint32_t LeftMs() {
    const auto left = static_cast<int32_t>(t_deadline_end - platform::GetClock().TickMs());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

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

ExchangeDeadline::ExchangeDeadline(uint32_t budget_ms) {
    left_ms_ = budget_ms;
    Resume();
}

ExchangeDeadline::~ExchangeDeadline() {
    t_deadline_set = false;
}

void ExchangeDeadline::Hold() {
    if (!t_deadline_set) return;
    left_ms_ = LeftMs();
    t_deadline_set = false;
}

void ExchangeDeadline::Resume() {
    // The signed difference of the tick reads the end correctly for budgets below 24 days.
    t_deadline_end = platform::GetClock().TickMs() + std::min<uint32_t>(left_ms_, 0x7FFFFFFFu);
    t_deadline_set = true;
}

bool DeadlinePassed() {
    return t_deadline_set && LeftMs() == 0;
}

uint32_t WaitWithinDeadline(uint32_t timeout_ms) {
    if (!t_deadline_set || timeout_ms == 0xFFFFFFFFu) return timeout_ms;
    const uint32_t left = std::max<uint32_t>(LeftMs(), 1);
    return timeout_ms == 0 ? left : std::min(timeout_ms, left);
}

LinkTimeouts LinkTestTimeouts() {
    const Timing& t = GetTiming();
    const uint32_t timeout = t.link_test_timeout_ms != 0 ? t.link_test_timeout_ms : Status().adapttime.load();
    return LinkTimeouts(timeout, 1);
}

}  // namespace tarvix::tf
