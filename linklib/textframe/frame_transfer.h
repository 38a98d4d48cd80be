// Stop-and-wait transfers of text frames over the serial line: memory buffers and open files in both
// directions, blocks of at most 256 bytes, each answered by one byte.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/files.h"
#include "textframe/timing.h"

namespace tarvix::tf {

// Each returns true when the whole transfer ended well; `moved` gets the payload bytes moved, also
// after a failure.  A null record means the default {1000 ms, 3 attempts}.
bool ComSendMemory(const uint8_t* data, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts);
bool ComReceiveMemory(uint8_t* buffer, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts);
// From the file's position; `size` 0 sends everything up to its end.
bool ComSendStream(platform::File& file, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts);
// At the file's position, at most `size` bytes: a frame beyond them fails the transfer, and `size` 0
// accepts only an empty last frame.
bool ComReceiveStream(platform::File& file, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts);

// Percent of the running transfer (0 for memory and open-ended transfers, never 100).
int32_t TransferPercent();

// The stop flag of the serial transfers (thrdStop).  A transfer on the caller's thread clears it when
// it begins and ends; a background operation clears it only when it starts and ends (workers.h).
std::atomic<bool>& StopFlag();
void StopSerialTransfer();

// What the last transfer left about its sends: the sends of its frames beyond the first send of each
// (a command packet sent again may have been taken once already), and whether it failed only for
// want of the answer to its last frame (every frame before it was taken).  A receive leaves 0 and false.
uint32_t LastSendResends();
bool LastFrameUnanswered();
// Puts the abort frame on the line by itself and waits for its answer: a handheld still waiting for
// data gives the transfer up, one in command mode passes over it.  True for an acknowledgement.
bool ComSendAbortFrame(const LinkTimeouts* timeouts = nullptr);

// Blocks sent by memory sends since the last reset.
uint32_t UpdateCount();
void ResetUpdateCount();
// One more block sent by a memory send (the USB transport's blocks count too).
void AddUpdateCount();

// The frame buffers live from library start to library stop; without them every transfer fails.
bool AllocFrameBuffer();
void FreeFrameBuffer();

}  // namespace tarvix::tf
