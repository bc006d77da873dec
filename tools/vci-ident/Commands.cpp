// list, show, info and fetch-data: register, ask, print, unregister.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "Cli.h"
#include "JsonText.h"
#include "VciJson.h"
#include "VciText.h"

using nlohmann::json;
using namespace vciident;

int RunWatch(const Command& command, const ClientOptions& options, const std::vector<std::string>& args);
int RunBt(const Command& command, const ClientOptions& options, const std::vector<std::string>& args);

namespace {

void PrintJson(const json& document) { std::cout << JsonText(document, 2) << "\n"; }

// The service's answer, table and bindings of one registration; 1 (after
// the line that says why) when there is none.
int Snapshot(const ClientOptions& options, ServiceInfo& service, std::vector<VciInfo>& table,
             std::vector<VciBinding>& bindings) {
  CIdentClient client(options);
  if (cli::Connect(client, options, &service) != 0) return 1;
  table = client.GetTable();
  bindings = client.GetBindings();
  client.Disconnect();
  return 0;
}

int RunList(const Command& command, const ClientOptions& options, const std::vector<std::string>& args) {
  bool bJson;
  std::vector<std::string> rest;
  if (int usage = cli::ParseArgs(command, args, 0, bJson, rest)) return usage;
  ServiceInfo service;
  std::vector<VciInfo> table;
  std::vector<VciBinding> bindings;
  if (Snapshot(options, service, table, bindings) != 0) return 1;
  if (bJson)
    PrintJson({{"service", ServiceJson(service)}, {"vcis", TableJson(table, bindings)}});
  else
    std::cout << TableText(table) << table.size() << " VCI" << (table.size() == 1 ? "" : "s") << "\n";
  return 0;
}

int RunShow(const Command& command, const ClientOptions& options, const std::vector<std::string>& args) {
  bool bJson;
  std::vector<std::string> rest;
  if (int usage = cli::ParseArgs(command, args, 1, bJson, rest)) return usage;
  uint32_t serial = 0;
  if (!cli::ParseSerial(rest[0], serial)) return cli::UsageError(command, "'" + rest[0] + "' is not a serial number");
  ServiceInfo service;
  std::vector<VciInfo> table;
  std::vector<VciBinding> bindings;
  if (Snapshot(options, service, table, bindings) != 0) return 1;
  for (const VciInfo& vci : table) {
    if (vci.serial != serial) continue;
    if (bJson)
      PrintJson(VciJson(vci, bindings));
    else
      std::cout << VciText(vci, bindings);
    return 0;
  }
  return cli::Fail("VCI " + rest[0] + " is not in the service's table");
}

int RunInfo(const Command& command, const ClientOptions& options, const std::vector<std::string>& args) {
  bool bJson;
  std::vector<std::string> rest;
  if (int usage = cli::ParseArgs(command, args, 0, bJson, rest)) return usage;
  CIdentClient client(options);
  ServiceInfo service;
  const int iRet = client.Connect(&service);
  const std::string where = options.serviceAddress + ":" + std::to_string(options.controlPort);
  if (iRet != 0) {
    if (bJson)
      PrintJson({{"address", where}, {"answers", false}, {"code", iRet}, {"error", ResultText(iRet)}});
    else
      std::cout << "address         " << where << "\nanswers         no: " << ResultText(iRet) << " (code " << iRet << ")\n";
    return 1;
  }
  client.Disconnect();
  if (bJson) {
    json out = ServiceJson(service);
    out["address"] = where;
    out["answers"] = true;
    PrintJson(out);
  } else {
    std::cout << "address         " << where << "\nanswers         yes\nproduct name    " << service.productName
              << "\nversion         " << VersionText(service.versionNumber) << "\nbuild date      "
              << BuildDateText(service.buildDate) << "\ninstance token  " << service.instanceToken << "\n";
  }
  return 0;
}

int RunFetchData(const Command& command, const ClientOptions& options, const std::vector<std::string>& args) {
  bool bJson;
  std::vector<std::string> rest;
  if (int usage = cli::ParseArgs(command, args, 1, bJson, rest)) return usage;
  CIdentClient client(options);
  std::map<std::string, std::vector<uint8_t>> files;
  uint32_t unreadable = 0;
  const int iRet = client.FetchDataFiles(files, &unreadable);
  if (iRet != 0) return cli::Fail(ResultText(iRet) + " (code " + std::to_string(iRet) + ")");
  std::error_code error;
  std::filesystem::create_directories(rest[0], error);
  if (error) return cli::Fail(rest[0] + ": " + error.message());
  json written = json::array();
  int failures = 0;
  for (const auto& file : files) {
    // A name is a plain file name; anything that would leave DIR is refused.
    if (file.first.empty() || file.first == "." || file.first == ".." || file.first.find('/') != std::string::npos) {
      std::cerr << "vci-ident: skipped a file named '" << file.first << "'\n";
      ++failures;
      continue;
    }
    const std::string path = rest[0] + "/" + file.first;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.second.data()), static_cast<std::streamsize>(file.second.size()));
    out.close();
    if (!out) {
      std::cerr << "vci-ident: " << path << ": cannot be written\n";
      ++failures;
      continue;
    }
    written.push_back({{"name", file.first}, {"size", file.second.size()}});
    if (!bJson) std::cout << file.second.size() << "\t" << path << "\n";
  }
  if (unreadable != 0) std::cerr << "vci-ident: the service could not read " << unreadable << " of its files\n";
  if (bJson)
    PrintJson({{"directory", rest[0]}, {"files", written}, {"unreadable", unreadable}});
  else
    std::cout << written.size() << " file" << (written.size() == 1 ? "" : "s") << " written to " << rest[0] << "\n";
  return failures == 0 && unreadable == 0 ? 0 : 1;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"list", "register, print the VCI table, unregister",
       "usage: vci-ident list [--json]\n\n"
       "Registers with the service, prints its VCI table (serial number, module state\n"
       "and type, the interface kinds and addresses the VCI is heard on now, product\n"
       "version, number of applications, Bluetooth) and unregisters. A service that has\n"
       "just started answers its first registration after 2 s.\n\n"
       "--json  {\"service\": {...}, \"vcis\": [...]}, each VCI in full\n",
       RunList},
      {"watch", "keep the table on screen until Ctrl-C",
       "usage: vci-ident watch [--json]\n\n"
       "Registers and keeps the VCI table on screen: on a terminal it is redrawn in\n"
       "place at every change, the changed rows highlighted, with the time of the\n"
       "change. With --json, or when standard output is not a terminal, one JSON line\n"
       "per event instead: {\"time\", \"event\": \"table\", \"vcis\"}, {\"event\": \"bindings\"},\n"
       "{\"event\": \"error\"}, {\"event\": \"service-lost\"}, {\"event\": \"service-back\"};\n"
       "the first line is the table at registration. When the service goes away the\n"
       "command says so and registers again once it answers. Ctrl-C (or SIGTERM)\n"
       "unregisters and ends with exit code 0.\n",
       RunWatch},
      {"show", "one VCI in full",
       "usage: vci-ident show SERIAL [--json]\n\n"
       "Prints one VCI of the service's table in full: module state and type, the\n"
       "addresses it is heard on and the local interfaces that reach them, product\n"
       "version and date, applications, components, sessions, wireless values.\n"
       "Exit code 1 when the VCI is not in the table.\n",
       RunShow},
      {"info", "the service's name, version, build date, instance token",
       "usage: vci-ident info [--json]\n\n"
       "Registers and prints the service's product name, version, build date and\n"
       "instance token, or that it does not answer (exit code 1 then).\n",
       RunInfo},
      {"bt", "Bluetooth: scan, connect, disconnect, check",
       "usage: vci-ident bt scan\n"
       "       vci-ident bt connect SERIAL [--hold]\n"
       "       vci-ident bt disconnect SERIAL\n"
       "       vci-ident bt check SERIAL\n\n"
       "Asks the service to run a Bluetooth command and prints its result in words.\n"
       "A connect pairs when needed and waits for the VCI on the Bluetooth network:\n"
       "about a minute at most with the default timeouts. The connection belongs to\n"
       "this command's registration: with --hold the command keeps it until Ctrl-C,\n"
       "then disconnects; without, it stays up until a scan drops every connection.\n"
       "Exit code 0 only when the result is success (check: connected).\n",
       RunBt},
      {"fetch-data", "write the files of the service's data folder to DIR",
       "usage: vci-ident fetch-data DIR [--json]\n\n"
       "Fetches the files of the service's data folder (caches, Bluetooth lists) and\n"
       "writes each into DIR (created when missing) under its own name. Needs no\n"
       "registration. Exit code 1 when a file could not be read or written.\n",
       RunFetchData},
  };
  return commands;
}
