// The byte-frame family's status record, handed out whole by thrdQueryStatusEx, with its stop flag
// and start tick.  The caller's thread and a background worker share them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "tarvix.h"

namespace tarvix::bf {

// The record itself lives in the library's memory (thrdQueryCurFile points into it).  Its 16- and
// 32-bit fields are read and written through the accessors below, which use atomic operations on
// the record's naturally aligned fields.
TransferStatus& Record();

uint16_t ErrorCode();
void SetErrorCode(uint16_t code);
uint16_t StatusValue();
void SetStatusValue(uint16_t status);
int32_t CurrentBlock();
void SetCurrentBlock(int32_t block);
int32_t BlockCount();
void SetBlockCount(int32_t count);
void SetFileLength(int32_t length);
// Text fields of the record: current file and current PC path (cut to 259 characters).
void SetCurrentFile(const char* path);
void SetCurrentPcPath(const char* path);

// The stop request, set by thrdStop and watched by the transfers.
extern std::atomic<bool> g_stop_flag;
// Tick at which the last serial data send or receive began.
extern std::atomic<uint32_t> g_start_tick;
// Percentage of a running data rescue.
extern std::atomic<int32_t> g_rescue_percent;

// Stores the code; with the flag the status becomes StatusFailed.
void SetError(uint16_t code, bool set_failed);

int32_t QueryStatus();
int32_t QueryPercent();
int32_t QueryTime();
int32_t Stop(int32_t how);
int32_t LastErrCode();  // also clears the stop flag
// Copies the record; `release_link` closes the link as the copy does after a transfer.
int32_t QueryStatusEx(TransferStatus* out, void (*release_link)());

}  // namespace tarvix::bf
