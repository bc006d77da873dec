// Starting the programs the simulator needs: ip and unshare for its
// network, vci-sim behind a personal-area network, the service in the "-t"
// mode. Close-on-exec descriptors stay with the simulator.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace btsim {

// Starts argv[0] (searched on the PATH when it has no "/") with the extra
// environment entries ("NAME=value") added, standard input and output taken
// from the given descriptors (-1: the simulator's own, except that output
// -2 is the simulator's standard error). The child's pid, -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in, int out);

// Waits for the child; its exit status, -1 when it did not exit normally.
int WaitChild(pid_t pid);

// Runs a program to its end, its output to standard error; true when it
// exited with 0.
bool RunProgram(const std::vector<std::string>& argv);

}  // namespace btsim
