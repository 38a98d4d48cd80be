// The system information of a text-frame handheld: its system block, the bad and free space and
// its clock, as the caller's record or as a text file.
#include "common/sysinfo.h"

#include <cstring>

#include "common/codes.h"
#include "common/records.h"
#include "textframe/commands.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix::tf {
namespace {

int32_t Fail(uint32_t code) {
    SetLinkStatus(StatusFailed, static_cast<int32_t>(code));
    return ResultFailed;
}

// A command without data followed by an answer of exactly `size` bytes.
bool Ask(uint8_t command, uint8_t sub_command, uint8_t* answer, uint32_t size) {
    if (!HcCommand(command, sub_command, nullptr)) return false;
    uint32_t received = 0;
    return LinkReceiveData(answer, size, &received) && received == size;
}

}  // namespace

int32_t TextFrame::GetHcSysInfo(const char* text_file, void* info) {
    const bool to_file = text_file != nullptr && text_file[0] != '\0';
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    // Neither a file nor a record: there is nowhere to put the answers.
    if (!to_file && info == nullptr) return Fail(ErrBadParam);
    const LinkTimeouts timeouts = LinkTestTimeouts();
    if (!HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts)) return Fail(ErrNoLink);

    uint8_t block[kTfSystemBlockSize] = {};
    uint8_t bad[4] = {};
    uint8_t free_space[4] = {};
    SysInfoAnswers answers;
    if (!Ask(CmdReadMemory, 0, block, sizeof block) || !Ask(CmdFile, SubBadSpace, bad, sizeof bad) ||
        !Ask(CmdFile, SubFreeSpace, free_space, sizeof free_space) ||
        !Ask(CmdGetClock, 0, answers.clock, sizeof answers.clock)) {
        return Fail(ErrOperation);
    }
    answers.block = block;
    answers.block_size = sizeof block;
    answers.bad_space = GetLe32(bad);
    answers.free_space = GetLe32(free_space);
    const SysInfoFigures figures = DeriveSysInfo(SysInfoFamily::TextFrame, answers);
    if (to_file) {
        if (!WriteSysInfoFile(text_file, SysInfoText(SysInfoFamily::TextFrame, figures, answers)))
            return Fail(ErrCreateFile);
    } else {
        FillSysInfo(figures, answers, static_cast<HcSysInfo*>(info));
    }
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

}  // namespace tarvix::tf
