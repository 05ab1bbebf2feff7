// SIGINT and SIGTERM during a run of zucloud-upload. The library has no
// way to cancel an upload under way, so the first signal asks the run to
// stop starting files (the file under way is finished: its journal and the
// summary stay exact), and a second one stops the run at once.
#ifndef ZUCLOUD_TOOLS_STOP_SIGNAL_H
#define ZUCLOUD_TOOLS_STOP_SIGNAL_H

#include <functional>

namespace zutool {

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread
// started after it (the library's), and starts a thread that waits for
// them: the first is recorded (StopRequested) and handed to `first`, the
// next one to `again`, which is expected not to return. Call once, before
// anything starts a thread.
void CatchStopSignals(std::function<void(int)> first, std::function<void(int)> again);

// The signal that asked the run to stop; 0 while none came.
int StopRequested();

// The exit status of a run stopped by `signal`: 128 plus its number (130
// for SIGINT, 143 for SIGTERM).
int StopStatus(int signal);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_STOP_SIGNAL_H
