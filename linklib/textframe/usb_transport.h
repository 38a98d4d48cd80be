// The USB block transport of the text-frame family, behind a small interface.  No USB device is
// supported on this platform yet: the library's own transport finds no device, so every USB transfer
// (and so the USB step of the detection) fails at once.  A USB transport installs itself here.
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
    virtual bool ReceiveStream(platform::File& file, uint32_t size, uint32_t* moved) = 0;
    virtual int32_t Percent() = 0;
    virtual void Stop() = 0;
};

// The transport in use.
UsbTransport& Usb();
// Installs a transport (nullptr restores the library's own).
void SetUsbTransport(UsbTransport* transport);

}  // namespace tarvix::tf
