// The byte-frame family's serial line: one COM port at a time, or the switch to the USB transport
// for port 0.  Bytes are taken from a local receive buffer refilled from the driver's queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"
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
    // The serial port kept open whose device is gone (the line hung up, or the device failed) is
    // closed and its device opened again at the same rate: 1 done, -1 it did not open (the port is
    // closed then), 0 nothing to do (no serial port in use, or its device is there).
    int32_t ReopenIfHungUp();

    int32_t ReceiveByte(uint8_t* byte);  // 0 a byte, 1 none; never waits
    // Waits up to `timeout_ms` for a byte; false on time-out or when *stop turns true.
    bool WaitByte(uint8_t* byte, uint32_t timeout_ms, const std::atomic<bool>* stop);
    int32_t SendByte(uint8_t byte);                        // 1 written, 0 failed
    int32_t WriteBytes(const uint8_t* data, size_t size);  // 1 all written, 0 failed
    void Purge();                                          // both queues and the receive buffer
    void DropInput();  // what was received and not yet taken, leaving the output alone
    // The port that every COM port opens from now on (a stand-in, in tests); null: the system's port.
    void UsePort(std::unique_ptr<platform::SerialPort> port);

  private:
    bool Refill();

    std::unique_ptr<platform::SerialPort> port_;
    std::string device_;  // device and rate of the last serial open that succeeded
    uint32_t rate_ = 0;
    std::atomic<bool> usb_mode_{false};
    uint8_t buffer_[kReceiveBufferSize]{};
    size_t read_ = 0;
    size_t end_ = 0;
};

// The USB pipe transport of the family (usb_pipes.cpp).  Its results: 0 done, 1 the pipe does not
// open (no device), 2 the device does not open, 3 the transfer request failed, 4 a read or write
// failed, 5 stopped through the stop flag, 10 a received packet's payload is longer than the room
// left (the stream routines also give 7 when the PC file cannot be read or written).
constexpr int32_t kUsbNoDevice = 1;
constexpr int32_t kUsbNoDeviceHandle = 2;
constexpr int32_t kUsbRequestFailed = 3;
constexpr int32_t kUsbIoFailed = 4;
constexpr int32_t kUsbStopped = 5;
constexpr int32_t kUsbTooLong = 10;

class UsbTransport {
  public:
    virtual ~UsbTransport() = default;
    // A command packet (a longer payload goes as a chain of command packets).
    virtual int32_t SendCommand(uint8_t command, uint8_t sub_command, const uint8_t* data,
                                uint16_t length) = 0;
    // A data message of 496-byte packets.
    virtual int32_t SendData(const uint8_t* data, uint32_t length) = 0;
    virtual int32_t ReceiveMessage(uint8_t* buffer, uint32_t room, int32_t* received) = 0;
    // The file streams of an upload and a download, in whole USB blocks.  The caller owns the file.
    // A download takes at most `limit` bytes, the size the handheld announced (8: it sent more).
    virtual int32_t SendStream(platform::File&, uint32_t, bool) { return kUsbNoDevice; }
    virtual int32_t ReceiveStream(platform::File&, bool, uint32_t) { return kUsbNoDevice; }
    // Raw reads of the data rescue, without packet headers: `total` bytes in chunks of `chunk`.
    virtual int32_t ReadChunks(uint8_t*, uint32_t, uint32_t, uint32_t* read) {
        if (read != nullptr) *read = 0;
        return kUsbNoDevice;
    }
    // Payload bytes of one stream packet as the last pipe opening found them (4080 or 496).
    virtual uint32_t PayloadSize() const { return 4080; }
};

// The family's own transport over platform/usb.h.
UsbTransport& BuiltInUsb();
UsbTransport& Usb();
void SetUsbTransport(UsbTransport* usb);  // nullptr restores the built-in one

}  // namespace tarvix::bf
