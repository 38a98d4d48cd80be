// A blocking library call run while the window stays painted.  The call runs on a thread of its own;
// the window thread waits for it in an event loop that paints, fires timers and answers the library's
// message boxes, but leaves user input queued until the call has ended, so no other command starts in
// the middle of this one and the window reacts to the operator again only afterwards.
#pragma once

#include <cstdint>
#include <functional>

class QProgressBar;

namespace desk {

// Runs call and returns its result; an exception it raised is raised again here.  While it runs, bar
// (when given) follows percent(), asked every interval_ms: a value from 0 to 99 is laid over the bar's
// range, any other value leaves the bar where it is.
int32_t RunWhilePainting(const std::function<int32_t()>& call, const std::function<int32_t()>& percent,
                         QProgressBar* bar, int interval_ms = 50);

}  // namespace desk
