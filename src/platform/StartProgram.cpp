#include "platform/StartProgram.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

// A double fork: the middle child starts the program and ends at once, so
// the program is re-parented and the caller reaps only the middle child. A
// close-on-exec pipe brings back the errno of a failed exec; its closing
// without data is the sign that exec succeeded. Everything the children
// need is built before the fork, since the caller may run threads.
int StartDetachedProgram(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  const pid_t middle = fork();
  if (middle < 0) {
    const int error = errno;
    close(report[0]);
    close(report[1]);
    return error;
  }
  if (middle == 0) {
    close(report[0]);
    setsid();
    const pid_t program = fork();
    if (program > 0) _exit(0);
    if (program == 0) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
      }
      execv(path.c_str(), argv.data());
    }
    const int error = errno;  // of the failed fork or exec
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

}  // namespace platform
