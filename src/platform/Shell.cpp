#include "platform/Shell.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

HINSTANCE Result(intptr_t code) { return reinterpret_cast<HINSTANCE>(code); }

// Runs in the grandchild, between fork and exec: only async-signal-safe calls
// (hence _Fork in the intermediate child, which runs no fork handlers).
[[noreturn]] void Exec(const char* file, char* const* argv, const char* folder, int errorFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
  if (folder && *folder && chdir(folder) != 0) {
    int err = errno;
    (void)!write(errorFd, &err, sizeof err);
    _exit(127);
  }
  execv(file, argv);
  int err = errno;
  (void)!write(errorFd, &err, sizeof err);
  _exit(127);
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory, int) {
  if (lpOperation && strcmp(lpOperation, "open") != 0) return Result(SE_ERR_NOASSOC);
  if (!lpFile || !*lpFile) return Result(SE_ERR_FNF);
  // Everything the children need is made before fork: after it, a child of
  // a threaded process may only make async-signal-safe calls.
  std::vector<std::string> words{lpFile};
  std::istringstream split(lpParameters ? lpParameters : "");
  for (std::string w; split >> w;) words.push_back(w);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  // The grandchild reports a failed chdir or exec through this pipe; a
  // successful exec closes it (close-on-exec), so end of file means running.
  int pipeFd[2];
  if (pipe2(pipeFd, O_CLOEXEC) != 0) return Result(SE_ERR_OOM);
  pid_t child = fork();
  if (child < 0) {
    close(pipeFd[0]);
    close(pipeFd[1]);
    return Result(SE_ERR_OOM);
  }
  if (child == 0) {
    close(pipeFd[0]);
    pid_t grandchild = _Fork();
    if (grandchild == 0) Exec(lpFile, argv.data(), lpDirectory, pipeFd[1]);
    if (grandchild < 0) {
      int err = ENOMEM;
      (void)!write(pipeFd[1], &err, sizeof err);
    }
    _exit(0);
  }
  close(pipeFd[1]);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = read(pipeFd[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(pipeFd[0]);
  if (n != static_cast<ssize_t>(sizeof err)) return Result(33);
  if (err == ENOENT || err == ENOTDIR) return Result(SE_ERR_FNF);
  if (err == EACCES || err == EPERM || err == ENOEXEC) return Result(SE_ERR_ACCESSDENIED);
  return Result(SE_ERR_OOM);
}
