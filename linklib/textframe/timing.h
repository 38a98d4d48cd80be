// How long the text-frame family waits.  The protocol's waits are fixed numbers; tests and benchmarks
// replace them here so that no test has to wait out a real time-out.
#pragma once

#include <cstdint>

namespace tarvix::tf {

// The wait for an answer byte (or the first byte of an awaited frame) and the sends of one frame.
struct LinkTimeouts {
    uint32_t timeout_ms;
    uint32_t attempts;
    LinkTimeouts(uint32_t timeout, uint32_t tries) : timeout_ms(timeout), attempts(tries) {}
};

struct Timing {
    uint32_t default_timeout_ms = 1000;  // the record a command or transfer gets when none is given
    uint32_t default_attempts = 3;
    uint32_t byte_timeout_ms = 500;  // between the bytes of one frame
    uint32_t receive_attempts = 3;   // receives of one awaited data frame
    uint32_t write_base_ms = 1000;   // a write may take this plus write_per_byte_ms per byte
    uint32_t write_per_byte_ms = 2;
    uint32_t status_reply_timeout_ms = 1000;  // the 3-byte status reply of a command
    // 0: the adapttime setting; otherwise the link test's time-out in its place.
    uint32_t link_test_timeout_ms = 0;
    // Entries a listing takes before it gives a handheld that never ends its search up.
    uint32_t listing_cap = 100000;
    // What an upload may spend on making sure of the file once its data went out: the verdict, the
    // look-up of the entry, and a second send's commands and verdict (its data have their own waits).
    uint32_t upload_check_ms = 20000;
};

const Timing& GetTiming();
// Installs waits (tests, benchmarks).  Not while a transfer runs.
void SetTiming(const Timing& timing);
void ResetTiming();

// The default record {1000 ms, 3 attempts} as currently set.
LinkTimeouts DefaultTimeouts();
// The link test's record {adapttime, 1 attempt}.
LinkTimeouts LinkTestTimeouts();

// A limit on the time a run of exchanges takes as a whole, however the handheld answers: while one is
// in force, every wait of the serial frames and of the USB replies on the thread that set it ends by
// it, and no frame is sent after it passed.  One at a time, set by the operation that holds the link.
class ExchangeDeadline {
  public:
    explicit ExchangeDeadline(uint32_t budget_ms);
    ~ExchangeDeadline();
    ExchangeDeadline(const ExchangeDeadline&) = delete;
    ExchangeDeadline& operator=(const ExchangeDeadline&) = delete;
    // Lifts the limit while data move that have waits of their own, and puts back what was left of it.
    void Hold();
    void Resume();

  private:
    uint32_t left_ms_ = 0;
};

// True when a limit is in force and has passed.
bool DeadlinePassed();
// A wait of `timeout_ms` (0: without a time-out) cut to what is left of the limit in force, at least
// 1 ms; kNoWait (take only what already came) stays as it is.
uint32_t WaitWithinDeadline(uint32_t timeout_ms);

}  // namespace tarvix::tf
