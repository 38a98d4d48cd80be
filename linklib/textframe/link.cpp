// Opening, testing and finding the text-frame link, the handheld's number, and the raw exports.
#include <cstring>

#include "api/link_state.h"
#include "common/codes.h"
#include "textframe/commands.h"
#include "textframe/frame_transfer.h"
#include "textframe/link_status.h"
#include "textframe/serial_line.h"
#include "textframe/textframe.h"
#include "textframe/usb_transport.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

constexpr uint32_t kRates[] = {115200, 57600, 38400, 9600};
constexpr char kModelCode[] = "R9M";

// The port as ComInit takes it: its low 16 bits, signed.
int32_t PortNumber(int32_t port) {
    return static_cast<int16_t>(port);
}

// True when ComInit on this pair keeps the link open from before as it is (the rate counts on a serial
// link only).
bool KeepsLink(int32_t number, int32_t rate) {
    const LinkStatus& s = Status();
    return s.open.load() != 0 && s.port.load() == number && (number == 0 || s.baud_rate.load() == rate);
}

// True when ComInit on this pair keeps the serial link open from before as it is.
bool KeptSerialLink(int32_t port, int32_t rate) {
    const int32_t number = PortNumber(port);
    return number != 0 && KeepsLink(number, rate) && Line().IsOpen();
}

// 0 answered, 1 no answer, 2 the link did not open.
int ProbeLink(TextFrame& tf, int32_t port, int32_t rate) {
    // The serial link kept open since the last call may have lost its device meanwhile (an adapter
    // pulled and plugged in again, a handheld restarted): that port stays hung up for good, so the same
    // device is opened again at the same rate, once, when the port shows it before the link test or
    // after a link test that failed.
    bool may_reopen = KeptSerialLink(port, rate);
    if (tf.ComInit(port, rate) == 0) return 2;
    const LinkTimeouts timeouts = LinkTestTimeouts();
    int outcome = 1;
    for (;;) {
        if (may_reopen && Line().HungUp()) {
            may_reopen = false;
            if (!Line().Reopen()) {
                outcome = 2;
                break;
            }
        }
        if (HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts)) {
            outcome = 0;
            break;
        }
        if (!may_reopen || !Line().HungUp()) break;
    }
    tf.ComRelease();
    return outcome;
}

// 0 the handheld gave the model code of the variant 4, 1 it did not, 2 the link did not open.
int ProbeDeviceKind(TextFrame& tf, int32_t port, int32_t rate) {
    if (tf.ComInit(port, rate) == 0) return 2;
    if (!HcCommand(CmdFile, SubDeviceKind, nullptr)) {
        tf.ComRelease();
        return 1;
    }
    uint8_t answer[10] = {};
    uint32_t received = 0;
    const LinkTimeouts timeouts = LinkTestTimeouts();
    const bool ok = LinkReceiveData(answer, sizeof answer, &received, &timeouts);
    tf.ComRelease();
    return ok && received >= 3 && std::memcmp(answer, kModelCode, 3) == 0 ? 0 : 1;
}

}  // namespace

int32_t TextFrame::ComInit(int32_t port, int32_t rate) {
    LinkStatus& s = Status();
    const int32_t number = PortNumber(port);
    if (KeepsLink(number, rate)) return s.open.load();
    if (s.open.load() != 0) ComRelease();
    const int32_t opened = number == 0 ? 1 : (Line().Open(number, static_cast<uint32_t>(rate)) ? 1 : 0);
    s.open.store(opened);
    s.port.store(number);
    s.baud_rate.store(rate);
    return opened;
}

void TextFrame::ComRelease() {
    LinkStatus& s = Status();
    s.open.store(0);
    if (s.port.load() != 0) Line().Close();
    SetLinkStatus(StatusIdle, 0);
}

int32_t TextFrame::TestHcLink() {
    if (Status().open.load() == 0) return 2;
    const LinkTimeouts timeouts = LinkTestTimeouts();
    return HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts) ? 0 : 1;
}

