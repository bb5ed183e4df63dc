// The clock and sleeping. Wall-clock time is int32 seconds since 1970-01-01 00:00 UTC, as the
// system stores it; tests may shift it (the shift is process-wide).
#pragma once

#include <cstdint>

namespace tovi {

int32_t nowSeconds();
// Monotonic milliseconds, for deadlines and time-outs that must not jump with the wall clock.
int64_t monotonicMs();
void sleepMs(int milliseconds);
// Adds offsetSeconds to every later nowSeconds() of this process (tests only).
void setClockOffsetForTests(int32_t offsetSeconds);

}  // namespace tovi
