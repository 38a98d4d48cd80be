// Time services: a monotonic millisecond tick, the local date and time, and sleeping.
// Injectable, so that tests never wait out a real time-out.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvix::platform {

struct LocalDateTime {
    int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; 32 bits, wrapping like the Windows tick count.
    virtual uint32_t TickMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual LocalDateTime Now() = 0;
};

// The clock in use; the system clock unless a test installed another.
Clock& GetClock();
// Installs a clock (nullptr restores the system clock).  Not for use while workers run.
void SetClock(Clock* clock);

// Test double: time moves only when told, and sleeping advances it.
class FakeClock : public Clock {
  public:
    uint32_t TickMs() override { return tick_.load(); }
    void SleepMs(uint32_t ms) override { tick_.fetch_add(ms); }
    LocalDateTime Now() override { return now_; }
    void Advance(uint32_t ms) { tick_.fetch_add(ms); }
    void SetTick(uint32_t tick) { tick_.store(tick); }
    void SetNow(const LocalDateTime& now) { now_ = now; }

  private:
    std::atomic<uint32_t> tick_{0};
    LocalDateTime now_{};
};

}  // namespace tarvix::platform
