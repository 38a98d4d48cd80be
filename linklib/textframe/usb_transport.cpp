#include "textframe/usb_transport.h"

#include <atomic>

namespace tarvix::tf {
namespace {

// No text-frame USB device can be opened here: every transfer fails as a failed device open does.
class NoUsbDevice final : public UsbTransport {
  public:
    bool SendMemory(const uint8_t*, uint32_t, uint32_t* moved) override { return Fail(moved); }
    bool ReceiveMemory(uint8_t*, uint32_t, uint32_t* moved) override { return Fail(moved); }
    bool SendStream(platform::File&, uint32_t, uint32_t* moved) override { return Fail(moved); }
    bool ReceiveStream(platform::File&, uint32_t, uint32_t* moved) override { return Fail(moved); }
    int32_t Percent() override { return 0; }
    void Stop() override {}

  private:
    static bool Fail(uint32_t* moved) {
        if (moved != nullptr) *moved = 0;
        return false;
    }
};

NoUsbDevice g_no_usb;
std::atomic<UsbTransport*> g_usb{&g_no_usb};

}  // namespace

UsbTransport& Usb() {
    return *g_usb.load();
}

void SetUsbTransport(UsbTransport* transport) {
    g_usb.store(transport != nullptr ? transport : &g_no_usb);
}

}  // namespace tarvix::tf
