#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

HMODULE LoadLibrary(const char* lpLibFileName) {
  if (!lpLibFileName || !*lpLibFileName) return nullptr;
  return static_cast<HMODULE>(dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL));
}

void* GetProcAddress(HMODULE hModule, const char* lpProcName) {
  if (!hModule || !lpProcName) return nullptr;
  return dlsym(hModule, lpProcName);
}

int FreeLibrary(HMODULE hModule) { return hModule && dlclose(hModule) == 0; }
