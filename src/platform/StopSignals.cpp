#include "platform/StopSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

const int kSignals[] = {SIGTERM, SIGINT};
// Caught by CStopSignals beside the stop signals.
const int kReloadSignal = SIGHUP;
volatile sig_atomic_t g_WriteFd = -1;

void OnSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  if (write(g_WriteFd, &b, 1) < 0) {
    // A full pipe already holds a stop request.
  }
  errno = saved;
}

void SetAction(int sig, void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

}  // namespace

CStopSignals::CStopSignals() {
  if (pipe2(m_Pipe, O_CLOEXEC) != 0) {
    perror("CStopSignals: pipe");
    return;
  }
  fcntl(m_Pipe[1], F_SETFL, O_NONBLOCK);
  g_WriteFd = m_Pipe[1];
  m_Watcher = std::thread(&CStopSignals::Watch, this);
  SetAction(SIGPIPE, SIG_IGN);
  for (int sig : kSignals) SetAction(sig, &OnSignal);
  SetAction(kReloadSignal, &OnSignal);
}

CStopSignals::~CStopSignals() {
  for (int sig : kSignals) SetAction(sig, SIG_DFL);
  SetAction(kReloadSignal, SIG_DFL);
  if (m_Pipe[1] < 0) return;
  g_WriteFd = -1;
  // Byte 0 is no signal: it stops the watcher. Blocking here, so it cannot
  // be lost to a pipe filled by signals.
  fcntl(m_Pipe[1], F_SETFL, 0);
  unsigned char stop = 0;
  if (write(m_Pipe[1], &stop, 1) != 1) perror("CStopSignals: pipe");
  m_Watcher.join();
  close(m_Pipe[0]);
  close(m_Pipe[1]);
}

void CStopSignals::SetTarget(HWND hwnd) {
  CMutexLock g(m_Lock);
  m_hTarget = hwnd;
  if (m_bPending && hwnd) {
    m_bPending = false;
    PostMessage(hwnd, WM_CLOSE, 0, 0);
  }
}

void CStopSignals::Watch() {
  for (;;) {
    unsigned char sig;
    ssize_t n = read(m_Pipe[0], &sig, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1 || sig == 0) return;
    CMutexLock g(m_Lock);
    if (sig == kReloadSignal) {
      if (m_hTarget) PostMessage(m_hTarget, WM_RELOAD_CONFIG, 0, 0);
    } else if (m_hTarget) {
      PostMessage(m_hTarget, WM_CLOSE, 0, 0);
    } else {
      m_bPending = true;
    }
  }
}

namespace platform {

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kSignals) sigaddset(&set, sig);
  return set;
}

sigset_t BlockStopSignals() {
  const sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

}  // namespace platform
