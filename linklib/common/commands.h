// Command numbers and the sub-commands of command 80 (CmdFile): one numbering for both families.
#pragma once

#include <cstdint>

namespace tarvix::commands {

enum Command : uint8_t {
    CmdMessageEnd = 13,
    CmdLinkTest = 15,
    CmdUploadEnd = 16,
    CmdPutMessage = 25,
    CmdGetMessage = 47,
    CmdVersion = 49,
    CmdSetClock = 53,
    CmdGetClock = 60,
    CmdShowText = 73,
    CmdReadMemory = 74,
    CmdCrcMode = 77,
    CmdFile = 80,
};

enum SubCommand : uint8_t {
    SubSetName = 1,
    SubUpload = 2,
    SubDownload = 3,
    SubDelete = 4,
    SubFileSize = 5,
    SubCurDir = 10,
    SubSetPath = 11,
    SubRemoveDir = 12,
    SubMakeDir = 13,
    SubFindFirst = 14,
    SubFindNext = 15,
    SubChangeDir = 21,
    SubResult = 22,
    SubFreeSpace = 23,
    SubBadSpace = 24,
    SubDeviceNumber = 25,
    SubRescueRange = 26,
    SubFeature = 27,
    SubUsbMessage = 32,
    SubRun = 33,
    SubPutMessage = 34,
    SubGetMessage = 35,
    SubDeviceKind = 36,
    SubFlash = 40,
    SubFlashPage = 41,
};

}  // namespace tarvix::commands
