// Load and unload notifications of libtarvix.so.
#include "api/start.h"
#include "common/lasting.h"
#include "platform/module.h"
#include "platform/process.h"

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
        const bool quiet = tarvix::LibraryDetach();
        // A library that is really unmapped (never pinned by a worker) takes its objects' memory with
        // it, so what they hold must go too.  Only when this is the process's last thread: at exit()
        // another host thread may still be inside an export and must find the objects alive.
        if (quiet && !tarvix::platform::LibraryPinned() && tarvix::platform::ThreadCount() == 1) {
            tarvix::EndLastingObjects();
        }
    } catch (...) {
    }
}

}  // namespace
