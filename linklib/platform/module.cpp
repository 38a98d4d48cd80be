// The library's own module: when it was pinned.  Pinning itself is the system's (PinSelf in
// module_linux.cpp and module_win32.cpp).
#include "platform/module.h"

#include <atomic>
#include <mutex>

namespace tarvix::platform {

namespace {

std::atomic<bool> g_pinned{false};

}  // namespace

void PinLibrary() {
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        g_pinned.store(true);
        PinSelf();
    });
}

bool LibraryPinned() {
    return g_pinned.load();
}

}  // namespace tarvix::platform
