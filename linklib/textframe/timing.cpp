#include "textframe/timing.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "textframe/link_status.h"
#include "textframe/serial_line.h"

namespace tarvix::tf {
namespace {

// Replaced only while nothing transfers, read on every frame: a plain copy behind an atomic pointer.
Timing g_default_timing;
Timing g_installed;
std::atomic<const Timing*> g_timing{&g_default_timing};

// The limit in force: whether one is set, its end on the platform's tick (which wraps), and the
// thread that set it, which runs the operation and all its transfers (a link test that another thread
// may start meanwhile keeps its own waits).  No thread-local storage: the library may be unloaded
// while threads that used it live on.
std::atomic<bool> g_deadline_set{false};
std::atomic<uint32_t> g_deadline_end{0};
std::atomic<std::thread::id> g_deadline_owner{};

bool DeadlineHere() {
    return g_deadline_set.load() && g_deadline_owner.load() == std::this_thread::get_id();
}

uint32_t LeftMs() {
    const auto left = static_cast<int32_t>(g_deadline_end.load() - platform::GetClock().TickMs());
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
    g_deadline_set.store(false);
}

void ExchangeDeadline::Hold() {
    if (!DeadlineHere()) return;
    left_ms_ = LeftMs();
    g_deadline_set.store(false);
}

void ExchangeDeadline::Resume() {
    // The signed difference of the tick reads the end correctly for budgets below 24 days.
    g_deadline_end.store(platform::GetClock().TickMs() + std::min<uint32_t>(left_ms_, 0x7FFFFFFFu));
    g_deadline_owner.store(std::this_thread::get_id());
    g_deadline_set.store(true);
}

bool DeadlinePassed() {
    return DeadlineHere() && LeftMs() == 0;
}

uint32_t WaitWithinDeadline(uint32_t timeout_ms) {
    if (!DeadlineHere() || timeout_ms == kNoWait) return timeout_ms;
    const uint32_t left = std::max<uint32_t>(LeftMs(), 1);
    return timeout_ms == 0 ? left : std::min(timeout_ms, left);
}

LinkTimeouts LinkTestTimeouts() {
    const Timing& t = GetTiming();
    const uint32_t timeout = t.link_test_timeout_ms != 0 ? t.link_test_timeout_ms : Status().adapttime.load();
    return LinkTimeouts(timeout, 1);
}

}  // namespace tarvix::tf
