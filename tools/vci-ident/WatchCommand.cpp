// watch: the table kept on screen, or one JSON line per event.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <mutex>

#include "Cli.h"
#include "JsonText.h"
#include "VciJson.h"
#include "VciText.h"

using nlohmann::json;
using namespace vciident;

namespace {

// Told on the library's thread, and once by the main thread with the table
// of the registration (Start); m_Lock keeps the two apart.
class CWatchPrinter : public IIdentClientListener {
 public:
  explicit CWatchPrinter(bool bScreen) : m_bScreen(bScreen) {}

  void Start(const std::vector<VciInfo>& table, const std::vector<VciBinding>& bindings) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Bindings = bindings;
    m_Table = table;  // nothing highlighted on the first drawing
    Table(table);
  }
  void OnTableChanged(const std::vector<VciInfo>& table) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    Table(table);
  }
  void OnBindingsChanged(const std::vector<VciBinding>& bindings) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Bindings = bindings;
    if (!m_bScreen) Line({{"event", "bindings"}, {"bindings", BindingsJson(bindings)}});
  }
  void OnServiceError(uint32_t code) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_bScreen) return Line({{"event", "error"}, {"code", code}, {"text", EventErrorText(code)}});
    Status("service reports: " + EventErrorText(code));
  }
  void OnServiceLost(int reason) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_bScreen) return Line({{"event", "service-lost"}, {"code", reason}, {"text", ResultText(reason)}});
    Status("the service went away (" + ResultText(reason) + "); registering again when it answers");
  }
  void OnServiceBack(const ServiceInfo& service) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_bScreen) return Line({{"event", "service-back"}, {"service", ServiceJson(service)}});
    Status("registered again (session " + std::to_string(service.sessionId) + ")");
  }

 private:
  // Each requires m_Lock held.
  void Table(const std::vector<VciInfo>& table) {
    const std::set<uint32_t> changed = ChangedSerials(m_Table, table);
    std::string gone;
    for (const VciInfo& old : m_Table) {
      bool present = false;
      for (const VciInfo& vci : table) present = present || vci.serial == old.serial;
      if (!present) gone += " " + std::to_string(old.serial);
    }
    m_Table = table;
    if (!m_bScreen) return Line({{"event", "table"}, {"vcis", TableJson(table, m_Bindings)}});
    if (!gone.empty()) m_sStatus = cli::TimeText() + "  gone:" + gone + "\n";
    Redraw(changed);
  }
  // The latest news beside the table stays on screen until the next.
  void Status(const std::string& text) {
    m_sStatus = cli::TimeText() + "  " + text + "\n";
    Redraw({});
  }
  void Line(json event) {
    event["time"] = cli::TimeText();
    std::cout << JsonText(event) << std::endl;
  }
  void Redraw(const std::set<uint32_t>& changed) {
    std::cout << "\033[H\033[2J" << cli::TimeText() << "  " << m_Table.size() << " VCI"
              << (m_Table.size() == 1 ? "" : "s") << "  (Ctrl-C to stop)\n"
              << m_sStatus << "\n"
              << TableText(m_Table, changed) << std::flush;
  }

  const bool m_bScreen;
  std::mutex m_Lock;
  // Guarded by m_Lock.
  std::vector<VciInfo> m_Table;
  std::vector<VciBinding> m_Bindings;
  std::string m_sStatus;
};

}  // namespace

int RunWatch(const Command& command, const ClientOptions& options, const std::vector<std::string>& args) {
  bool bJson;
  std::vector<std::string> rest;
  if (int usage = cli::ParseArgs(command, args, 0, bJson, rest)) return usage;
  // Blocked before the library starts its threads, which inherit the mask,
  // so that the stop signals reach sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  CWatchPrinter printer(!bJson && isatty(STDOUT_FILENO));
  ClientOptions watchOptions = options;
  watchOptions.listener = &printer;
  CIdentClient client(watchOptions);
  if (cli::Connect(client, options, nullptr) != 0) return 1;
  printer.Start(client.GetTable(), client.GetBindings());
  int signal = 0;
  sigwait(&stop, &signal);
  client.Disconnect();
  return 0;
}