int32_t TextFrame::DetectLink(int32_t* port, int32_t* rate, uint8_t* mode) {
    int32_t local_port = 1;
    int32_t local_rate = 115200;
    if (port == nullptr) port = &local_port;
    if (rate == nullptr) rate = &local_rate;
    const int32_t saved_port = PortNumber(*port);
    const int32_t saved_rate = *rate;

    bool found = ProbeLink(*this, saved_port, saved_rate) == 0;
    if (!found && ProbeLink(*this, 0, 0) == 0) {
        *port = 0;
        found = true;
    }
    for (int32_t com = 1; com <= 4 && !found; ++com) {
        for (uint32_t r : kRates) {
            const int32_t candidate = static_cast<int32_t>(r);
            if (com == saved_port && candidate == saved_rate) continue;
            const int outcome = ProbeLink(*this, com, candidate);
            if (outcome == 0) {
                *port = com;
                *rate = candidate;
                found = true;
                break;
            }
            if (outcome == 2) break;  // the port cannot be opened: its other rates are not tried
        }
    }
    if (!found) return 1;
    if (DeviceKind != 4 && *port != 0 && ProbeDeviceKind(*this, *port, *rate) == 0) {
        DeviceKind = 4;
    }
    if (mode != nullptr) *mode = 3;
    return 0;
}

int32_t TextFrame::ThrdGetHcNum(char* number) {
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (number == nullptr) {
        SetLinkStatus(StatusFailed, ErrBadParam);
        return ResultFailed;
    }
    if (!HcCommand(CmdFile, SubDeviceNumber, nullptr)) {
        SetLinkStatus(StatusFailed, ErrOperation);
        return ResultFailed;
    }
    uint32_t received = 0;
    const bool ok = LinkReceiveData(reinterpret_cast<uint8_t*>(number), 15, &received);
    // Terminated also on failure: a caller that prints the buffer anyway stays inside it.
    number[received] = '\0';
    if (!ok || received < 8) {
        SetLinkStatus(StatusFailed, ErrReceiveFail);
        return ResultFailed;
    }
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

int32_t TextFrame::SendData(const uint8_t* data, uint32_t length) {
    // A length that came in negative would send whatever lies behind the caller's buffer.
    if ((data == nullptr && length > 0) || length > 0x7FFFFFFFu) return 1;
    uint32_t sent = 0;
    return LinkSendData(data, length, &sent) && sent == length ? 0 : 1;
}

int32_t TextFrame::ReceiveData(uint8_t* buffer, uint32_t size, int32_t* received) {
    uint32_t moved = 0;
    if (buffer != nullptr || size == 0) LinkReceiveData(buffer, size, &moved);
    if (received != nullptr) *received = static_cast<int32_t>(moved);
    return 0;
}

int32_t TextFrame::SendCmd(uint8_t command, uint8_t sub_command) {
    return HcCommand(command, sub_command, nullptr) ? 0 : 1;
}

int32_t TextFrame::GetUpdateCount(uint8_t reset) {
    if (reset == 1) ResetUpdateCount();
    return static_cast<int32_t>(UpdateCount());
}

int32_t TextFrame::ThrdQueryPercent() {
    LinkStatus& s = Status();
    const int32_t percent = s.port.load() == 0 ? Usb().Percent() : TransferPercent();
    s.percent.store(percent);
    return percent;
}

void TextFrame::ThrdStop() {
    // Both transports hear it: the worker may not have opened its link yet, or may be between
    // transfers.
    Usb().Stop();
    StopSerialTransfer();
}

void Attach() {
    AllocFrameBuffer();
    Usb().Setup();
}

void StopWorkers() {
    StopSerialTransfer();
    Usb().Stop();
}

void Release() {
    Usb().Teardown();
    FreeFrameBuffer();
}

}  // namespace tarvix::tf
