#include "byteframe/line.h"

#include <string>

#include "api/settings.h"
#include "platform/clock.h"

namespace tarvix::bf {

namespace {

uint32_t ChooseRate(int32_t rate) {
    switch (rate) {
        case 115200:
        case 9600:
        case 19200:
        case 57600:
            return static_cast<uint32_t>(rate);
        default:
            return 38400;
    }
}

std::atomic<UsbTransport*> g_usb{nullptr};

}  // namespace

UsbTransport& Usb() {
    UsbTransport* usb = g_usb.load();
    return usb != nullptr ? *usb : BuiltInUsb();
}

void SetUsbTransport(UsbTransport* usb) {
    g_usb.store(usb);
}

bool Line::SerialOpen() {
    return port_ != nullptr && port_->IsOpen();
}

int32_t Line::ComInit(int32_t port, int32_t rate) {
    uint16_t number = static_cast<uint16_t>(port);
    if (number == 0) {
        usb_mode_.store(true);
        return 1;
    }
    usb_mode_.store(false);
    if (SerialOpen()) port_->Close();
    // A byte left from an earlier session would be taken as the next frame's answer.
    read_ = end_ = 0;
    device_.clear();
    const std::string device = platform::ComDevicePath(number, IniPath());
    if (device.empty()) return -1;
    if (port_ == nullptr) port_ = platform::MakeSerialPort(kReceiveBufferSize);
    if (port_ == nullptr || !port_->Open(device, ChooseRate(rate))) return -1;
    device_ = device;
    rate_ = ChooseRate(rate);
    return number;  // any value but -1 tells the caller the port is open
}

int32_t Line::ReopenIfHungUp() {
    if (usb_mode_.load() || !SerialOpen() || !port_->HungUp()) return 0;
    port_->Close();
    read_ = end_ = 0;  // bytes of the device that went away
    return port_->Open(device_, rate_) ? 1 : -1;
}

int32_t Line::ComRelease() {
    if (usb_mode_.load()) return 1;
    if (!SerialOpen()) return 0;
    port_->Close();
    return 1;
}

int32_t Line::IsComInited() {
    return (SerialOpen() || usb_mode_.load()) ? 1 : 0;
}

bool Line::Refill() {
    if (!SerialOpen()) return false;
    size_t n = port_->ReadAvailable(buffer_, sizeof buffer_);
    read_ = 0;
    end_ = n;
    // A framing, parity or overrun error or a break (read as 0x00, the answer "accepted") spoils
    // what the driver held.  Asked for after the read, so that every error counted up to it covers
    // the bytes just taken.
    if (port_->TakeLineErrors()) {
        DropInput();
        return false;
    }
    return n > 0;
}

int32_t Line::ReceiveByte(uint8_t* byte) {
    if (read_ == end_ && !Refill()) return 1;
    *byte = buffer_[read_++];
    return 0;
}

bool Line::WaitByte(uint8_t* byte, uint32_t timeout_ms, const std::atomic<bool>* stop) {
    platform::Clock& clock = platform::GetClock();
    uint32_t start = clock.TickMs();
    for (;;) {
        if (stop != nullptr && stop->load()) return false;
        if (ReceiveByte(byte) == 0) return true;
        uint32_t elapsed = clock.TickMs() - start;
        if (elapsed >= timeout_ms || !SerialOpen()) return false;
        // A line whose far end is gone gives nothing more: the wait ends at once.  The port's wait
        // comes back at once on a hang-up, so the port is asked only after a wait that brought nothing.
        if (!port_->WaitReadable(timeout_ms - elapsed, stop) && port_->HungUp()) return false;
    }
}

int32_t Line::SendByte(uint8_t byte) {
    return WriteBytes(&byte, 1);
}

int32_t Line::WriteBytes(const uint8_t* data, size_t size) {
    if (!SerialOpen()) return 0;
    port_->TakeLineErrors();
    return port_->Write(data, size, 2000) == size ? 1 : 0;
}

void Line::Purge() {
    read_ = end_ = 0;
    if (!SerialOpen()) return;
    port_->TakeLineErrors();
    port_->Purge();
}

void Line::DropInput() {
    read_ = end_ = 0;
    if (!SerialOpen()) return;
    // A line that keeps babbling cannot hold the caller: at most this many buffers go.
    uint8_t scratch[kReceiveBufferSize];
    for (int rounds = 0; rounds < 64 && port_->ReadAvailable(scratch, sizeof scratch) > 0; ++rounds) {
    }
}

void Line::UsePort(std::unique_ptr<platform::SerialPort> port) {
    if (SerialOpen()) port_->Close();
    read_ = end_ = 0;
    port_ = std::move(port);
}

}  // namespace tarvix::bf
