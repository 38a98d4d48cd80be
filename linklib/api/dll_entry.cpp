// Load and unload notifications of tarvix.dll.  They run under the system's loader lock: nothing
// here starts, joins or waits for a thread, and nothing loads another module.  Device discovery is
// left to the first operation that needs the device.
#include <windows.h>

#include "api/start.h"
#include "common/lasting.h"
#include "platform/module.h"
#include "platform/process.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    try {
        if (reason == DLL_PROCESS_ATTACH) {
            tarvix::platform::SetLoaderContext(true);
            tarvix::LibraryAttach();
            tarvix::platform::SetLoaderContext(false);
        } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
            // FreeLibrary: the library stays pinned once a worker has started (PinLibrary), so
            // no worker runs now and the families' stop finds nothing to wait for.
            tarvix::platform::SetLoaderContext(true);
            const bool quiet = tarvix::LibraryDetach();
            // The module's memory goes with it, so what the lasting objects hold goes too; only when
            // no other thread of the host may still be inside an export.
            if (quiet && !tarvix::platform::LibraryPinned() && tarvix::platform::ThreadCount() == 1) {
                tarvix::EndLastingObjects();
            }
            tarvix::platform::SetLoaderContext(false);
        }
        // Process exit (reserved != NULL): the other threads are already gone, possibly in the middle
        // of their work; the system releases handles and memory.  Waiting for them would hang.
    } catch (...) {
        // The library loads in every case; a part that failed to start reports at its first use.
        tarvix::platform::SetLoaderContext(false);
    }
    return TRUE;
}
