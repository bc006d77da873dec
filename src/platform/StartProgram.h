// Starting another program and leaving it to run on its own, as the shell's
// "open" does: the caller never waits for it and no zombie is left behind.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts the program at path with the arguments, in a session of its own,
// with standard input, output and error on /dev/null and the caller's
// environment. 0 once it has been started (its exec succeeded); otherwise
// the errno of the step that failed (ENOENT for a missing program).
int StartDetachedProgram(const std::string& path, const std::vector<std::string>& args);

}  // namespace platform
