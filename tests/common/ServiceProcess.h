// Running the service in a test: a scratch installation for it, and the
// service (or any program of the build) as a child process.
#pragma once

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TestEnv.h"

namespace testenv {

// A scratch installation, in force while the object lives: the registry
// names the scratch folder as home and log folder, and its ident.ini shows
// and keeps every trace line, appended, so that every instance's lines stay.
class ServiceHome {
 public:
  ServiceHome() : m_Registry(m_Dir, RegistryText(m_Dir.Path()).c_str()) {
    WriteFile(m_Dir.File("ident.ini"), "[Log]\nLevel = info\npersist = true\nappend = true\n[Mode]\nShowWindow = true\n");
  }
  std::string File(const std::string& name) const { return m_Dir.File(name); }
  // The trace messages of process pid in order, without the settings
  // ("Name = value") that each start lists and the start and stop lines
  // (which name the version and this run's paths).
  std::vector<std::string> Messages(pid_t pid) const {
    std::istringstream in(ReadFile(m_Dir.File("ident/ident_log.txt")));
    std::vector<std::string> messages;
    // "hh:mm:ss.mmm:<thread id>:<level>: <message>"; the main thread's id is the pid.
    for (std::string line; std::getline(in, line);) {
      size_t colon = line.size() > 13 ? line.find(':', 13) : std::string::npos;
      if (colon == std::string::npos || atoi(line.c_str() + 13) != pid || line.find(" = ") != std::string::npos)
        continue;
      const std::string message = line.substr(colon + 7);
      if (message.compare(0, 27, "VCI Identification Service ") != 0 || !isdigit(message[27]))
        messages.push_back(message);
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

}  // namespace testenv
