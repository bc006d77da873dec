// Running the service in a test: a scratch installation for it, and the
// service (or any program of the build) as a child process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestEnv.h"

extern char** environ;

namespace testenv {

// A scratch installation, in force while the object lives: the registry
// names the scratch folder as home and log folder, and its ident.ini shows
// and keeps every trace line, appended, so that every instance's lines stay.
class ServiceHome {
 public:
  ServiceHome() : m_Registry(m_Dir, RegistryText(m_Dir.Path()).c_str()) {
    WriteFile(m_Dir.File("ident.ini"), "[Log]\nLevel = info\npersist = true\nappend = true\n[Mode]\nShowWindow = true\n");
  }
  // The trace messages of process pid in order, without the settings
  // ("Name = value") that each start lists.
  std::vector<std::string> Messages(pid_t pid) const {
    std::istringstream in(ReadFile(m_Dir.File("ident/ident_log.txt")));
    std::vector<std::string> messages;
    // "hh:mm:ss.mmm:<thread id>:<level>: <message>"; the main thread's id is the pid.
    for (std::string line; std::getline(in, line);) {
      size_t colon = line.size() > 13 ? line.find(':', 13) : std::string::npos;
      if (colon != std::string::npos && atoi(line.c_str() + 13) == pid && line.find(" = ") == std::string::npos)
        messages.push_back(line.substr(colon + 7));
    }
    return messages;
  }

 private:
  static std::string RegistryText(const std::string& folder) {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"IdentServiceDefaultLocation\"=\"" + folder +
           "\"\n\"LogFileLocation\"=\"" + folder + "\"\n";
  }

  ScratchDir m_Dir;
  ScopedRegistry m_Registry;
};

// A program of the build as a child process, in the test's namespaces and
// environment. Its standard output goes to a pipe that the test reads line by
// line; $NOTIFY_SOCKET names a socket of this object, so that the test can
// wait for the program's "READY=1". The time limits only guard against a
// broken program; nothing waits for a time to pass.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    static int serial = 0;
    std::string notify = "vci-test-notify-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, notify.data(), notify.size());
    m_Notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bind(m_Notify, reinterpret_cast<sockaddr*>(&addr), offsetof(sockaddr_un, sun_path) + 1 + notify.size());

    std::vector<std::string> env{"NOTIFY_SOCKET=@" + notify};
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env.push_back(*e);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (posix_spawn(&m_Pid, program.c_str(), &actions, nullptr, Pointers(argv).data(), Pointers(env).data()) != 0)
      m_Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    m_Out = out[0];
  }
  ~ChildProcess() {
    if (m_Pid > 0 && !m_bReaped) {
      kill(m_Pid, SIGKILL);
      Wait();
    }
    close(m_Out);
    close(m_Notify);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_Pid; }
  void Signal(int sig) { kill(m_Pid, sig); }

  // True once the program has sent READY=1.
  bool WaitReady() {
    char text[64] = {};
    return Readable(m_Notify, std::chrono::steady_clock::now() + kGuard) &&
           recv(m_Notify, text, sizeof text - 1, 0) > 0 && std::string(text) == "READY=1";
  }
  // The next output line that contains text; "" when the output ends first.
  std::string ReadLineContaining(const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + kGuard;
    for (;;) {
      size_t nl;
      while ((nl = m_Buffer.find('\n')) != std::string::npos) {
        std::string line = m_Buffer.substr(0, nl);
        m_Buffer.erase(0, nl + 1);
        if (line.find(text) != std::string::npos) return line;
      }
      char chunk[512];
      ssize_t n = Readable(m_Out, until) ? read(m_Out, chunk, sizeof chunk) : 0;
      if (n <= 0) return std::string();
      m_Buffer.append(chunk, static_cast<size_t>(n));
    }
  }
  // The exit code; -1 when it did not end normally.
  int Wait() {
    int status = 0;
    if (m_Pid <= 0 || m_bReaped || waitpid(m_Pid, &status, 0) != m_Pid) return -1;
    m_bReaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static constexpr std::chrono::seconds kGuard{20};

  static std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(&t[0]);
    p.push_back(nullptr);
    return p;
  }
  static bool Readable(int fd, std::chrono::steady_clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p = {fd, POLLIN, 0};
    return left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0;
  }

  pid_t m_Pid = -1;
  bool m_bReaped = false;
  int m_Out = -1;
  int m_Notify = -1;
  std::string m_Buffer;
};

}  // namespace testenv
