// The instance guard's data: 8 bytes shared by every process that has the library loaded, zero when
// the first of them maps it and gone after the last one unloads.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvix::platform {

struct SharedInstanceData {
    std::atomic<uint32_t> count;
    std::atomic<uint32_t> window;
};
static_assert(sizeof(SharedInstanceData) == 8);

// Maps the shared data (idempotent); nullptr when the mapping failed.  The name is taken from
// TARVIX_SHM_NAME when set (tests), else a per-user default.
SharedInstanceData* AttachInstanceData();
// Unmaps it; the last process removes it.
void DetachInstanceData();

}  // namespace tarvix::platform
