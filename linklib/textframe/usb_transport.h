// The USB block transport of the text-frame family, behind a small interface.  The library's own
// transport reaches the handheld's USB driver through platform/usb.h: every transfer looks the device
// up under the two interface identifiers (which also tell DeviceKind), moves whole 4096-byte blocks,
// each announced by a request, and closes the device again.  Tests may install a transport of their
// own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace tarvix::tf {

class UsbTransport {
  public:
    virtual ~UsbTransport() = default;
    // Library start and stop: buffers and the first device open.
    virtual void Setup() {}
    virtual void Teardown() {}
    // Each transfer opens the device itself; true when done, `moved` gets the payload bytes moved.
    virtual bool SendMemory(const uint8_t* data, uint32_t size, uint32_t* moved) = 0;
    virtual bool ReceiveMemory(uint8_t* buffer, uint32_t size, uint32_t* moved) = 0;
    virtual bool SendStream(platform::File& file, uint32_t size, uint32_t* moved) = 0;
    // At most `size` bytes (the size the handheld announced; 0 takes only an empty last block).
    virtual bool ReceiveStream(platform::File& file, uint32_t size, uint32_t* moved) = 0;
    virtual int32_t Percent() = 0;
    virtual void Stop() = 0;
    // The stop request as the transport holds it, and its end (a background operation starts or ends).
    virtual bool StopRequested() const { return false; }
    virtual void ClearStop() {}
};

// The transport in use.
UsbTransport& Usb();
// Installs a transport (nullptr restores the library's own).
void SetUsbTransport(UsbTransport* transport);

// The interface identifiers of the two handheld variants.
inline constexpr char kUsbInterfaceKind4[] = "{5D490A5E-5B66-4A7C-BC31-C75DBC07B407}";
inline constexpr char kUsbInterfaceKind3[] = "{F00DBC59-B2FD-4B88-AE42-4D67DC793690}";

// Block layout and driver requests.
inline constexpr uint32_t kUsbBlockSize = 4096;
inline constexpr uint32_t kUsbPayloadSize = 4088;
inline constexpr uint32_t kUsbLastBlock = 0xFFFFFFFFu;
inline constexpr uint32_t kUsbRequestControl = 0x80002008u;
inline constexpr uint32_t kUsbResetControl = 0x8000200Cu;
inline constexpr uint32_t kUsbWriteRequest = 0x471;
inline constexpr uint32_t kUsbReadRequest = 0x472;
inline constexpr uint32_t kUsbAbortRequest = 0x478;
inline constexpr uint32_t kUsbResetRequest = 0x479;

// What one received block gives a transfer that takes at most `expected` payload bytes from it (the
// smaller of what remains and 4088).  `block` holds the whole kUsbBlockSize bytes.
struct UsbBlockVerdict {
    enum Kind : uint8_t {
        Next,          // more blocks follow
        Last,          // the transfer's last block
        TooLong,       // its payload length exceeds `expected`: the transfer is given up
        EmptyNotLast,  // no payload and not the last: the transfer is given up
    };
    Kind kind = Next;
    uint32_t number = 0;   // the block's own number (not compared with the one expected)
    uint32_t payload = 0;  // its payload length field
    uint32_t deliver = 0;  // bytes to take from offset 8 on: the smaller of `expected` and `payload`
};
UsbBlockVerdict ReadUsbBlock(const uint8_t* block, uint32_t expected);

// Result of the last transfer of the library's own transport: 0 done, 1 failure, 2 device gone or
// not found, 3 block longer than expected, 4 file read or write failed, 6 stopped.
uint8_t LastUsbTransferResult();

}  // namespace tarvix::tf
