#include <dlfcn.h>

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
        Dl_info self{};
        if (dladdr(reinterpret_cast<void*>(&PinLibrary), &self) == 0 || self.dli_fname == nullptr) return;
        // Another reference that is never released, made undeletable: dlclose leaves the code in place.
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    });
}

bool LibraryPinned() {
    return g_pinned.load();
}

}  // namespace tarvix::platform
