// The handheld's clock, a short text on its screen and its 48-byte message file.
#include "platform/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/codes.h"
#include "common/records.h"
#include "platform/files.h"
#include "textframe/commands.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix::tf {
namespace {

constexpr size_t kClockTextSize = 20;
constexpr size_t kMessageSize = 48;

int32_t Fail(uint32_t code) {
    SetLinkStatus(StatusFailed, static_cast<int32_t>(code));
    return ResultFailed;
}

int32_t Finish() {
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

bool LinkTest() {
    const LinkTimeouts timeouts = LinkTestTimeouts();
    return HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts);
}

// `value` in decimal, zero-padded to `width` digits, of which the first `width` are kept.
std::string Padded(unsigned value, size_t width) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*u", static_cast<int>(width), value);
    return std::string(digits).substr(0, width);
}

// The 19 characters YYYY/MM/DD HH:MM:SS.
std::string ClockText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                      unsigned second) {
    return Padded(year, 4) + "/" + Padded(month, 2) + "/" + Padded(day, 2) + " " + Padded(hour, 2) + ":" +
           Padded(minute, 2) + ":" + Padded(second, 2);
}

// The PC's clock as the handheld wants it: a two-digit year of 80 to 99 stands for 1980 to 1999,
// any other for 2000 to 2079.
std::string PcClockText() {
    const platform::LocalDateTime now = platform::GetClock().Now();
    const unsigned yy = static_cast<unsigned>(now.year % 100 + 100) % 100;
    const unsigned year = (yy / 10 == 8 || yy / 10 == 9 ? 1900 : 2000) + yy;
    return ClockText(year, static_cast<unsigned>(now.month), static_cast<unsigned>(now.day),
                     static_cast<unsigned>(now.hour), static_cast<unsigned>(now.minute),
                     static_cast<unsigned>(now.second));
}

}  // namespace

int32_t TextFrame::GetHcDateTime(char* clock_text) {
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (clock_text == nullptr) return Fail(ErrBadParam);
    if (!LinkTest()) return Fail(ErrNoLink);
    if (!HcCommand(CmdGetClock, 0, nullptr)) return Fail(ErrOperation);
    uint8_t answer[kClockTextSize] = {};
    uint32_t received = 0;
    if (!LinkReceiveData(answer, sizeof answer, &received) || received == 0) return Fail(ErrReceiveFail);
    // The caller's buffer holds at least 30 bytes: the text always ends with a NUL, also when the
    // handheld sent all 20 bytes without one or fewer than 20.
    std::memcpy(clock_text, answer, received);
    clock_text[received] = '\0';
    return Finish();
}

int32_t TextFrame::SetHcDateTime(const HcDate* date, const HcTime* time) {
    uint8_t text[kClockTextSize] = {};
    const std::string clock = date != nullptr && time != nullptr
                                  ? ClockText(LoadField<uint16_t>(&date->year), date->month, date->day,
                                              time->hour, time->minute, time->second)
                                  : PcClockText();
    std::memcpy(text, clock.data(), std::min(clock.size(), kClockTextSize - 1));

    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (!LinkTest()) return Fail(ErrNoLink);
    if (const uint32_t code = CommandWithData(CmdSetClock, 0, text, sizeof text); code != ErrNone)
        return Fail(code);
    return Finish();
}

int32_t TextFrame::HcShowInfo(const char* text) {
    if (text == nullptr) return Fail(ErrBadParam);
    // A command packet carries at most 20 data bytes: a longer text shows its first 20.
    const size_t length = strnlen(text, kPacketData);
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (!LinkTest()) return Fail(ErrNoLink);
    if (!HcCommand(CmdShowText, 0, nullptr, static_cast<uint16_t>(length),
                   reinterpret_cast<const uint8_t*>(text))) {
        return Fail(ErrSendFail);
    }
    return Finish();
}

int32_t TextFrame::SendMsgToHc(const char* message_file) {
    if (message_file == nullptr || message_file[0] == '\0') return Fail(ErrBadParam);
    uint8_t message[kMessageSize] = {};
    {
        platform::File file;
        if (!file.Open(platform::PcPath(message_file), "rb")) return Fail(ErrCreateFile);
        // A shorter file is completed with zero bytes; a longer one gives its first 48.
        file.Read(message, sizeof message);
    }
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (!LinkTest()) return Fail(ErrNoLink);
    if (const uint32_t code = CommandWithData(CmdFile, SubPutMessage, message, sizeof message);
        code != ErrNone)
        return Fail(code);
    return Finish();
}

int32_t TextFrame::GetHcMsg(const char* message_file) {
    if (message_file == nullptr || message_file[0] == '\0') return Fail(ErrBadParam);
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (!LinkTest()) return Fail(ErrNoLink);
    if (!HcCommand(CmdFile, SubGetMessage, nullptr)) return Fail(ErrOperation);
    // Room for one byte more than a message, so that an overlong answer shows as one.
    uint8_t message[kMessageSize + 1] = {};
    uint32_t received = 0;
    if (!LinkReceiveData(message, sizeof message, &received) || received != kMessageSize)
        return Fail(ErrReceiveFail);
    // Only a message that arrived whole replaces the PC file.
    platform::ReplacementFile file(platform::PcPath(message_file));
    if (!file.Open() || file.file().Write(message, kMessageSize) != kMessageSize || !file.Commit())
        return Fail(ErrCreateFile);
    return Finish();
}

}  // namespace tarvix::tf
