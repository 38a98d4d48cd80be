// The prompt's system side on Linux: hooks from the executable's dynamic symbols; without a host
// hook there is no box to show, so the safe answer is given.
#include <dlfcn.h>

#include "platform/prompt_system.h"

namespace tarvix::platform {

HostHooks FindHostHooks() {
    // The host's executable exports its hooks dynamically; the library's own exports stay untouched.
    HostHooks hooks;
    hooks.prompt = reinterpret_cast<tarvix_host_prompt_fn>(dlsym(RTLD_DEFAULT, TARVIX_HOST_PROMPT_SYMBOL));
    hooks.restore = reinterpret_cast<tarvix_host_restore_window_fn>(
        dlsym(RTLD_DEFAULT, TARVIX_HOST_RESTORE_WINDOW_SYMBOL));
    return hooks;
}

int32_t SystemMessageBox(const char*, const char*, uint32_t style) {
    // Nobody to ask: No to a question, OK otherwise.
    return (style & 0x0Fu) == TARVIX_MB_YESNO ? TARVIX_ID_NO : TARVIX_ID_OK;
}

void SystemRestoreWindow(uint32_t) {}

}  // namespace tarvix::platform
