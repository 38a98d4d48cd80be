// What the prompt service asks of the system: the host program's hooks, and the box and window
// restore of the system itself for a host without them.
#pragma once

#include <cstdint>

#include "tarvix.h"

namespace tarvix::platform {

struct HostHooks {
    tarvix_host_prompt_fn prompt = nullptr;
    tarvix_host_restore_window_fn restore = nullptr;
};

// The hooks the loading program's executable exports (none found: null).
HostHooks FindHostHooks();
// A message box of the system without an owner window; returns the button pressed.
int32_t SystemMessageBox(const char* text, const char* caption, uint32_t style);
void SystemRestoreWindow(uint32_t window);

}  // namespace tarvix::platform
