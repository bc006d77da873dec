// Gives the process-wide configuration a trace set-up of the test's choosing
// (a registry naming a scratch folder as home and log folder, and an
// ident.ini there taken in through CheckForChanges as the service would) and
// collects the lines posted to the main window. On destruction the
// configuration returns to its defaults.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "host/IdentConfig.h"
#include "host/MainWindowHandle.h"
#include "host/TraceLog.h"

namespace tracetest {

// Each write gets a last-write time of its own, so that CheckForChanges sees
// a change even within the same millisecond.
inline void WriteIni(const std::string& path, const std::string& text) {
  static long next = 1700000000;
  next += 10;
  testenv::WriteFile(path, text);
  struct timespec times[2] = {{next, 0}, {next, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

inline std::string RegistryText(const std::string& identFolder, const std::string& logFolder) {
  std::string text = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n";
  if (!identFolder.empty()) text += "\"IdentServiceDefaultLocation\"=\"" + identFolder + "\"\n";
  if (!logFolder.empty()) text += "\"LogFileLocation\"=\"" + logFolder + "\"\n";
  return text;
}

class TraceCapture {
 public:
  explicit TraceCapture(const std::string& ini) : m_Registry(m_Dir, RegistryText(m_Dir.Path(), m_Dir.Path()).c_str()) {
    Reconfigure(ini);
    SetLogWindowPoster(&TraceCapture::Post);
  }
  ~TraceCapture() {
    SetLogWindowPoster(nullptr);
    testenv::WriteFile(RegistryPath(), RegistryText(m_Dir.Path(), m_Dir.Path()));
    std::remove(m_Dir.File("ident.ini").c_str());
    Apply();
    Clear();
  }

  // Takes new ini text into the process-wide configuration without writing
  // a line; the next line is the process's first write again.
  void Reconfigure(const std::string& ini) {
    WriteIni(m_Dir.File("ident.ini"), ini);
    Apply();
  }

  const testenv::ScratchDir& Dir() const { return m_Dir; }
  const std::string& RegistryPath() const { return m_Registry.Path(); }
  std::string TraceFile() const { return m_Dir.File("ident/ident_log.txt"); }

  // The lines posted since the last Clear, whole or as their message part
  // (after "hh:mm:ss.mmm:", the thread id, ':', the level and ": ").
  static std::vector<std::string> Lines(bool messages = false) {
    std::lock_guard<std::mutex> g(s_Lock);
    std::vector<std::string> out = s_Lines;
    if (messages)
      for (std::string& l : out) l = l.substr(l.find(':', 13) + 7);
    return out;
  }
  static std::vector<std::string> Messages() { return Lines(true); }
  static void Clear() {
    std::lock_guard<std::mutex> g(s_Lock);
    s_Lines.clear();
  }

 private:
  static void Apply() {
    SetTraceLogSilenced(true);
    CIdentConfig::GetInstance().CheckForChanges();
    SetTraceLogSilenced(false);
    ResetTraceLogState();
  }
  static bool Post(char* block) {
    std::lock_guard<std::mutex> g(s_Lock);
    s_Lines.push_back(block);
    free(block);
    return true;
  }
  static inline std::mutex s_Lock;
  static inline std::vector<std::string> s_Lines;  // Guarded by s_Lock.

  testenv::ScratchDir m_Dir;
  testenv::ScopedRegistry m_Registry;
};

}  // namespace tracetest
