// list, show and info: one look at the service each; fetch-data: its data
// files. And the table of the commands with their help texts.
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

int RunList(const Command& command, const ClientOptions& options, const std::vector<std::string>& args) {
  bool bJson;
  std::vector<std::string> rest;
  if (int usage = cli::ParseArgs(command, args, 0, bJson, rest)) return usage;
  ServiceInfo service;
  std::vector<VciInfo> table;
  std::vector<VciBinding> bindings;
  if (int iRet = cli::Query(options, service, table, bindings)) return cli::FailNoService(options, iRet);
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
  if (int iRet = cli::Query(options, service, table, bindings)) return cli::FailNoService(options, iRet);
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
  ServiceInfo service;
  std::vector<VciInfo> table;
  std::vector<VciBinding> bindings;
  const int iRet = cli::Query(options, service, table, bindings);
  const std::string where = options.serviceAddress + ":" + std::to_string(options.controlPort);
  if (iRet != 0) {
    if (bJson)
      PrintJson({{"address", where}, {"answers", false}, {"code", iRet}, {"error", ResultText(iRet)}});
    else
      std::cout << "address         " << where << "\nanswers         no: " << ResultText(iRet) << " (code " << iRet << ")\n";
    return 1;
  }
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
      {"list", "print the VCI table",
       "  vci-ident [OPTIONS] list [--json]\n",
       "  Registers with the service for one look, prints its VCI table and\n"
       "  unregisters: per VCI its serial number, module state (free, in use,\n"
       "  recovery), product type by name (its number when it has none), the\n"
       "  interface kinds and addresses it is heard on now, product version (one\n"
       "  dotted form for every VCI, the firmware of one known only over Bluetooth\n"
       "  included), number of applications, Bluetooth. The look states no wish for\n"
       "  the service's trace file: the settings in force stay. A service that has\n"
       "  just started answers its first registration after 2 s.\n",
       "  --json  {\"service\": {...}, \"vcis\": [...]}, each VCI in full: moduleState\n"
       "          and moduleType as numbers, moduleStateName and moduleTypeName\n",
       RunList},
      {"watch", "follow the VCI table until Ctrl-C",
       "  vci-ident [OPTIONS] watch [--lines | --json]\n",
       "  Registers and follows the VCI table until Ctrl-C (or SIGTERM), which\n"
       "  unregisters and ends with exit status 0. On a terminal the table is\n"
       "  redrawn in place at every change, the changed rows highlighted, the time\n"
       "  of the change on top, VCIs that went named below it. When standard output\n"
       "  is not a terminal, or with --lines, one line per change instead, first one\n"
       "  per VCI of the table at registration:\n"
       "    + 4711 Ethernet 10.0.0.7; state free; type KIVO VCI; version 1.0.0; ...\n"
       "    = 4711 state in use\n"
       "    - 4711\n"
       "  and \"! TEXT\" for news of the service. When the service goes away the\n"
       "  command says so and registers again once it answers.\n",
       "  --lines  a line per change, also on a terminal\n"
       "  --json   one JSON line per event, with its \"time\" (UTC, ISO 8601):\n"
       "           table (with vcis), bindings, error (code, text), service-lost,\n"
       "           service-back; the first is the table at registration\n",
       RunWatch},
      {"show", "one VCI in full",
       "  vci-ident [OPTIONS] show SERIAL [--json]\n",
       "  Prints one VCI of the service's table in full: module state and type by\n"
       "  name and number, the addresses it is heard on and the local interfaces\n"
       "  that reach them, product version and date, applications, components,\n"
       "  sessions, wireless values. A look as list takes. Exit status 1 when the\n"
       "  VCI is not in the table.\n",
       "  --json  the VCI as list --json prints it\n",
       RunShow},
      {"info", "the service's name, version, build date, instance token",
       "  vci-ident [OPTIONS] info [--json]\n",
       "  Prints the service's address, product name, version, build date and\n"
       "  instance token, from a look as list takes; or that it does not answer\n"
       "  (exit status 1 then).\n",
       "  --json  the same as one JSON object, with \"answers\"\n",
       RunInfo},
      {"bt", "Bluetooth: scan, connect, disconnect, check",
       "  vci-ident [OPTIONS] bt scan\n"
       "  vci-ident [OPTIONS] bt connect SERIAL [--hold]\n"
       "  vci-ident [OPTIONS] bt disconnect SERIAL\n"
       "  vci-ident [OPTIONS] bt check SERIAL\n",
       "  Registers, has the service run one Bluetooth command and prints its\n"
       "  result in words; a waiting mark shows on a terminal meanwhile. scan drops\n"
       "  every Bluetooth connection, of every application, and scans anew (the\n"
       "  command says so first). connect pairs when needed and waits for the VCI on\n"
       "  the Bluetooth network: about a minute at most with the default timeouts.\n"
       "  The connection belongs to the registration that made it: this command's,\n"
       "  so that a disconnect from another command fails. A failure names its\n"
       "  cause as far as the service's answer and the table tell it: Bluetooth is\n"
       "  disabled, no such VCI found over Bluetooth, another VCI is connected, the\n"
       "  connection belongs to another application, the connect failed. Exit\n"
       "  status 0 only when the result is success (check: connected).\n",
       "  --hold  keep the connection until Ctrl-C, then disconnect; without it, it\n"
       "          stays up until a scan drops every connection\n",
       RunBt},
      {"fetch-data", "write the files of the service's data folder to DIR",
       "  vci-ident [OPTIONS] fetch-data DIR [--json]\n",
       "  Fetches the files of the service's data folder (detail caches, Bluetooth\n"
       "  lists) and writes each into DIR (created when missing) under its own\n"
       "  name. Needs no registration. Exit status 1 when a file could not be read\n"
       "  or written.\n",
       "  --json  {\"directory\", \"files\": [{\"name\", \"size\"}], \"unreadable\"}\n",
       RunFetchData},
  };
  return commands;
}
