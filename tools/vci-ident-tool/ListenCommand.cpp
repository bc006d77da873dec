// listen: prints every datagram that arrives on the announcement port of one
// or every interface address. The field engineer's second question: does
// the VCI announce?
#include <arpa/inet.h>
#include <signal.h>

#include <iostream>
#include <memory>
#include <mutex>

#include "FramePrint.h"
#include "ToolCommand.h"
#include "platform/AdapterInfo.h"
#include "platform/StopSignals.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ServerSocket.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool listen [--interface ADDR] [--port N] [--count N]\n\n"
    "Opens the service's multicast receive socket (group 225.1.1.1) on the\n"
    "interface address ADDR, or on every IPv4 address of the machine (loopback\n"
    "included) when none is given, and prints one JSON line per datagram:\n"
    "{\"time\", \"sender\", \"local\", \"length\", \"id\", \"name\", \"enciphered\", \"hex\",\n"
    "\"record\"}, with \"decode_error\" (why) instead of \"record\" when the datagram\n"
    "does not decode.\n"
    "Runs until interrupted (Ctrl-C), or until N datagrams were printed.\n\n"
    "  --interface ADDR   one interface address (dotted IPv4)\n"
    "  --port N           UDP port (default 8194, the announcement port)\n"
    "  --count N          stop after N datagrams\n\n"
    "example: vci-ident-tool listen --interface 192.168.178.1\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"listen", "print the announcements that arrive on the interfaces", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

// Prints each datagram; shared by the sockets of every interface.
class CPrinter : public IServerEvent {
 public:
  explicit CPrinter(unsigned long long limit) : m_ullLimit(limit) {}
  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer&, const std::string& remoteAddress,
                     const std::string& localAddress) override {
    nlohmann::ordered_json line;
    line["time"] = TimeText(true);
    line["sender"] = remoteAddress;
    line["local"] = localAddress;
    nlohmann::ordered_json content = tool::ContentToJson(request);
    for (auto it = content.begin(); it != content.end(); ++it) line[it.key()] = it.value();
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_ullLimit != 0 && m_ullPrinted >= m_ullLimit) return 0;
    tool::PrintJson(line, true);
    if (m_ullLimit != 0 && ++m_ullPrinted >= m_ullLimit) kill(getpid(), SIGTERM);
    return 0;
  }
  bool OnErrorDetected(int code) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::cerr << "vci-ident-tool: receive error " << code << "\n";
    return true;
  }

 private:
  std::mutex m_Lock;
  const unsigned long long m_ullLimit;
  unsigned long long m_ullPrinted = 0;  // Guarded by m_Lock.
};

std::vector<std::string> AllAddresses() {
  std::vector<std::string> out;
  std::vector<CInterfaceAddress> list;
  if (GetInterfaceAddresses(list, SIZE_MAX) != ERROR_SUCCESS) return out;
  for (const CInterfaceAddress& entry : list) out.push_back(entry.AddressText);
  return out;
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  std::vector<std::string> addresses;
  unsigned long long port = 8194, count = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a != "--interface" && a != "--port" && a != "--count") return tool::UsageError(kCommand, "unknown argument '" + a + "'");
    if (i + 1 >= args.size()) return tool::UsageError(kCommand, a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--interface") {
      struct in_addr addr;
      if (inet_pton(AF_INET, v.c_str(), &addr) != 1)
        return tool::UsageError(kCommand, "not a dotted IPv4 address: '" + v + "'");
      addresses.push_back(v);
    } else if (a == "--port") {
      if (!tool::ParseNumber(v, port) || port == 0 || port > 65535)
        return tool::UsageError(kCommand, "not a port: '" + v + "'");
    } else if (!tool::ParseNumber(v, count) || count == 0) {
      return tool::UsageError(kCommand, "not a count: '" + v + "'");
    }
  }
  if (addresses.empty()) addresses = AllAddresses();
  if (addresses.empty()) return tool::Fail("no IPv4 interface address found");

  // The signals are taken by sigwait below, never by a handler: blocked
  // before the receive threads start, so that they inherit the mask.
  sigset_t stopSignals = platform::BlockStopSignals();

  CPrinter printer(count);
  std::vector<std::unique_ptr<CServerSocket>> sockets;
  for (const std::string& address : addresses) {
    std::unique_ptr<CServerSocket> socket(new CServerSocket(&printer, false));
    socket->SetLocalAddress(address);
    int result = socket->Initialize(SOCKTYPE_UDP_MULTICAST, static_cast<uint16_t>(port), false);
    if (result != 0) {
      for (auto& s : sockets) s->Shutdown();
      return tool::Fail("cannot listen on " + address + ":" + std::to_string(port) + ": error code = " +
                        std::to_string(result));
    }
    std::cerr << "listening on " << address << ":" << port << "\n";
    sockets.push_back(std::move(socket));
  }
  int signal = 0;
  sigwait(&stopSignals, &signal);
  for (auto& s : sockets) s->Shutdown();
  return 0;
}

}  // namespace
