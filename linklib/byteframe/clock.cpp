// The handheld's clock, texts on its screen, its short message, the disk format and the reset query.
#include "platform/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "byteframe/background.h"
#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "platform/files.h"

namespace tarvix::bf {

namespace {

Protocol& P() {
    return Proto();
}

constexpr size_t kClockTextRoom = 30;
constexpr size_t kMessageRoom = 48;
constexpr size_t kUsbMessageRoom = 100;
constexpr size_t kShowWhole = 13;
constexpr size_t kShowCut = 8;
constexpr uint8_t kFeatureBit = 0x80;
// Result of the format and the reset query when the handheld does not offer them.
constexpr int32_t kNoFeature = 3;

// Sends a command the handheld answers with nothing but its acknowledgement; over USB the bytes
// travel as the packet's payload, on a serial line in the command block's argument.
bool CommandWithArgument(uint8_t command, const std::string& text) {
    if (P().line().UsbMode()) {
        return Usb().SendCommand(command, 0, reinterpret_cast<const uint8_t*>(text.data()),
                                 static_cast<uint16_t>(text.size())) == kDone;
    }
    P().SetArgumentText(text.c_str());
    return P().SendCommandBlock(command, 0, 0) == kDone;
}

// Writes the bytes that arrived to the caller's file, replacing it only when complete.
bool WriteMessageFile(const std::string& target, const uint8_t* bytes, size_t size) {
    platform::ReplacementFile file(target);
    if (!file.Open()) return false;
    if (size > 0 && file.file().Write(bytes, size) != size) return false;
    return file.Commit();
}

// The feature question with the short waits of the format and the reset: the byte, or -1 when
// none arrived.  The waits are left at 500 ms and 3000 ms.
int ReadFeature() {
    if (!FileCommand(SubFeature)) {
        P().HcSetExitTime(500, 3000);
        return -1;
    }
    P().HcSetExitTime(500, 100);
    uint8_t feature = 0;
    int32_t received = 0;
    int32_t result = P().ReceiveData(&feature, 1, &received);
    P().HcSetExitTime(500, 3000);
    return (result == kDone && received == 1) ? feature : -1;
}

}  // namespace

int32_t ByteFrame::SetHcDateTime(int32_t port, int32_t rate, const HcDate* date, const HcTime* time) {
    int year, month, day, hour, minute, second;
    if (date == nullptr || time == nullptr) {
        platform::LocalDateTime now = platform::GetClock().Now();
        year = now.year, month = now.month, day = now.day;
        hour = now.hour, minute = now.minute, second = now.second;
    } else {
        HcDate d;
        HcTime t;
        std::memcpy(&d, date, sizeof d);
        std::memcpy(&t, time, sizeof t);
        year = d.year, month = d.month, day = d.day;
        hour = t.hour, minute = t.minute, second = t.second;
    }
    // Every field travels as two digits; a wider one would not be a clock the handheld can take.
    if (month > 99 || day > 99 || hour > 99 || minute > 99 || second > 99) {
        SetErrorCode(ErrBadParam);
        return ResultFailed;
    }
    char text[80];
    std::snprintf(text, sizeof text, "%02d-%02d-%02d %02d:%02d:%02d", year % 100, month, day, hour, minute,
                  second);
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    const bool taken = CommandWithArgument(CmdSetClock, text);
    EndOperation();
    if (!taken) {
        SetErrorCode(ErrNoAck);
        return ResultFailed;
    }
    return ResultOk;
}

int32_t ByteFrame::GetHcDateTime(int32_t port, int32_t rate, char* clock_text) {
    if (clock_text == nullptr) {
        SetErrorCode(ErrBadParam);
        return ResultFailed;
    }
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    if (P().SendCommandBlock(CmdGetClock, 0, 0) != kDone) {
        SetErrorCode(ErrNoAck);
        EndOperation();
        return ResultFailed;
    }
    uint8_t text[kClockTextRoom]{};
    int32_t received = 0;
    int32_t result = P().ReceiveData(text, sizeof text, &received);
    EndOperation();
    if (result != kDone) {
        if (result == kNoAnswer) SetErrorCode(ErrTimeout);
        return ResultFailed;
    }
    // The text as it came; one that came without its terminator gets one, within the 30 bytes.
    size_t n = static_cast<size_t>(std::clamp<int32_t>(received, 0, static_cast<int32_t>(kClockTextRoom)));
    if (std::memchr(text, 0, n) == nullptr) n = std::min(n, kClockTextRoom - 1);
    std::memcpy(clock_text, text, n);
    if (std::memchr(text, 0, n) == nullptr) clock_text[n] = 0;
    return ResultOk;
}

int32_t ByteFrame::HcShowInfo(int32_t port, int32_t rate, const char* text) {
    const std::string given = text != nullptr ? text : "";
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    ShowText(given.size() > kShowWhole ? given.substr(0, kShowCut) : given);
    EndOperation();
    return ResultOk;
}

int32_t ByteFrame::SendMsgToHc(int32_t port, int32_t rate, const uint8_t* message, uint32_t length) {
    if (message == nullptr && length != 0) {
        SetErrorCode(ErrBadParam);
        return ResultFailed;
    }
    if (length > 0xFFFF) {
        SetErrorCode(ErrBadLength);
        return ResultFailed;
    }
    const BfPrompt fail = BfPrompt::UploadFail;
    if (BeginOperation(port, rate, &fail) != Begin::Ok) return ResultFailed;
    bool sent;
    if (P().line().UsbMode()) {
        sent = Usb().SendCommand(CmdPutMessage, 0, message, static_cast<uint16_t>(length)) == kDone;
    } else {
        sent = P().SendDataCommand(CmdPutMessage, 0, 0) == kDone && P().SendData(message, length) == kDone;
    }
    if (!sent) {
        SetErrorCode(ErrNoAck);
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    P().SendCommandBlock(CmdMessageEnd, 0, 0);
    ShowPrompt(BfPrompt::UploadFinished);
    EndOperation();
    return ResultOk;
}

int32_t ByteFrame::GetHcMsg(int32_t port, int32_t rate, const char* message_file) {
    if (P().line().UsbMode()) return GetMessUsb(port, rate, message_file);
    if (message_file == nullptr || message_file[0] == 0) {
        SetErrorCode(ErrCreateFile);
        return ResultFailed;
    }
    // The file is made beside its target before the link is opened: a place that cannot take it
    // is found before the handheld is asked.
    platform::ReplacementFile file(platform::PcPath(message_file));
    if (platform::IsDirectory(file.target()) || !file.Open()) {
        SetErrorCode(ErrCreateFile);
        return ResultFailed;
    }
    const BfPrompt fail = BfPrompt::UploadFail;
    if (BeginOperation(port, rate, &fail) != Begin::Ok) return ResultFailed;
    uint8_t message[kMessageRoom]{};
    int32_t received = 0;
    int32_t result = kNoAnswer;
    if (P().SendCommandBlock(CmdGetMessage, 0, 0) == kDone) {
        result = P().ReceiveData(message, sizeof message, &received);
        if (result == kNoAnswer) SetErrorCode(ErrTimeout);
    } else {
        SetErrorCode(ErrNoAck);
    }
    if (result != kDone) {
        // No message came: the caller's file stays as it was.
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    const size_t n =
        static_cast<size_t>(std::clamp<int32_t>(received, 0, static_cast<int32_t>(kMessageRoom)));
    if ((n > 0 && file.file().Write(message, n) != n) || !file.Commit()) {
        SetErrorCode(ErrWriteFile);
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    ShowPrompt(BfPrompt::UploadFinished);
    EndOperation();
    return ResultOk;
}

int32_t ByteFrame::GetMessUsb(int32_t port, int32_t rate, const char* pc_path) {
    if (pc_path == nullptr || pc_path[0] == 0) {
        SetErrorCode(ErrCreateFile);
        return ResultFailed;
    }
    if (P().line().ComInit(port, rate) == -1) {
        SetErrorCode(ErrNoLink);
        return ResultFailed;
    }
    uint8_t message[kUsbMessageRoom]{};
    int32_t received = 0;
    int32_t result = P().SendCommandBlock(CmdFile, SubUsbMessage, 0);
    if (result != kDone) {
        SetErrorCode(P().line().UsbMode() && result == kUsbNoDevice ? ErrNoLink : ErrNoAck);
    } else {
        result = P().ReceiveData(message, sizeof message, &received);
        if (result == kNoAnswer) SetErrorCode(ErrTimeout);
    }
    if (result != kDone) {
        // Nothing is written for a message that did not come: the caller's file stays as it was.
        EndOperation();
        return result;
    }
    const size_t n =
        static_cast<size_t>(std::clamp<int32_t>(received, 0, static_cast<int32_t>(kUsbMessageRoom)));
    if (!WriteMessageFile(platform::PcPath(pc_path), message, n)) {
        SetErrorCode(ErrCreateFile);
        EndOperation();
        return ResultFailed;
    }
    EndOperation();
    return ResultOk;
}

int32_t ByteFrame::FormatHcDisk(int32_t port, int32_t rate) {
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    int feature = ReadFeature();
    if (feature < kFeatureBit) {
        EndOperation();
        return kNoFeature;
    }
    if (!FileCommand(SubFlash)) {
        SetErrorCode(ErrNoAck);
        EndOperation();
        return ResultFailed;
    }
    // The handheld answers non-zero bytes while it works and 0 when the format has ended; the wait
    // is bounded and a stop request ends it.
    platform::Clock& clock = platform::GetClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        uint8_t byte = 0xFF;
        int32_t received = 0;
        if (P().ReceiveData(&byte, 1, &received) == kDone && received == 1 && byte == 0) break;
        if (g_stop_flag.load()) {
            SetErrorCode(ErrUserStop);
            EndOperation();
            return ResultFailed;
        }
        if (clock.TickMs() - start >= Tune().format_limit_ms.load()) {
            SetErrorCode(ErrTimeout);
            EndOperation();
            return ResultFailed;
        }
        PauseMs(Tune().poll_pause_ms.load());
    }
    EndOperation();
    return ResultOk;
}

int32_t ByteFrame::ResetHc(int32_t port, int32_t rate) {
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    int feature = ReadFeature();
    EndOperation();
    return feature >= kFeatureBit ? ResultOk : kNoFeature;
}

}  // namespace tarvix::bf
