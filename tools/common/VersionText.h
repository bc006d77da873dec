// The version text that every program of the project prints for --version,
// and the service writes in its start line: one text, from the constants of
// the build (the project version and the configure date).
#pragma once

#include <cstdio>
#include <string>

#include "BuildVersion.h"

// "1.0.0 (2026dec06)"
inline std::string VersionText() { return VCI_PRODUCT_VERSION " (" VCI_COMPILE_DATE ")"; }

// Prints "PROGRAM 1.0.0 (2026dec06)" on standard output; 0, the exit code.
inline int PrintVersion(const char* program) {
  std::printf("%s %s\n", program, VersionText().c_str());
  return 0;
}
