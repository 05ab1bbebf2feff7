// Millisecond sleep behind every retry wait.
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

// Replaces real sleeping by a call of `hook` with the nominal milliseconds
// (tests record waits this way). An empty hook restores real sleeping.
using SleepHook = std::function<void(unsigned int milliseconds)>;
void SetSleepHook(SleepHook hook);

// PZSLEEP that ends early once `stop` returns true (checked every few
// milliseconds; an empty `stop` never ends it early). The hook, when set,
// receives the nominal milliseconds as for PZSLEEP.
void SleepUnless(unsigned int milliseconds, const std::function<bool()>& stop);

// The factor of ZUCLOUD_WAIT_SCALE, read on each call.
double WaitScale();

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_PZ_SLEEP_H
