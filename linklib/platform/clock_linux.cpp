#include <time.h>

#include <atomic>

#include "common/lasting.h"
#include "platform/clock.h"

namespace tarvix::platform {
namespace {

class SystemClock final : public Clock {
  public:
    uint32_t TickMs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t ms =
            static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);  // wraps like the Windows tick count
    }

    void SleepMs(uint32_t ms) override {
        timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0) {
        }
    }

    LocalDateTime Now() override {
        time_t now = time(nullptr);
        tm local{};
        localtime_r(&now, &local);
        return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour,        local.tm_min,     local.tm_sec};
    }
};

// The system clock lives on after the static destructors: a worker may still wait on it at exit.
Clock& SystemClockInstance() {
    static Lasting<SystemClock> clock;
    return *clock;
}

std::atomic<Clock*> g_clock{nullptr};  // null: the system clock

}  // namespace

Clock& GetClock() {
    Clock* installed = g_clock.load();
    return installed != nullptr ? *installed : SystemClockInstance();
}

void SetClock(Clock* clock) {
    g_clock.store(clock);
}

}  // namespace tarvix::platform
