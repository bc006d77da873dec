// Process and thread odds and ends under their Windows names.
#pragma once

#include "platform/WinTypes.h"

// The calling thread's id as the kernel numbers it (the id that ps, top and
// a debugger show), which the trace log prints on every line.
DWORD GetCurrentThreadId();
