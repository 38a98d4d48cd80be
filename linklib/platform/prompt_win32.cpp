// The prompt's system side on Windows: the host's hooks are exports of its executable module; without
// them the library shows MessageBoxA without an owner window, with the style the caller gives (system-
// modal flags included), and restores a registered window with ShowWindow.
#include <windows.h>

#include "platform/prompt_system.h"

namespace tarvix::platform {

HostHooks FindHostHooks() {
    HostHooks hooks;
    HMODULE host = GetModuleHandleA(nullptr);
    if (host == nullptr) return hooks;
    hooks.prompt = reinterpret_cast<tarvix_host_prompt_fn>(
        reinterpret_cast<void*>(GetProcAddress(host, TARVIX_HOST_PROMPT_SYMBOL)));
    hooks.restore = reinterpret_cast<tarvix_host_restore_window_fn>(
        reinterpret_cast<void*>(GetProcAddress(host, TARVIX_HOST_RESTORE_WINDOW_SYMBOL)));
    return hooks;
}

int32_t SystemMessageBox(const char* text, const char* caption, uint32_t style) {
    return MessageBoxA(nullptr, text, caption, style);
}

void SystemRestoreWindow(uint32_t window) {
    // A window handle has 32 significant bits; a 64-bit process widens one with its sign, as the
    // system does for handles that pass between 32- and 64-bit programs.
    if (window != 0) {
        const auto wide = static_cast<intptr_t>(static_cast<int32_t>(window));
        ShowWindow(reinterpret_cast<HWND>(wide), SW_RESTORE);
    }
}

}  // namespace tarvix::platform
