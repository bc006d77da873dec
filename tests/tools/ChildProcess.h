// A program of the build run as a child process for a test: its standard
// output and error come through one pipe and are read line by line, its
// standard input takes what the test writes, and a signal stops it. Start
// it inside the test's private network namespace when it binds the fixed
// ports (the child inherits the namespace).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/SocketPeers.h"

namespace testenv {

class ChildProcess {
 public:
  // Starts VCI_BIN_DIR/program and, unless ready is empty, waits for an
  // output line that contains ready; Ready() tells whether it came.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& ready) {
    // Everything the child needs is built before the fork: the parent may
    // already run threads.
    const std::string path = std::string(VCI_BIN_DIR) + "/" + program;
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Close-on-exec, so that no other child holds the pipes open.
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    m_Pid = fork();
    if (m_Pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_In = in[1];
    m_Out = out[0];
    m_bReady = ready.empty() || !ReadLineContaining(ready).empty();
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Ready() const { return m_bReady; }

  bool Write(const std::string& text) {
    return write(m_In, text.data(), text.size()) == static_cast<ssize_t>(text.size());
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
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - sockettest::Clock::now());
      struct pollfd p = {m_Out, POLLIN, 0};
      char buf[4096];
      ssize_t n;
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
          (n = read(m_Out, buf, sizeof buf)) <= 0)
        return std::string();
      m_Buffer.append(buf, static_cast<size_t>(n));
    }
  }
  std::string ReadLineContaining(const std::string& text, int timeoutMs = sockettest::kGuardMs) {
    return ReadLine([&text](const std::string& l) { return l.find(text) != std::string::npos; }, timeoutMs);
  }

  // Sends the signal, then returns the exit status (-1 when the child did
  // not end normally).
  int Stop(int signal = SIGTERM) {
    if (m_Pid <= 0) return -1;
    kill(m_Pid, signal);
    int status = 0;
    waitpid(m_Pid, &status, 0);
    m_Pid = -1;
    close(m_In);
    close(m_Out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t m_Pid = -1;
  int m_In = -1;
  int m_Out = -1;
  bool m_bReady = false;
  std::string m_Buffer;
};

}  // namespace testenv
