// Process and thread odds and ends under their Windows names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/WinTypes.h"

// The calling thread's id as the kernel numbers it (the id that ps, top and
// a debugger show), which the trace log prints on every line.
DWORD GetCurrentThreadId();

// One reading of the wall clock in the two forms the logs stamp their lines
// with: seconds since 1970 with their fraction in 100 ns units, and the same
// instant as local calendar time (to the millisecond, with the weekday, 0 =
// Sunday), so that a line's time of day and its date never straddle a second.
struct WallClock {
  int64_t llSeconds;
  uint32_t uiTicks100ns;
  SYSTEMTIME Local;
};
WallClock GetWallClock();

// The wall clock alone, to the nanosecond, for time stamps that are compared
// rather than shown (no calendar conversion).
void GetRealTime(int64_t& seconds, int64_t& nanoseconds);

// A tone of the frequency for duration ms: the terminal bell when standard
// output is a terminal (the frequency is not heard), then a sleep of the
// duration.
void Beep(DWORD frequency, DWORD duration);

// Hands the free memory at the top and inside the heap back to the system,
// which the allocator otherwise keeps for later allocations: after a burst
// of short-lived records (a flood of spoofed VCIs swept out again) the
// resident size comes back down.
void ReleaseFreeMemory();

// Raises the soft limit of open descriptors to the hard one (the control
// port alone may hold a thousand conversations) and returns the soft limit
// then in force.
uint32_t RaiseDescriptorLimit();

// Blocks of at least the given size are mapped for themselves and unmapped
// when freed. glibc raises that threshold after a large block is freed (up
// to 32 MiB), so that the megabytes of a peer's large frames or replies
// would then stay in a thread's arena for good; a fixed one gives them back.
void MapLargeBlocks(size_t bytes);
