// Runs vci-sim as a child process for a test: started with its arguments,
// commands written to its standard input, stopped with SIGTERM. Call it
// inside the test's private network namespace (the child inherits it).
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

namespace testenv {

class SimProcess {
 public:
  // Starts vci-sim and waits (up to 10 s) for its ready line. Ready()
  // tells whether it came.
  explicit SimProcess(const std::vector<std::string>& args) {
    // Everything the child needs is built before the fork: the parent may
    // already run threads.
    std::string program = std::string(VCI_BIN_DIR) + "/vci-sim";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    m_Pid = fork();
    if (m_Pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_In = in[1];
    m_Out = out[0];
    m_bReady = ReadLineContaining("ready", 10000).find("ready") != std::string::npos;
  }
  ~SimProcess() { Stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Ready() const { return m_bReady; }

  // Sends one command line and returns its answer line ("ok" or "error: ...",
  // or the first JSON line of "status"). The socket layer's own error lines
  // on the same output are passed over.
  std::string Command(const std::string& line) {
    std::string text = line + "\n";
    if (write(m_In, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return std::string();
    return ReadLine(
        [](const std::string& l) { return l == "ok" || l.compare(0, 7, "error: ") == 0 || l.compare(0, 1, "{") == 0; },
        5000);
  }
  // The next output line that contains text, or "" after timeoutMs.
  std::string ReadLineContaining(const std::string& text, int timeoutMs) {
    return ReadLine([&text](const std::string& l) { return l.find(text) != std::string::npos; }, timeoutMs);
  }

  // SIGTERM, then the exit status (-1 when it did not end normally).
  int Stop() {
    if (m_Pid <= 0) return -1;
    kill(m_Pid, SIGTERM);
    int status = 0;
    waitpid(m_Pid, &status, 0);
    m_Pid = -1;
    close(m_In);
    close(m_Out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  template <class Match>
  std::string ReadLine(Match match, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl;
      while ((nl = m_Buffer.find('\n')) != std::string::npos) {
        std::string line = m_Buffer.substr(0, nl);
        m_Buffer.erase(0, nl + 1);
        if (match(line)) return line;
      }
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
      if (left <= 0) return std::string();
      struct pollfd p = {m_Out, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return std::string();
      char buf[512];
      ssize_t n = read(m_Out, buf, sizeof buf);
      if (n <= 0) return std::string();
      m_Buffer.append(buf, static_cast<size_t>(n));
    }
  }

  pid_t m_Pid = -1;
  int m_In = -1;
  int m_Out = -1;
  bool m_bReady = false;
  std::string m_Buffer;
};

}  // namespace testenv
