// The world of a client library test: a scratch installation with the real
// service and simulated VCIs as child processes, in the test's private
// network namespace, and a listener that records what the library tells
// the application. Waits end with the event they wait for; the guard of
// each only keeps a broken build from hanging.
#pragma once

#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ServiceProcess.h"
#include "host/Brand.h"
#include "vci-ident/IdentClient.h"

namespace clienttest {

const std::string kBin = VCI_BIN_DIR;

class ClientWorld {
 public:
  ClientWorld() {
    // The service needs a brand; its trace stays off standard output, which
    // no one reads here.
    std::string brand;
    EncodeBrandText("KIVO", brand);
    const std::string registry = getenv("VCI_IDENT_REGISTRY");
    m_Home = registry.substr(0, registry.rfind('/'));
    testenv::WriteFile(registry, testenv::ReadFile(registry) + "\"Brand\"=\"" + brand + "\"\n");
    testenv::WriteFile(m_Home + "/ident.ini", "[Log]\nLevel = info\npersist = true\n");
  }
  const std::string& Home() const { return m_Home; }

  bool StartService() {
    m_Service.reset(new testenv::ChildProcess(kBin + "/vci-identd", {}));
    return m_Service->WaitReady();
  }
  int StopService() {
    m_Service->Signal(SIGTERM);
    return m_Service->Wait();
  }
  // A vci-sim child, once it said it is ready (null when it did not).
  testenv::ChildProcess* StartSim(const std::vector<std::string>& args) {
    m_Sims.emplace_back(new testenv::ChildProcess(kBin + "/vci-sim", args));
    return m_Sims.back()->ReadLineContaining("ready").empty() ? nullptr : m_Sims.back().get();
  }

 private:
  testenv::ServiceHome m_ServiceHome;  // first: the registry the rest reads
  std::string m_Home;
  std::unique_ptr<testenv::ChildProcess> m_Service;
  std::vector<std::unique_ptr<testenv::ChildProcess>> m_Sims;
};

// Each listener call as a line ("table 4711 4712", "bindings 127.0.0.2",
// "error 32772", "lost 40007", "back 1234"), in order.
class Recorder : public vciident::IIdentClientListener {
 public:
  void OnTableChanged(const std::vector<vciident::VciInfo>& table) override {
    std::string line = "table";
    for (const auto& vci : table) line += " " + std::to_string(vci.serial);
    Add(line);
  }
  void OnBindingsChanged(const std::vector<vciident::VciBinding>& bindings) override {
    std::string line = "bindings";
    for (const auto& b : bindings) line += " " + b.vciAddress;
    Add(line);
  }
  void OnServiceError(uint32_t code) override { Add("error " + std::to_string(code)); }
  void OnServiceLost(int reason) override { Add("lost " + std::to_string(reason)); }
  void OnServiceBack(const vciident::ServiceInfo& s) override { Add("back " + std::to_string(s.sessionId)); }

  // Waits for a call whose line is line (begins with it, when it ends with
  // a blank), after the place given, and returns its place (-1 when it never
  // came).
  int WaitFor(const std::string& line, int after = -1) {
    std::unique_lock<std::mutex> lock(m_Lock);
    int place = -1;
    const size_t compared = line.back() == ' ' ? line.size() : std::string::npos;
    m_Cond.wait_for(lock, std::chrono::seconds(30), [&] {
      for (size_t i = static_cast<size_t>(after + 1); i < m_Lines.size() && place < 0; ++i)
        if (m_Lines[i].compare(0, compared, line) == 0) place = static_cast<int>(i);
      return place >= 0;
    });
    return place;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Lines;
  }

 private:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Lines.push_back(line);
    m_Cond.notify_all();
  }
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  std::vector<std::string> m_Lines;
};

// The client's entry for the VCI of that serial number; an empty one (serial
// 0) when it has none.
inline vciident::VciInfo Find(const vciident::CIdentClient& client, uint32_t serial) {
  for (const vciident::VciInfo& vci : client.GetTable())
    if (vci.serial == serial) return vci;
  return vciident::VciInfo();
}

// vci-ident with the words of command, its standard error on its standard
// output.
inline std::unique_ptr<testenv::ChildProcess> VciIdent(const std::string& command) {
  return std::unique_ptr<testenv::ChildProcess>(
      new testenv::ChildProcess("/bin/sh", {"-c", "exec " + kBin + "/vci-ident " + command + " 2>&1"}));
}

// Short waits for the tests.
inline vciident::ClientOptions QuickOptions(Recorder* recorder) {
  vciident::ClientOptions options;
  options.clientName = "client-lib-test";
  options.listener = recorder;
  options.connectPauseMs = 1;
  options.retryFirstMs = 20;
  options.retryLastMs = 100;
  return options;
}

}  // namespace clienttest
