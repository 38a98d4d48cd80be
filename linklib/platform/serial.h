// Serial ports.  COMn (n = 1 to 65535, the port numbers a 16-bit port argument carries) names a
// device: on Windows "\\.\COMn"; on Linux the variable TARVIX_COMn when set, else the key COMn of
// section PORTS in tarvix.ini, else /dev/ttyS(n-1).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarvix::platform {

// The highest port number: the port arguments carry it in 16 bits.
constexpr int kMaxComPort = 0xFFFF;

// The device path of COMn; `ini_path` is the tarvix.ini in force ("" for none).  Empty for a number
// outside 1 to 65535.
std::string ComDevicePath(int n, const std::string& ini_path);

class SerialPort {
  public:
    virtual ~SerialPort() = default;
    // Opens the device exclusively, raw 8N1 at the given rate, DTR on and RTS off where the device
    // has modem lines.  False when the device cannot be opened or the rate is not supported.
    virtual bool Open(const std::string& device, uint32_t baud_rate) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual bool SetBaudRate(uint32_t baud_rate) = 0;
    // Bytes waiting in the input queue.
    virtual size_t QueuedBytes() = 0;
    // True (and cleared) when the line reported framing, parity or overrun errors or a break since
    // the last call.  A break arrives as a 0x00 byte, which must never pass for data.
    virtual bool TakeLineErrors() = 0;
    // True when the device is gone: the line hung up (an unplugged adapter, a closed pseudo-terminal)
    // or the device failed a read, a write or a status query in a way that only a new open can mend.
    // Nothing more will come until the port is opened again, and a wait for input ends at once.  The
    // port's own calls note it as they meet it, and this call looks for it afresh (without reading);
    // once seen it stays until the next Open.  A time-out is no failure of the device.
    virtual bool HungUp() { return false; }
    // Discards unread input (written output is never taken back).
    virtual void Purge() = 0;
    // Reads what is there without waiting; returns the byte count (0 when none).
    virtual size_t ReadAvailable(uint8_t* buffer, size_t size) = 0;
    // Waits until at least one byte can be read, the time is up, the line hangs up or *stop becomes
    // true; true when a byte is there.  Waits in slices so that the stop flag is seen promptly.
    virtual bool WaitReadable(uint32_t timeout_ms, const std::atomic<bool>* stop) = 0;
    // Writes all bytes unless the deadline passes; returns the bytes written.
    virtual size_t Write(const uint8_t* data, size_t size, uint32_t timeout_ms) = 0;
};

// The operating system's serial port.  `queue_bytes` is the size of the input and output queues asked
// of the driver where the system has such a setting (each family asks for its own).
std::unique_ptr<SerialPort> MakeSerialPort(uint32_t queue_bytes = 1024);

}  // namespace tarvix::platform
