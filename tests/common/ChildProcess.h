// A program of the build run as a child process for a test. Its standard
// output and error come through one pipe that the test reads line by line,
// its standard input takes what the test writes, and $NOTIFY_SOCKET names a
// socket of this object, so that the test can wait for the program's
// "READY=1" and read what else it tells the service manager. Start it inside
// the test's private network namespace when it binds the fixed ports (the
// child inherits the namespace). The time limits only guard against a broken
// program; nothing waits for a time to pass.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/SocketPeers.h"

extern char** environ;

namespace testenv {

class ChildProcess {
 public:
  // program: a path, or the name of a program in VCI_BIN_DIR. Unless ready
  // is empty, waits for an output line that contains it; Ready() tells
  // whether it came. env: "NAME=value" added to the child's environment;
  // "JOURNAL_STREAM" alone names the output pipe as systemd names the
  // journal stream it connects a service to.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& ready = "",
               const std::vector<std::string>& extraEnv = {}) {
    static int serial = 0;
    const std::string notify = "vci-test-notify-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, notify.data(), notify.size());
    m_Notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bind(m_Notify, reinterpret_cast<sockaddr*>(&addr), offsetof(sockaddr_un, sun_path) + 1 + notify.size());

    // Close-on-exec, so that no other child holds the pipes open.
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    // Everything the child needs is built before the fork: the parent may
    // already run threads.
    std::vector<std::string> env{"NOTIFY_SOCKET=@" + notify};
    for (std::string e : extraEnv) {
      struct stat st;
      if (e == "JOURNAL_STREAM" && fstat(out[1], &st) == 0)
        e += "=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
      env.push_back(e);
    }
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env.push_back(*e);
    const std::string path = program.find('/') == std::string::npos ? std::string(VCI_BIN_DIR) + "/" + program : program;
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp = Pointers(argv), envp = Pointers(env);
    m_Pid = fork();
    if (m_Pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      execve(path.c_str(), argp.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_In = in[1];
    m_Out = out[0];
    m_bReady = m_Pid > 0 && (ready.empty() || !ReadLineContaining(ready).empty());
  }
  // A child still running gets SIGTERM and a guard's time to end in order
  // (a simulator tears its namespaces down), then SIGKILL.
  ~ChildProcess() {
    if (m_Pid > 0 && !m_bReaped) {
      kill(m_Pid, SIGTERM);
      if (!Ends(sockettest::kGuardMs / 4)) kill(m_Pid, SIGKILL);
      Wait();
    }
    close(m_In);
    close(m_Out);
    close(m_Notify);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Ready() const { return m_bReady; }
  pid_t Pid() const { return m_Pid; }
  void Signal(int sig) {
    if (m_Pid > 0 && !m_bReaped) kill(m_Pid, sig);
  }
  bool Write(const std::string& text) {
    return write(m_In, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // True once the program has sent READY=1.
  bool WaitReady() { return WaitNotify("READY=1"); }
  // True once the program has sent message; the others are passed over.
  bool WaitNotify(const std::string& message) {
    for (std::string m; !(m = ReadNotify()).empty();)
      if (m == message) return true;
    return false;
  }
  // The program's next message to the service manager; "" when none comes.
  std::string ReadNotify() {
    char text[256] = {};
    if (!Readable(m_Notify, sockettest::Clock::now() + std::chrono::milliseconds(sockettest::kGuardMs)) ||
        recv(m_Notify, text, sizeof text - 1, 0) <= 0)
      return "";
    return text;
  }

  // The next output line that match accepts, passing the others over; ""
  // when the output ends or none comes within timeoutMs.
  std::string ReadLine(const std::function<bool(const std::string&)>& match, int timeoutMs = sockettest::kGuardMs) {
    const auto until = sockettest::Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl;
      while ((nl = m_Buffer.find('\n')) != std::string::npos) {
        std::string line = m_Buffer.substr(0, nl);
        m_Buffer.erase(0, nl + 1);
        if (match(line)) return line;
      }
      char chunk[4096];
      ssize_t n = Readable(m_Out, until) ? read(m_Out, chunk, sizeof chunk) : 0;
      if (n <= 0) return std::string();
      m_Buffer.append(chunk, static_cast<size_t>(n));
    }
  }
  std::string ReadLineContaining(const std::string& text, int timeoutMs = sockettest::kGuardMs) {
    return ReadLine([&text](const std::string& l) { return l.find(text) != std::string::npos; }, timeoutMs);
  }

  // The exit code once the child has ended; -1 when it did not end normally.
  int Wait() {
    int status = 0;
    if (m_Pid <= 0 || m_bReaped || waitpid(m_Pid, &status, 0) != m_Pid) return -1;
    m_bReaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Sends the signal and returns the exit code as Wait does.
  int Stop(int signal = SIGTERM) {
    Signal(signal);
    return Wait();
  }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(&t[0]);
    p.push_back(nullptr);
    return p;
  }
  static bool Readable(int fd, sockettest::Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - sockettest::Clock::now());
    pollfd p = {fd, POLLIN, 0};
    return left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0;
  }
  // Whether the child ends within ms (its pid descriptor becomes readable).
  bool Ends(int ms) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, m_Pid, 0));
    if (fd < 0) return false;
    pollfd p = {fd, POLLIN, 0};
    bool ended = poll(&p, 1, ms) > 0;
    close(fd);
    return ended;
  }

  pid_t m_Pid = -1;
  bool m_bReaped = false;
  bool m_bReady = false;
  int m_In = -1;
  int m_Out = -1;
  int m_Notify = -1;
  std::string m_Buffer;
};

}  // namespace testenv
