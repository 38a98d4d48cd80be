// Library start and stop: what the process attach and detach notifications do.
#pragma once

namespace tarvix {

// Process attach: the text-frame family (message table, frame buffer, settings), then the
// byte-frame family (message table, status record).  Never blocks and does no device I/O that can wait.
void LibraryAttach();
// Process detach: stops every running worker (bounded), then releases what the families hold when no
// worker runs any more; what a worker still running may touch is never released under it.  True when
// no worker runs and the caller is none: the library's objects may then end too.
bool LibraryDetach();

}  // namespace tarvix
