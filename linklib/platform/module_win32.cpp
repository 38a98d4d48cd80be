// The library's module on Windows.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/module.h"

namespace tarvix::platform {
namespace {

std::atomic<bool> g_pinned{false};

}  // namespace

void PinLibrary() {
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        g_pinned.store(true);
        // A pinned module stays mapped until the process ends, whatever FreeLibrary calls follow; the
        // unload notification then only ever comes with the process's end.
        HMODULE self = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&PinLibrary), &self);
    });
}

bool LibraryPinned() {
    return g_pinned.load();
}

}  // namespace tarvix::platform
