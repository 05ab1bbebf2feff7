// Millisecond sleep behind every retry wait, through the environment in use
// (zu::Env::Sleep; tests record waits there instead of sleeping).
//
// ZUCLOUD_WAIT_SCALE (decimal factor, default 1, negative counts as 0)
// multiplies every wait; 0 makes waits return at once. Callers log the
// nominal milliseconds.
#ifndef ZUCLOUD_PLATFORM_PZ_SLEEP_H
#define ZUCLOUD_PLATFORM_PZ_SLEEP_H

#include <functional>

void PZSLEEP_InTeRnAl(unsigned int milliseconds, const char* sourceFile, int line);

#define PZSLEEP(ms) PZSLEEP_InTeRnAl((ms), __FILE__, __LINE__)

namespace zu {

// PZSLEEP that ends early once `stop` returns true (checked every few
// milliseconds; an empty `stop` never ends it early).
void SleepUnless(unsigned int milliseconds, const std::function<bool()>& stop);

// The factor of ZUCLOUD_WAIT_SCALE, read on each call.
double WaitScale();

// The machine's wait: `milliseconds` times WaitScale() on the clock, ended
// early by `stop` as for SleepUnless.
void SleepScaled(unsigned int milliseconds, const std::function<bool()>& stop);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_PZ_SLEEP_H
