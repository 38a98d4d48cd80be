// The serial line under the text frames: one COM port at a time, a local receive buffer refilled from
// the port's input queue, byte reads with a deadline and an optional stop flag, whole writes, purges.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial.h"

namespace tarvix::tf {

// Read time-out that takes only a byte already in the local buffer; the port is not polled.
constexpr uint32_t kNoWait = 0xFFFFFFFFu;

enum ReadResult : int { ReadByteOk = 0, ReadTimeout = 1, ReadStopped = 8 };

class SerialLine {
  public:
    // Opens COMn (the device path comes from the platform's port map) at one of the family's rates.
    bool Open(int port, uint32_t baud_rate);
    void Close();
    bool IsOpen() const { return port_ != nullptr && port_->IsOpen(); }
    // The rate the port was last opened at (the time a frame takes on the line follows from it).
    uint32_t BaudRate() const { return baud_rate_; }
    // True when the open port's device is gone (the line hung up, or the device failed): only a new
    // open reaches what is on that port now.
    bool HungUp() { return IsOpen() && port_->HungUp(); }
    // Closes the port and opens the device of the last Open again at the same rate (a device that went
    // away and came back under the same name).  False when it does not open; the port is closed then.
    bool Reopen();

    // True when every byte went out before the write deadline.
    bool Write(const uint8_t* data, size_t size);
    bool SendByte(uint8_t byte) { return Write(&byte, 1); }
    // Drops everything queued both ways and the local buffer.
    void Purge();
    // The next byte.  `timeout_ms` 0 waits without a time-out (the stop flag and a safety bound still
    // end it), kNoWait takes only a buffered byte.  A stoppable read watches the stop flag.
    int ReadByte(uint8_t* out, uint32_t timeout_ms, bool stoppable);

    // The port that COMn opens from now on (a stand-in, in tests); null: the system's port.
    void UsePort(std::unique_ptr<platform::SerialPort> port);

    // The flag a stoppable read watches (the family's stop flag), or none.
    void WatchStop(const std::atomic<bool>* stop) { watched_.store(stop); }

  private:
    bool TakeBuffered(uint8_t* out);
    void DropInput();
    void Refill();

    std::unique_ptr<platform::SerialPort> port_;
    std::string device_;  // of the last open that succeeded
    std::array<uint8_t, 1024> buffer_{};
    size_t read_ = 0;
    size_t fill_ = 0;
    uint32_t baud_rate_ = 115200;
    std::atomic<const std::atomic<bool>*> watched_{nullptr};
};

SerialLine& Line();

// The family's baud rates.
bool IsSupportedRate(uint32_t baud_rate);

}  // namespace tarvix::tf
