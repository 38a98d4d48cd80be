// The library's module on Windows.
#include <windows.h>

#include "platform/module.h"

namespace tarvix::platform {

void PinSelf() {
    // A pinned module stays mapped until the process ends, whatever FreeLibrary calls follow; the
    // unload notification then only ever comes with the process's end.
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&PinLibrary), &self);
}

}  // namespace tarvix::platform
