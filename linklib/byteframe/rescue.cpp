// Data rescue: the handheld's memory range (and, where its feature byte says so, its flash pages)
// copied into PC files by a background worker.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "byteframe/background.h"
#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/messages.h"
#include "common/records.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace tarvix::bf {

namespace {

Protocol& P() {
    return Proto();
}

constexpr uint32_t kSerialChunk = 4096;
constexpr uint32_t kUsbChunk = 496;
constexpr size_t kFlashInfoSize = 24;
constexpr size_t kUsbPageBlock = 2064;
constexpr size_t kUsbPageHeader = 16;
constexpr int kSerialFlashFeature = 61;  // above it a serial rescue adds the flash pages
constexpr int kUsbFlashFeature = 109;    // from it a USB rescue takes the flash pages instead
// A range read as a signed number must stay positive; a flash count beyond this is no flash.
constexpr uint32_t kMaxRange = 0x7FFFFFFFu;
constexpr uint32_t kMaxFlashPages = 0x100000u;
const char* const kEndBlanks = "       ";

struct Range {
    uint32_t start = 0;
    uint32_t length = 0;
};

void Progress(bool serial, int percent) {
    char tail[16];
    std::snprintf(tail, sizeof tail, " %d%%", percent);
    ShowText(serial ? Prompt(BfPrompt::RescueSending) + tail : std::string(tail));
}

void ShowEnd(bool serial, BfPrompt key) {
    ShowText(serial ? Prompt(key) + kEndBlanks : Prompt(key));
}

// done * 100 / count, cut to its integer part: page 29 of 100 shows 29.
int Percent(uint32_t done, uint32_t count) {
    if (count == 0) return 0;
    return static_cast<int>(uint64_t{done} * 100u / count);
}

// A rescue file: written beside its target and renamed into place in every outcome, so that a
// rescue that fails or is stopped part-way keeps every byte that came before.
class SalvageFile {
  public:
    explicit SalvageFile(const std::string& path) : file_(platform::PcPath(path.c_str())) {}
    ~SalvageFile() { Keep(); }
    SalvageFile(const SalvageFile&) = delete;
    SalvageFile& operator=(const SalvageFile&) = delete;

    bool Open() {
        opened_ = !platform::IsDirectory(file_.target()) && file_.Open();
        return opened_;
    }
    platform::File& file() { return file_.file(); }
    // Puts what was written in place (once); false when that failed.
    bool Keep() {
        if (opened_ && !kept_) {
            kept_ = true;
            in_place_ = file_.Commit();
        }
        return in_place_;
    }

  private:
    platform::ReplacementFile file_;
    bool opened_ = false;
    bool kept_ = false;
    bool in_place_ = false;
};

// A command with an 8-byte argument: in the command block on a serial line, as payload over USB.
bool CommandWithWords(uint8_t command, uint8_t sub_command, const uint8_t argument[8]) {
    if (P().line().UsbMode()) return Usb().SendCommand(command, sub_command, argument, 8) == kDone;
    std::memcpy(P().Block().argument, argument, 8);
    return P().SendCommandBlock(command, sub_command, 0) == kDone;
}

// Reads exactly `size` bytes into `out`; false with the error code stored when they did not come whole.
bool ReadExactly(uint8_t* out, uint32_t size) {
    int32_t received = 0;
    int32_t result = P().ReceiveData(out, size, &received);
    if (result == kNoAnswer && !g_stop_flag.load()) SetErrorCode(ErrTimeout);
    if (result != kDone) return false;
    if (received != static_cast<int32_t>(size)) {
        SetErrorCode(ErrPacketLost);
        return false;
    }
    return true;
}

// Reads up to `size` bytes and appends what arrived to `out`, also when the read then fails: a
// rescue keeps every byte it got.  With `whole`, fewer than `size` bytes are a failure (after they
// were written).  False with the error code stored.
bool ReadKeeping(uint8_t* buffer, uint32_t size, platform::File& out, bool whole = true) {
    int32_t received = 0;
    const int32_t result = P().ReceiveData(buffer, size, &received);
    const size_t got = static_cast<size_t>(std::clamp<int32_t>(received, 0, static_cast<int32_t>(size)));
    if (got > 0 && out.Write(buffer, got) != got) {
        SetErrorCode(ErrWriteFile);
        return false;
    }
    if (result == kNoAnswer && !g_stop_flag.load()) SetErrorCode(ErrTimeout);
    if (result != kDone) return false;
    if (whole && got != size) {
        SetErrorCode(ErrPacketLost);
        return false;
    }
    return true;
}

bool ReadRange(Range* range) {
    if (!FileCommand(SubRescueRange)) {
        SetErrorCode(ErrNoAck);
        return false;
    }
    PauseMs(Tune().rescue_pause_ms.load());
    uint8_t answer[8];
    if (!ReadExactly(answer, sizeof answer)) return false;
    range->start = GetBe32(answer);
    range->length = GetBe32(answer + 4);
    if (range->length > kMaxRange) {
        SetErrorCode(ErrBadLength);
        return false;
    }
    return true;
}

int ReadFeatureByte() {
    if (!FileCommand(SubFeature)) return -1;
    uint8_t feature = 0;
    int32_t received = 0;
    if (P().ReceiveData(&feature, 1, &received) != kDone || received != 1) return -1;
    return feature;
}

constexpr int64_t kNoFlashData = -2;

// The flash information: the page count (0 included) when the handheld has flash data to rescue,
// kNoFlashData when its flag says there is none, -1 when it did not answer.
int64_t ReadFlashCount() {
    if (!FileCommand(SubFlash)) {
        SetErrorCode(ErrNoAck);
        return -1;
    }
    uint8_t info[kFlashInfoSize];
    if (!ReadExactly(info, sizeof info)) return -1;
    if (info[1] == 0) return kNoFlashData;
    uint32_t count = GetBe32(info + 12);
    if (count > kMaxFlashPages) {
        SetErrorCode(ErrBadLength);
        return -1;
    }
    return count;
}

// The memory dump with its trailer.  False with the error code stored; the rescue file is then
// not put in place.
bool DumpMemory(const Range& range, uint32_t chunk_size, platform::File& out) {
    const bool serial = !P().line().UsbMode();
    const uint32_t count = (range.length + chunk_size - 1) / chunk_size;
    P().SendCommandBlock(CmdLinkTest, 0, 0);
    std::vector<uint8_t> chunk(chunk_size);
    uint32_t address = range.start;
    uint32_t remaining = range.length;
    uint32_t done = 0;
    do {
        const uint32_t size = std::min(remaining, chunk_size);
        g_rescue_percent.store(Percent(done, count));
        Progress(serial, g_rescue_percent.load());
        uint8_t argument[8];
        PutBe32(argument, address);
        PutBe32(argument + 4, size);
        if (!CommandWithWords(CmdReadMemory, 0, argument)) {
            SetErrorCode(g_stop_flag.load() ? ErrUserStop : ErrNoAck);
            return false;
        }
        if (!ReadKeeping(chunk.data(), size, out)) return false;
        address += size;
        remaining -= size;
        ++done;
    } while (remaining > 0);
    ShowEnd(serial, BfPrompt::RescueFinished);

    uint8_t trailer[32]{};
    const platform::LocalDateTime now = platform::GetClock().Now();
    char text[24];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d", now.month % 100, now.day % 100, now.year % 100);
    std::memcpy(trailer, text, 8);
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", now.hour % 100, now.minute % 100, now.second % 100);
    std::memcpy(trailer + 8, text, 8);
    PutLe32(trailer + 16, range.start);
    PutLe32(trailer + 20, range.length);
    if (FileCommand(SubDeviceNumber)) {
        uint8_t number[9]{};
        int32_t received = 0;
        P().ReceiveData(number, sizeof number, &received);
        std::memcpy(trailer + 24, number, 8);
    }
    if (out.Write(trailer, sizeof trailer) != sizeof trailer) {
        SetErrorCode(ErrWriteFile);
        return false;
    }
    return true;
}

// One raw USB block as the device sends it, header included.
int32_t RawBlock(uint8_t* buffer, uint32_t size, int32_t* received) {
    uint32_t read = 0;
    int32_t result = Usb().ReadChunks(buffer, size, size, &read);
    *received = static_cast<int32_t>(std::min(read, size));
    return result;
}

// The flash pages into the second rescue file.
bool DumpFlash(uint32_t pages, platform::File& out) {
    const bool serial = !P().line().UsbMode();
    std::vector<uint8_t> page(serial ? kSerialChunk : kUsbPageBlock);
    for (uint32_t n = 0; n < pages; ++n) {
        g_rescue_percent.store(Percent(n, pages));
        Progress(serial, g_rescue_percent.load());
        uint8_t argument[8]{};
        if (serial) {
            PutBe32(argument, n);
            argument[7] = 1;
        } else {
            PutBe32(argument, n * 4);
            argument[4] = 1;
        }
        if (!CommandWithWords(CmdFile, SubFlashPage, argument)) {
            SetErrorCode(g_stop_flag.load() ? ErrUserStop : ErrNoAck);
            return false;
        }
        int32_t received = 0;
        if (serial) {
            // At most a page, all that arrived.
            if (!ReadKeeping(page.data(), static_cast<uint32_t>(page.size()), out, false)) return false;
            continue;
        }
        int32_t result = RawBlock(page.data(), static_cast<uint32_t>(page.size()), &received);
        if (result != kDone) {
            if (result == kNoAnswer && !g_stop_flag.load()) SetErrorCode(ErrTimeout);
            return false;
        }
        // One raw block: its header, then the page.
        if (received != static_cast<int32_t>(kUsbPageBlock)) {
            SetErrorCode(ErrPacketLost);
            return false;
        }
        const size_t n_bytes = kUsbPageBlock - kUsbPageHeader;
        if (out.Write(page.data() + kUsbPageHeader, n_bytes) != n_bytes) {
            SetErrorCode(ErrWriteFile);
            return false;
        }
    }
    return true;
}

void RescueFailed(bool serial, bool show) {
    if (show) ShowEnd(serial, BfPrompt::RescueFail);
    EndOperation();
    SetStatusValue(StatusFailed);
}

// How a rescue ended, told once its files are in place.
struct Ending {
    bool done = false;
    bool show_fail = false;  // the failure text goes to the handheld's screen
};

Ending Failed(bool show) {
    return Ending{false, show};
}

// The rescue itself; its files are in place when it returns, whatever the outcome.
Ending Rescue(const TransferArgs& args, bool usb) {
    Range range;
    if (!ReadRange(&range)) return Failed(false);
    const std::string first_path = args.pc_upload;
    SalvageFile first(first_path);
    if (!first.Open()) {
        SetErrorCode(ErrCreateFile);
        return Failed(false);
    }
    int feature = -1;
    bool flash = false;
    if (!usb) {
        if (!DumpMemory(range, kSerialChunk, first.file())) return Failed(true);
        if (!first.Keep()) {
            SetErrorCode(ErrWriteFile);
            return Failed(true);
        }
        feature = ReadFeatureByte();
        flash = feature > kSerialFlashFeature;
    } else {
        feature = ReadFeatureByte();
        flash = feature >= kUsbFlashFeature;
        if (!flash) {
            if (!DumpMemory(range, kUsbChunk, first.file())) return Failed(!g_stop_flag.load());
        } else {
            P().SendCommandBlock(CmdLinkTest, 0, 0);
        }
        // Over USB the caller's file stays empty when the flash pages are taken instead.
        if (!first.Keep()) {
            SetErrorCode(ErrWriteFile);
            return Failed(true);
        }
    }
    if (flash) {
        const int64_t pages = ReadFlashCount();
        if (pages == -1) return Failed(!(usb && g_stop_flag.load()));
        if (pages != kNoFlashData) {
            // The second file exists whenever the handheld has flash data, also with no pages.
            const std::string second_path = first_path + "2";
            if (second_path.size() > kMaxArgsPcPath) {
                SetErrorCode(ErrBadName);
                return Failed(false);
            }
            SalvageFile second(second_path);
            if (!second.Open()) {
                SetErrorCode(ErrCreateFile);
                return Failed(false);
            }
            const uint32_t count = usb ? static_cast<uint32_t>(pages) * 2 : static_cast<uint32_t>(pages);
            const bool dumped = DumpFlash(count, second.file());
            if (!second.Keep() || !dumped) {
                if (ErrorCode() == ErrNone) SetErrorCode(ErrWriteFile);
                return Failed(!(usb && g_stop_flag.load()));
            }
            if (!usb) ShowEnd(true, BfPrompt::RescueFinished);
        }
    }
    return Ending{true, false};
}

void RescueWorker(TransferArgs args) {
    const bool usb = static_cast<uint16_t>(args.port) == 0;
    if (P().line().ComInit(args.port, args.rate) == -1) {
        SetError(ErrNoLink, true);
        return;
    }
    if (P().SendCommandBlock(CmdLinkTest, 0, 0) != kDone) {
        SetErrorCode(ErrNoResponse);
        RescueFailed(!usb, false);
        return;
    }
    const Ending ending = Rescue(args, usb);
    if (!ending.done) {
        RescueFailed(!usb, ending.show_fail);
        return;
    }
    if (usb) ShowEnd(false, BfPrompt::RescueFinished);
    EndOperation();
    SetStatusValue(StatusIdle);
}

}  // namespace

int32_t ByteFrame::HcRescue(int32_t port, int32_t rate, const char* pc_path) {
    if (StatusValue() != StatusIdle) {
        SetErrorCode(ErrBusy);
        return ResultFailed;
    }
    TransferArgs args;
    args.port = port;
    args.rate = rate;
    // The second rescue file takes one more character: both names must fit.
    if (pc_path == nullptr || pc_path[0] == 0 || !CopyArg(args.pc_upload, sizeof args.pc_upload, pc_path) ||
        std::strlen(pc_path) + 1 > kMaxArgsPcPath) {
        SetErrorCode(pc_path == nullptr || pc_path[0] == 0 ? ErrCreateFile : ErrBadName);
        return ResultFailed;
    }
    return StartBackground([] { g_stop_flag.store(false); }, [args] { RescueWorker(args); });
}

}  // namespace tarvix::bf
