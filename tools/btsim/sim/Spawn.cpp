#include "Spawn.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>

extern char** environ;

namespace btsim {

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (std::string& t : texts) p.push_back(&t[0]);
  p.push_back(nullptr);
  return p;
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in, int out) {
  auto nameOf = [](const std::string& v) { return v.substr(0, v.find('=') + 1); };
  std::set<std::string> given;
  for (const std::string& v : env) given.insert(nameOf(v));
  std::vector<std::string> args = argv, vars = env;
  for (char** e = environ; *e; ++e)
    if (!given.count(nameOf(*e))) vars.push_back(*e);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
  if (out >= 0 || out == -2) posix_spawn_file_actions_adddup2(&actions, out == -2 ? 2 : out, 1);
  // The child starts with no signal blocked and SIGPIPE at its default, not
  // as the simulator keeps them.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, pipe;
  sigemptyset(&none);
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &pipe);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0].c_str(), &actions, &attr, Pointers(args).data(), Pointers(vars).data()) != 0)
    pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  pid_t got;
  while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  return got == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool RunProgram(const std::vector<std::string>& argv) {
  pid_t pid = Spawn(argv, {}, -1, -2);
  return pid > 0 && WaitChild(pid) == 0;
}

}  // namespace btsim
