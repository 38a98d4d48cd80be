// The library's own module in memory.
#pragma once

namespace tarvix::platform {

// Keeps the library's code mapped until the process ends, whatever unloads the host does later.
// Called before a background thread starts: the thread may still run library code after the host
// has unloaded the library.  Cheap after the first call; a library linked into a program is left as it is.
void PinLibrary();
// True once PinLibrary has run.
bool LibraryPinned();

// The system's part of PinLibrary (module_linux.cpp, module_win32.cpp); called once.
void PinSelf();

}  // namespace tarvix::platform
