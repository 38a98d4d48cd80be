// Load and unload notifications of libtarvix.so.
#include "api/start.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
    try {
        tarvix::LibraryAttach();
    } catch (...) {
        // The library loads in every case; a part that failed to start reports at its first use.
    }
}

__attribute__((destructor)) void OnLibraryUnload() {
    try {
        tarvix::LibraryDetach();
    } catch (...) {
    }
}

}  // namespace
