// Shared libraries loaded at run time, under their Windows names. The
// library is looked up as the dynamic loader looks up any library: a bare
// file name goes through its search path ($LD_LIBRARY_PATH first), a name
// with a slash is a path.
#pragma once

struct ModuleImpl;
typedef ModuleImpl* HMODULE;

// Binds every symbol at once and keeps the library's symbols to itself, so
// that two stacks never mix. Null when it cannot be loaded.
HMODULE LoadLibrary(const char* lpLibFileName);
// The exported symbol, or null (also for a null module).
void* GetProcAddress(HMODULE hModule, const char* lpProcName);
// Nonzero when the module was released.
int FreeLibrary(HMODULE hModule);
