// The system information of a byte-frame handheld: 156 bytes of its memory at the system block,
// the bad and free space and its clock, as the caller's record or as a text file.
#include "common/sysinfo.h"

#include <cstring>

#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/protocol.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/records.h"

namespace tarvix::bf {
namespace {

constexpr uint32_t kSystemBlockAddress = 0x0040AF00;

// The memory read of the system block; its result is not looked at: the answer shows whether it
// was taken.
void RequestSystemBlock() {
    uint8_t argument[8];
    PutBe32(argument, kSystemBlockAddress);
    PutBe32(argument + 4, static_cast<uint32_t>(kBfSystemBlockSize));
    if (Proto().line().UsbMode()) {
        Usb().SendCommand(CmdReadMemory, 0, argument, sizeof argument);
        return;
    }
    std::memcpy(Proto().Block().argument, argument, sizeof argument);
    Proto().SendCommandBlock(CmdReadMemory, 0, 0);
}

// The whole system block; a missing or short one stores why.
bool ReceiveSystemBlock(uint8_t* block) {
    int32_t received = 0;
    const int32_t result = Proto().ReceiveData(block, kBfSystemBlockSize, &received);
    if (result == kDone && received == static_cast<int32_t>(kBfSystemBlockSize)) return true;
    SetErrorCode(result == kNoAnswer ? ErrTimeout : ErrBadPacket);
    return false;
}

// A command followed by an answer of exactly `size` bytes.  A command the handheld did not take
// stores ErrNoAck; a missing answer its own code (ReceiveAnswer).
bool Ask(uint8_t command, uint8_t sub_command, uint8_t* answer, uint32_t size) {
    if (Proto().SendCommandBlock(command, sub_command, 0) != kDone) {
        SetErrorCode(ErrNoAck);
        return false;
    }
    return ReceiveAnswer(answer, size);
}

}  // namespace

int32_t ByteFrame::GetHcSysInfo(int32_t port, int32_t rate, const char* text_file, void* info) {
    const bool to_file = text_file != nullptr && text_file[0] != '\0';
    // Neither a file nor a record: there is nowhere to put the answers.
    if (!to_file && info == nullptr) {
        SetErrorCode(ErrBadParam);
        return ResultFailed;
    }
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    uint8_t block[kBfSystemBlockSize] = {};
    uint8_t bad[4] = {};
    uint8_t free_space[4] = {};
    SysInfoAnswers answers;
    RequestSystemBlock();
    // Every answer must come: figures from answers that never arrived would be reported as the
    // handheld's.
    const bool answered = ReceiveSystemBlock(block) && Ask(CmdFile, SubBadSpace, bad, sizeof bad) &&
                          Ask(CmdFile, SubFreeSpace, free_space, sizeof free_space) &&
                          Ask(CmdGetClock, 0, answers.clock, sizeof answers.clock);
    EndOperation();
    if (!answered) return ResultFailed;

    answers.block = block;
    answers.block_size = sizeof block;
    answers.bad_space = GetBe32(bad);
    answers.free_space = GetBe32(free_space);
    const SysInfoFigures figures = DeriveSysInfo(SysInfoFamily::ByteFrame, answers);
    if (to_file) {
        if (!WriteSysInfoFile(text_file, SysInfoText(SysInfoFamily::ByteFrame, figures, answers))) {
            SetErrorCode(ErrCreateFile);
            return ResultFailed;
        }
    } else {
        FillSysInfoBf(figures, answers, static_cast<HcSysInfoBf*>(info));
    }
    return ResultOk;
}

}  // namespace tarvix::bf
