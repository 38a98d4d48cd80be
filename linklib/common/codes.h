// Results, status values and error codes shared by both protocol families.
#pragma once

#include <cstdint>

namespace tarvix {

enum Result : int32_t {
    ResultOk = 0,
    ResultFailed = 1,
    ResultNotFound = 2,
    ResultBusy = 3,
};

enum Status : int32_t {
    StatusIdle = 0,
    StatusBusy = 1,
    StatusFailed = 0x8000,
};

// One numbering for both families; the message tables hold their texts.
enum ErrorCode : uint32_t {
    ErrNone = 0,
    ErrDenied = 1,
    ErrOperation = 2,
    ErrIllegal = 3,
    ErrPeerStop = 4,
    ErrUserStop = 5,
    ErrNoLink = 10,
    ErrNoResponse = 11,
    ErrTimeout = 12,
    ErrHeaderLost = 13,
    ErrBadPacket = 14,
    ErrPacketLost = 15,
    ErrNoAck = 16,
    ErrCrc = 17,
    ErrNoEndAck = 18,
    ErrSendFail = 19,
    ErrNoFile = 20,
    ErrFileNotFound = 21,
    ErrCreateFile = 22,
    ErrOpenFile = 23,
    ErrReadFile = 24,
    ErrWriteFile = 25,
    ErrBadFile = 26,
    ErrBadName = 27,
    ErrBadLength = 28,
    ErrNoMemory = 30,
    ErrNoDiskSpace = 31,
    ErrHcMemory = 32,
    ErrDiskFull = 33,
    ErrAddress = 34,
    ErrLowBattery = 35,
    ErrReceiveFail = 36,
    ErrBadParam = 40,
    ErrMakeDir = 41,
    ErrBadMif = 42,
    ErrThreadStart = 43,
    ErrNotConnected = 256,
    ErrBusy = 512,
    ErrRetrying = 768,
    ErrModuleCall = 4096,
};

// Link modes: which family answered the last detection.
constexpr uint8_t ModeByteFrame = 1;
constexpr uint8_t ModeByteFrameNumbered = 2;
constexpr uint8_t ModeTextFrame = 3;

inline bool IsByteFrameMode(uint8_t mode) {
    return mode < ModeTextFrame;
}

}  // namespace tarvix
