// Gives the process-wide configuration a trace set-up of the test's choosing
// (its own registry and ident.ini in a scratch folder, taken in through
// CheckForChanges as the service would) and collects the lines posted to the
// main window. On destruction the configuration returns to its defaults.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "host/IdentConfig.h"
#include "host/MainWindowHandle.h"
#include "host/TraceLog.h"

namespace tracetest {

// Gives path a last-write time of its own, so that CheckForChanges sees a
// change even within the same millisecond.
inline void SetUniqueWriteTime(const std::string& path) {
  static long next = 1700000000;
  next += 10;
  struct timespec times[2] = {{next, 0}, {next, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

inline void WriteIni(const std::string& path, const std::string& text) {
  testenv::WriteFile(path, text);
  SetUniqueWriteTime(path);
}

inline std::string RegistryText(const std::string& identFolder, const std::string& logFolder) {
  std::string text = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n";
  if (!identFolder.empty()) text += "\"IdentServiceDefaultLocation\"=\"" + identFolder + "\"\n";
  if (!logFolder.empty()) text += "\"LogFileLocation\"=\"" + logFolder + "\"\n";
  return text;
}

class TraceCapture {
 public:
  explicit TraceCapture(const std::string& ini) {
    const char* old = getenv("VCI_IDENT_REGISTRY");
    m_HadOld = old != nullptr;
    if (old) m_Old = old;
    testenv::WriteFile(RegistryPath(), RegistryText(m_Dir.Path(), m_Dir.Path()));
    setenv("VCI_IDENT_REGISTRY", RegistryPath().c_str(), 1);
    Reconfigure(ini);
    SetLogWindowPoster(&TraceCapture::Post);
  }
  ~TraceCapture() {
    SetLogWindowPoster(nullptr);
    setenv("VCI_IDENT_REGISTRY", RegistryPath().c_str(), 1);
    unlink(m_Dir.File("ident.ini").c_str());
    SetTraceLogSilenced(true);
    CIdentConfig::GetInstance().CheckForChanges();
    SetTraceLogSilenced(false);
    ResetTraceLogState();
    if (m_HadOld)
      setenv("VCI_IDENT_REGISTRY", m_Old.c_str(), 1);
    else
      unsetenv("VCI_IDENT_REGISTRY");
    Clear();
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // Loads new ini text into the process-wide configuration (through its
  // own registry, whatever the test has set since) without writing a line,
  // and starts the trace file afresh: the next line is a first write.
  void Reconfigure(const std::string& ini) {
    std::string current = getenv("VCI_IDENT_REGISTRY") ? getenv("VCI_IDENT_REGISTRY") : "";
    setenv("VCI_IDENT_REGISTRY", RegistryPath().c_str(), 1);
    WriteIni(m_Dir.File("ident.ini"), ini);
    SetTraceLogSilenced(true);
    CIdentConfig& config = CIdentConfig::GetInstance();
    config.CheckForChanges();
    SetTraceLogSilenced(false);
    ResetTraceLogState();
    if (!current.empty()) setenv("VCI_IDENT_REGISTRY", current.c_str(), 1);
  }

  const testenv::ScratchDir& Dir() const { return m_Dir; }
  std::string RegistryPath() const { return m_Dir.File("registry.reg"); }
  std::string TraceFile() const { return m_Dir.File("ident/ident_log.txt"); }

  static std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(Lock());
    return Store();
  }
  // The message part of each posted line (after "<level>: ").
  static std::vector<std::string> Messages() {
    std::vector<std::string> out;
    // "hh:mm:ss.mmm:" then the thread id, ':', four characters of level, ": ".
    for (const std::string& l : Lines()) {
      size_t p = l.find(':', 13);
      out.push_back(p == std::string::npos || p + 7 > l.size() ? l : l.substr(p + 7));
    }
    return out;
  }
  static void Clear() {
    std::lock_guard<std::mutex> g(Lock());
    Store().clear();
  }

 private:
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::vector<std::string>& Store() {
    static std::vector<std::string> lines;
    return lines;
  }
  static bool Post(char* block) {
    {
      std::lock_guard<std::mutex> g(Lock());
      Store().push_back(block);
    }
    free(block);
    return true;
  }

  testenv::ScratchDir m_Dir;
  std::string m_Old;
  bool m_HadOld = false;
};

}  // namespace tracetest
