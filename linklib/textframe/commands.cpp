#include "textframe/commands.h"

#include <algorithm>
#include <cstring>

#include "common/codes.h"
#include "common/records.h"
#include "textframe/frame_transfer.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"
#include "textframe/usb_transport.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

bool OverUsb() {
    return Status().port.load() == 0;
}

bool SendPacket(const std::array<uint8_t, kPacketSize>& packet, const LinkTimeouts* timeouts) {
    uint32_t sent = 0;
    const bool ok = OverUsb() ? Usb().SendMemory(packet.data(), kPacketSize, &sent)
                              : ComSendMemory(packet.data(), kPacketSize, &sent, timeouts);
    return ok && sent == kPacketSize;
}

}  // namespace

std::array<uint8_t, kPacketSize> BuildCommandPacket(uint8_t command, uint8_t sub_command, uint16_t length,
                                                    const uint8_t* data) {
    std::array<uint8_t, kPacketSize> packet{};
    const uint16_t n = static_cast<uint16_t>(std::min<size_t>(length, kPacketData));
    packet[0] = command;
    packet[1] = sub_command;
    PutLe16(&packet[2], n);
    if (data != nullptr && n > 0) std::memcpy(&packet[4], data, n);
    return packet;
}

bool HasStatusReply(uint8_t command, uint8_t sub_command) {
    if (command == CmdUploadEnd) return true;
    if (command != CmdFile) return false;
    switch (sub_command) {
        case SubUpload:
        case SubDownload:
        case SubDelete:
        case SubFileSize:
        case SubRemoveDir:
        case SubMakeDir:
        case SubRun:
            return true;
        default:
            return false;
    }
}

namespace {

// Checks a received status reply: it must be all 3 bytes and name the same command and sub-command;
// then its status byte goes to `status` and the result is true.  `status` is not touched otherwise.
bool TakeStatusReply(uint8_t command, uint8_t sub_command, const uint8_t* reply, uint32_t received,
                     uint8_t* status) {
    // A reply of one or two bytes is no reply: its missing status byte would read as success.
    if (received != kStatusReplySize || reply[0] != command || reply[1] != sub_command) return false;
    if (status != nullptr) *status = reply[2];
    return true;
}

// The status reply of `command`: all 3 bytes, naming the same command and sub-command.
bool ReceiveStatusReply(uint8_t command, uint8_t sub_command, uint8_t* status) {
    if (OnWorkerThread() && StopPending()) return false;
    uint8_t reply[kStatusReplySize] = {};
    uint32_t received = 0;
    const Timing& t = GetTiming();
    const LinkTimeouts reply_timeouts(t.status_reply_timeout_ms, t.default_attempts);
    const bool ok = OverUsb() ? Usb().ReceiveMemory(reply, sizeof reply, &received)
                              : ComReceiveMemory(reply, sizeof reply, &received, &reply_timeouts);
    return ok && TakeStatusReply(command, sub_command, reply, received, status);
}

}  // namespace

bool HcCommand(uint8_t command, uint8_t sub_command, uint8_t* status, uint16_t length, const uint8_t* data,
               const LinkTimeouts* timeouts) {
    if (status != nullptr) *status = 0;
    // A stopped background operation sends no further command; the packet it may be sending when
    // the stop comes is one frame, and its reply wait watches the stop.
    if (OnWorkerThread() && StopPending()) return false;
    if (!SendPacket(BuildCommandPacket(command, sub_command, data != nullptr ? length : 0, data), timeouts)) {
        return false;
    }
    if (!HasStatusReply(command, sub_command)) return true;
    return ReceiveStatusReply(command, sub_command, status);
}

bool UploadCommand(uint8_t sub_command, uint16_t length, const uint8_t* data, uint8_t* status) {
    if (status != nullptr) *status = 0;
    if (OverUsb()) return HcCommand(CmdFile, sub_command, status, length, data);
    constexpr int kRounds = 3;
    const LinkTimeouts once(GetTiming().default_timeout_ms, 1);
    const auto packet = BuildCommandPacket(CmdFile, sub_command, length, data);
    for (int round = 0; round < kRounds; ++round) {
        if (OnWorkerThread() && StopPending()) return false;
        if (round > 0) {
            // The handheld may wait for the file after a command whose reply was lost: the abort
            // frame ends that wait, and the link test finds it in command mode.
            ComSendAbortFrame();
            if (!HcCommand(CmdLinkTest, 0, nullptr)) return false;
        }
        // Sent once: the reply, not the answer byte, tells whether the handheld took the command.
        const bool acknowledged = SendPacket(packet, &once);
        if (ReceiveStatusReply(CmdFile, sub_command, status)) return true;
        if (acknowledged) return false;
    }
    return false;
}

uint32_t CommandWithData(uint8_t command, uint8_t sub_command, const uint8_t* data, uint32_t size) {
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        // The first round follows the caller's own link test; a later one needs its own, so that the
        // handheld waits for a command again.
        if (round > 0 && !HcCommand(CmdLinkTest, 0, nullptr)) return ErrOperation;
        if (!HcCommand(command, sub_command, nullptr)) return ErrOperation;
        // A packet sent again leaves the handheld either waiting for the data or already past it with
        // the repeat taken as the data: the data are not sent into that doubt.
        if (!OverUsb() && LastSendResends() > 0) continue;
        uint32_t sent = 0;
        return LinkSendData(data, size, &sent) && sent == size ? ErrNone : ErrSendFail;
    }
    return ErrOperation;
}

uint32_t CommandWithText(uint8_t sub_command, const std::string& text) {
    return CommandWithData(CmdFile, sub_command, reinterpret_cast<const uint8_t*>(text.data()),
                           static_cast<uint32_t>(text.size()));
}

bool LinkSendData(const uint8_t* data, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    return OverUsb() ? Usb().SendMemory(data, size, moved) : ComSendMemory(data, size, moved, timeouts);
}

bool LinkReceiveData(uint8_t* buffer, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    return OverUsb() ? Usb().ReceiveMemory(buffer, size, moved)
                     : ComReceiveMemory(buffer, size, moved, timeouts);
}

bool LinkSendStream(platform::File& file, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    return OverUsb() ? Usb().SendStream(file, size, moved) : ComSendStream(file, size, moved, timeouts);
}

bool LinkReceiveStream(platform::File& file, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    return OverUsb() ? Usb().ReceiveStream(file, size, moved) : ComReceiveStream(file, size, moved, timeouts);
}

}  // namespace tarvix::tf
