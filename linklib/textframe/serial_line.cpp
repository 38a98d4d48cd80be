#include "textframe/serial_line.h"

#include <algorithm>

#include "api/settings.h"
#include "common/lasting.h"
#include "platform/clock.h"
#include "textframe/timing.h"

namespace tarvix::tf {
namespace {

// A read without a time-out still ends: nothing the handheld does takes a minute per byte.
constexpr uint32_t kUnboundedReadLimitMs = 60000;
// Waits are cut into slices so that the stop flag is seen promptly.
constexpr uint32_t kSliceMs = 20;
// A purge reads away at most this many buffers of stale input (a babbling line cannot hold it).
constexpr size_t kMaxDropRounds = 64;

}  // namespace

SerialLine& Line() {
    static Lasting<SerialLine> line;
    return *line;
}

bool IsSupportedRate(uint32_t baud_rate) {
    return baud_rate == 9600 || baud_rate == 38400 || baud_rate == 57600 || baud_rate == 115200;
}

bool SerialLine::Open(int port, uint32_t baud_rate) {
    Close();
    device_.clear();
    const int number = port & 0xFFFF;
    if (number < 1) return false;
    const std::string device = platform::ComDevicePath(number, IniPath());
    if (device.empty()) return false;
    if (port_ == nullptr) port_ = platform::MakeSerialPort(1024);
    if (port_ == nullptr || !port_->Open(device, baud_rate)) return false;
    if (!IsSupportedRate(baud_rate)) {
        port_->Close();
        return false;
    }
    baud_rate_ = baud_rate;
    device_ = device;
    return true;
}

bool SerialLine::Reopen() {
    Close();
    if (port_ == nullptr || device_.empty()) return false;
    return port_->Open(device_, baud_rate_);
}

void SerialLine::UsePort(std::unique_ptr<platform::SerialPort> port) {
    Close();
    read_ = fill_ = 0;
    port_ = std::move(port);
}

void SerialLine::Close() {
    if (port_ != nullptr) port_->Close();
    read_ = fill_ = 0;
}

bool SerialLine::Write(const uint8_t* data, size_t size) {
    if (!IsOpen()) return false;
    // A pending line error must not hold up the write.
    port_->TakeLineErrors();
    const Timing& t = GetTiming();
    const uint64_t deadline = t.write_base_ms + uint64_t{t.write_per_byte_ms} * size;
    const uint32_t timeout = static_cast<uint32_t>(std::min<uint64_t>(deadline, 0xFFFFFFF0u));
    return port_->Write(data, size, timeout) == size;
}

void SerialLine::Purge() {
    if (IsOpen()) {
        port_->TakeLineErrors();
        DropInput();
    }
    read_ = fill_ = 0;
}

void SerialLine::DropInput() {
    // Only what came in is dropped.  Flushing the output side as well could swallow an answer byte we
    // wrote a moment ago that the other end has not read yet (a pseudo-terminal holds it until then).
    for (size_t rounds = 0; rounds < kMaxDropRounds; ++rounds) {
        if (port_->ReadAvailable(buffer_.data(), buffer_.size()) == 0) break;
    }
}

bool SerialLine::TakeBuffered(uint8_t* out) {
    if (read_ == fill_) return false;
    *out = buffer_[read_++];
    if (read_ == fill_) read_ = fill_ = 0;
    return true;
}

void SerialLine::Refill() {
    read_ = fill_ = 0;
    if (!IsOpen()) return;
    fill_ = port_->ReadAvailable(buffer_.data(), buffer_.size());
    // Bytes that came with a framing, parity or overrun error or a break cannot be trusted (a break
    // reads as 0x00, the acknowledgement): drop them with whatever else waits.  The errors are asked
    // for after the read, so that every error counted up to it covers the bytes it gave.
    if (port_->TakeLineErrors()) {
        read_ = fill_ = 0;
        DropInput();
    }
}

int SerialLine::ReadByte(uint8_t* out, uint32_t timeout_ms, bool stoppable) {
    const std::atomic<bool>* stop = stoppable ? watched_.load() : nullptr;
    if (stop != nullptr && stop->load()) return ReadStopped;
    if (TakeBuffered(out)) return ReadByteOk;
    if (timeout_ms == kNoWait) return ReadTimeout;
    const uint32_t limit = timeout_ms == 0 ? kUnboundedReadLimitMs : timeout_ms;
    platform::Clock& clock = platform::GetClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        Refill();
        if (TakeBuffered(out)) return ReadByteOk;
        if (stop != nullptr && stop->load()) return ReadStopped;
        const uint32_t elapsed = clock.TickMs() - start;
        // A line whose far end is gone gives nothing more: the wait ends at once.
        if (elapsed >= limit || !IsOpen() || port_->HungUp()) return ReadTimeout;
        const uint32_t wait = std::min(limit - elapsed, kSliceMs);
        const uint32_t before = clock.TickMs();
        if (!port_->WaitReadable(wait, stop) && clock.TickMs() == before) {
            // A hung-up line reports itself readable-or-done at once: pause instead of spinning.
            clock.SleepMs(std::min<uint32_t>(wait, 5));
        }
    }
}

}  // namespace tarvix::tf
