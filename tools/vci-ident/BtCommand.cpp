// bt: one Bluetooth command, its progress while it runs, its result in words.
#include <signal.h>

#include <iostream>

#include "Cli.h"
#include "Progress.h"

using namespace vciident;

namespace {

int Run(CIdentClient& client, uint32_t command, uint32_t serial, const std::string& label) {
  // The service answers -1 for several causes; the table as it was when
  // the command was asked tells most of them apart.
  const std::vector<VciInfo> table = client.GetTable();
  int iRet;
  {
    const uint32_t seconds = (client.GetBluetoothReplyWaitMs() + 999) / 1000;
    CProgress progress(label + " (the service may take up to " + std::to_string(seconds) + " s)", 300);
    iRet = client.BluetoothCommand(command, serial);
  }
  std::cout << label << ": " << BluetoothResultText(command, iRet, serial, table);
  if (iRet != 0) std::cout << " (code " << iRet << ")";
  std::cout << std::endl;
  return iRet;
}

}  // namespace

int RunBt(const Command& command, const ClientOptions& options, const std::vector<std::string>& args) {
  bool bJson;
  std::vector<std::string> rest;
  const bool bScan = !args.empty() && args[0] == "scan";
  if (int usage = cli::ParseArgs(command, args, bScan ? 1 : 2, bJson, rest, {"--hold"})) return usage;
  if (bJson) return cli::UsageError(command, "unknown option '--json'");
  static const uint32_t kCommands[] = {BT_CONNECT, BT_DISCONNECT, BT_SCAN, BT_CHECK_CONNECT_STATE};
  uint32_t code = 0;
  for (uint32_t c : kCommands)
    if (rest[0] == BluetoothCommandName(c)) code = c;
  if (code == 0) return cli::UsageError(command, "unknown Bluetooth command '" + rest[0] + "'");
  bool bHold = false;
  std::vector<std::string> operands;
  for (size_t i = 1; i < rest.size(); ++i) {
    if (rest[i] == "--hold") bHold = true;
    else operands.push_back(rest[i]);
  }
  if (bHold && code != BT_CONNECT) return cli::UsageError(command, "--hold goes with connect only");
  uint32_t serial = 0;
  if (!bScan && !cli::ParseSerial(operands.at(0), serial))
    return cli::UsageError(command, "'" + operands[0] + "' is not a serial number");

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  if (bHold) pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  CIdentClient client(options);
  if (cli::Connect(client, options) != 0) return 1;
  const std::string label = "bt " + rest[0] + (bScan ? "" : " " + std::to_string(serial));
  if (bScan) std::cout << "bt scan drops every Bluetooth connection, of every application, then scans anew" << std::endl;
  int iRet = Run(client, code, serial, label);
  if (iRet == 0 && bHold) {
    std::cout << "holding the connection; Ctrl-C disconnects" << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    iRet = Run(client, BT_DISCONNECT, serial, "bt disconnect " + std::to_string(serial));
  }
  client.Disconnect();
  return iRet == 0 ? 0 : 1;
}
