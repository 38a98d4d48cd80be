// The link state the whole library shares: which port and rate answered last, which family answered,
// and which text-frame variant is attached.  One copy per process; only the detection writes the
// first three.  Each value is atomic: the query exports read them on other threads while a detection
// or a worker writes them.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvix {

extern std::atomic<int32_t> LinkPort;    // 0 USB, 1-4 COM1-COM4; starts at 1
extern std::atomic<int32_t> LinkRate;    // baud rate of the last serial link that answered; starts at 115200
extern std::atomic<uint8_t> LinkMode;    // 3 text-frame, 1 or 2 byte-frame; starts at 3
extern std::atomic<uint8_t> DeviceKind;  // text-frame variant, 4 or 3; starts at 4

// Back to the values at load (tests).
void ResetLinkState();

// The detection: tries the family of LinkMode and then the other one.  0 when a handheld answered and
// its link is ready (outputs written), 1 otherwise (outputs untouched).
int32_t DetectHandheld(int32_t* port, int32_t* rate, uint8_t* mode);

// True while a background transfer of either family runs.
bool BackgroundWorkRuns();

}  // namespace tarvix
