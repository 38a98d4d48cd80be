// Time services on Windows: the system tick count, Sleep and the local time.
#include <windows.h>

#include <atomic>

#include "platform/clock.h"

namespace tarvix::platform {
namespace {

class SystemClock final : public Clock {
  public:
    uint32_t TickMs() override { return GetTickCount(); }

    void SleepMs(uint32_t ms) override { Sleep(ms); }

    LocalDateTime Now() override {
        SYSTEMTIME t{};
        GetLocalTime(&t);
        return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
    }
};

SystemClock g_system_clock;
std::atomic<Clock*> g_clock{&g_system_clock};

}  // namespace

Clock& GetClock() {
    return *g_clock.load();
}

void SetClock(Clock* clock) {
    g_clock.store(clock != nullptr ? clock : &g_system_clock);
}

}  // namespace tarvix::platform
