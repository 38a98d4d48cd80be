// The library's module on Linux.
#include <dlfcn.h>

#include "platform/module.h"

namespace tarvix::platform {

void PinSelf() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&PinLibrary), &self) == 0 || self.dli_fname == nullptr) return;
    // Another reference that is never released, made undeletable: dlclose leaves the code in place.
    dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace tarvix::platform
