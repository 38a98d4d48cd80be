// Data rescue of a text-frame handheld: its stored data fetched block by block into a PC file on
// the background worker, with the progress on the handheld's screen.
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/codes.h"
#include "common/records.h"
#include "platform/files.h"
#include "textframe/commands.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

constexpr uint32_t kFlashInfoSize = 24;
constexpr uint32_t kRescueBlock = 2048;
constexpr uint64_t kBlocksPerUnit = 2;  // a unit of 4096 bytes is fetched as two blocks

void Show(const char* text) {
    HcCommand(CmdShowText, 0, nullptr, static_cast<uint16_t>(strnlen(text, kPacketData)),
              reinterpret_cast<const uint8_t*>(text));
}

int32_t RescueFailed(uint32_t code) {
    SetLinkStatus(StatusFailed, static_cast<int32_t>(code));
    return ResultOk;
}

int32_t RescueBody(const WorkerArgs& args) {
    HcCommand(CmdLinkTest, 0, nullptr);
    HcCommand(CmdFile, SubFlash, nullptr);
    uint8_t info[kFlashInfoSize] = {};
    uint32_t received = 0;
    // Without the whole answer neither the flag nor the unit count is known: nothing is fetched and
    // the caller's file stays as it was.
    if (!LinkReceiveData(info, sizeof info, &received) || received != sizeof info)
        return RescueFailed(ErrReceiveFail);

    if (info[1] != 0) {
        // In 64 bits: twice a 32-bit unit count does not fit in 32.
        const uint64_t blocks = static_cast<uint64_t>(GetLe32(info + 12)) * kBlocksPerUnit;
        // The blocks gather beside the caller's file, which an unusable rescue leaves untouched.
        platform::ReplacementFile file(args.path.empty() ? std::string()
                                                         : platform::PcPath(args.path.c_str()));
        if (args.path.empty() || !file.Open()) return RescueFailed(ErrCreateFile);
        std::vector<uint8_t> page(kRescueBlock);
        for (uint64_t block = 0; block < blocks; ++block) {
            const int32_t percent = static_cast<int32_t>(block * 100 / blocks);
            g_rescue_percent.store(percent);
            char progress[32];
            std::snprintf(progress, sizeof progress, " %d%%                ", percent);
            Show(progress);
            uint8_t argument[8] = {};
            PutLe32(argument, static_cast<uint32_t>(block * 4));
            argument[4] = 1;
            HcCommand(CmdFile, SubFlashPage, nullptr, sizeof argument, argument);
            uint32_t got = 0;
            if (!LinkReceiveData(page.data(), kRescueBlock, &got)) {
                // What came before the failure is what could be rescued: it is kept, and the caller
                // learns that the rescue did not end.
                if (!file.Commit()) return RescueFailed(ErrWriteFile);
                return RescueFailed(ErrReceiveFail);
            }
            if (file.file().Write(page.data(), got) != got) {
                // A full disk still keeps what was written before it.
                file.Commit();
                return RescueFailed(ErrWriteFile);
            }
        }
        if (!file.Commit()) return RescueFailed(ErrWriteFile);
    }
    Show("100%");
    return ResultOk;
}

}  // namespace

int32_t TextFrame::HcRescue(int32_t, int32_t, const char* pc_path) {
    return StartWorker(RescueBody, nullptr, pc_path, 0, ErrReceiveFail);
}

}  // namespace tarvix::tf
