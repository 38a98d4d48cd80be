// The byte-frame family's serial line: one COM port at a time, or the switch to the USB transport
// for port 0.  Bytes are taken from a local receive buffer refilled from the driver's queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/serial.h"

namespace tarvix::bf {

constexpr size_t kReceiveBufferSize = 600;

class Line {
  public:
    // 1 for port 0 (USB mode), the port number when a serial port was opened, -1 when it could not be.
    int32_t ComInit(int32_t port, int32_t rate);
    int32_t ComRelease();  // 1 closed (or USB mode), 0 nothing was open
    int32_t IsComInited();
    bool UsbMode() const { return usb_mode_.load(); }
    bool SerialOpen();

    int32_t ReceiveByte(uint8_t* byte);  // 0 a byte, 1 none; never waits
    // Waits up to `timeout_ms` for a byte; false on time-out or when *stop turns true.
    bool WaitByte(uint8_t* byte, uint32_t timeout_ms, const std::atomic<bool>* stop);
    int32_t SendByte(uint8_t byte);                        // 1 written, 0 failed
    int32_t WriteBytes(const uint8_t* data, size_t size);  // 1 all written, 0 failed
    void Purge();                                          // both queues and the receive buffer
    void DropInput();  // what was received and not yet taken, leaving the output alone

  private:
    bool Refill();

    std::unique_ptr<platform::SerialPort> port_;
    std::atomic<bool> usb_mode_{false};
    uint8_t buffer_[kReceiveBufferSize]{};
    size_t read_ = 0;
    size_t end_ = 0;
};

// The USB pipe transport of the family.  No USB device is served yet: every transfer fails with
// kUsbNoDevice, so a detection passes over the USB step.
constexpr int32_t kUsbNoDevice = 10;

class UsbTransport {
  public:
    virtual ~UsbTransport() = default;
    virtual int32_t SendCommand(uint8_t command, uint8_t sub_command, const uint8_t* data,
                                uint16_t length) = 0;
    virtual int32_t SendData(const uint8_t* data, uint32_t length) = 0;
    virtual int32_t ReceiveMessage(uint8_t* buffer, uint32_t room, int32_t* received) = 0;
    // One raw block as the device delivers it, its 16-byte header included (the flash pages of a data
    // rescue).  A transport without it fails the read.
    virtual int32_t ReadRawBlock(uint8_t* buffer, uint32_t size, int32_t* received) {
        (void)buffer;
        (void)size;
        if (received != nullptr) *received = 0;
        return kUsbNoDevice;
    }
};

UsbTransport& Usb();
void SetUsbTransport(UsbTransport* usb);  // nullptr restores the built-in one

}  // namespace tarvix::bf
