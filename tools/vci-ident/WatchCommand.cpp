// watch: the table kept on screen, a line per change, or a JSON line per
// event.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <mutex>

#include "Cli.h"
#include "JsonText.h"
#include "TimeText.h"
#include "VciJson.h"
#include "VciText.h"

using nlohmann::json;
using namespace vciident;

namespace {

// Told on the library's thread, and once by the main thread with the table
// of the registration (Start); m_Lock keeps the two apart.
class CWatchPrinter : public IIdentClientListener {
 public:
  enum Mode { SCREEN, LINES, JSON };
  explicit CWatchPrinter(Mode mode) : m_Mode(mode) {}

  void Start(const std::vector<VciInfo>& table, const std::vector<VciBinding>& bindings) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Bindings = bindings;
    // Nothing highlighted on the first drawing; every VCI a "+" line.
    if (m_Mode == SCREEN) m_Table = table;
    Table(table);
  }
  void OnTableChanged(const std::vector<VciInfo>& table) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    Table(table);
  }
  void OnBindingsChanged(const std::vector<VciBinding>& bindings) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Bindings = bindings;
    if (m_Mode == JSON) Json({{"event", "bindings"}, {"bindings", BindingsJson(bindings)}});
  }
  void OnServiceError(uint32_t code) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Mode == JSON) return Json({{"event", "error"}, {"code", code}, {"text", EventErrorText(code)}});
    Status("service reports: " + EventErrorText(code));
  }
  void OnServiceLost(int reason) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Mode == JSON) return Json({{"event", "service-lost"}, {"code", reason}, {"text", ResultText(reason)}});
    Status("the service went away (" + ResultText(reason) + "); registering again when it answers");
  }
  void OnServiceBack(const ServiceInfo& service) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Mode == JSON) return Json({{"event", "service-back"}, {"service", ServiceJson(service)}});
    Status("registered again (session " + std::to_string(service.sessionId) + ")");
  }

 private:
  // Each requires m_Lock held.
  void Table(const std::vector<VciInfo>& table) {
    const std::vector<VciInfo> before = std::move(m_Table);
    m_Table = table;
    if (m_Mode == JSON) return Json({{"event", "table"}, {"vcis", TableJson(table, m_Bindings)}});
    if (m_Mode == LINES) {
      for (const std::string& line : ChangeLines(before, table)) std::cout << line << "\n";
      std::cout << std::flush;
      return;
    }
    std::string gone;
    for (const std::string& line : ChangeLines(before, table))
      if (line[0] == '-') gone += line.substr(1);
    if (!gone.empty()) m_sStatus = TimeText(false) + "  gone:" + gone + "\n";
    Redraw(ChangedSerials(before, table));
  }
  // The latest news: beside the table on screen until the next, a line of
  // its own in a stream.
  void Status(const std::string& text) {
    if (m_Mode == LINES) {
      std::cout << "! " << text << std::endl;
      return;
    }
    m_sStatus = TimeText(false) + "  " + text + "\n";
    Redraw({});
  }
  void Json(json event) {
    event["time"] = TimeText(true);
    std::cout << JsonText(event) << std::endl;
  }
  void Redraw(const std::set<uint32_t>& changed) {
    std::cout << "\033[H\033[2J" << TimeText(false) << "  " << m_Table.size() << " VCI"
              << (m_Table.size() == 1 ? "" : "s") << "  (Ctrl-C to stop)\n"
              << m_sStatus << "\n"
              << TableText(m_Table, changed) << std::flush;
  }

  const Mode m_Mode;
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
  if (int usage = cli::ParseArgs(command, args, 0, bJson, rest, {"--lines"})) return usage;
  if (bJson && !rest.empty()) return cli::UsageError(command, "--json and --lines exclude each other");
  // Blocked before the library starts its threads, which inherit the mask,
  // so that the stop signals reach sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const CWatchPrinter::Mode mode = bJson            ? CWatchPrinter::JSON
                                   : !rest.empty() || !isatty(STDOUT_FILENO) ? CWatchPrinter::LINES
                                                                             : CWatchPrinter::SCREEN;
  CWatchPrinter printer(mode);
  ClientOptions watchOptions = options;
  watchOptions.listener = &printer;
  CIdentClient client(watchOptions);
  if (cli::Connect(client, options) != 0) return 1;
  printer.Start(client.GetTable(), client.GetBindings());
  int signal = 0;
  sigwait(&stop, &signal);
  client.Disconnect();
  return 0;
}
