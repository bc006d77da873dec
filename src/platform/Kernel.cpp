#include "platform/Kernel.h"

#include <sys/syscall.h>
#include <unistd.h>

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }
