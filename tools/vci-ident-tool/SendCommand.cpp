// send HOST PORT: one archive content as a frame to a TCP service, the reply
// as JSON. The field engineer's first question: does the VCI answer?
#include <arpa/inet.h>
#include <netdb.h>

#include <iostream>

#include "FramePrint.h"
#include "ToolCommand.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ClientSocket.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool send HOST PORT [--local ADDR] [--timeout MS] [--keep] [FILE|-]\n\n"
    "Sends the archive content in FILE (standard input for - or no FILE: the\n"
    "object id word, then the body, as a content file holds it) as one frame to\n"
    "TCP PORT at HOST, waits for one reply frame and prints it as JSON on standard\n"
    "output: {\"result\": 0, \"reply\": {\"length\", \"id\", \"name\", \"enciphered\",\n"
    "\"hex\", \"record\"}}, with \"decode_error\" (why) instead of \"record\" when the\n"
    "reply does not decode.\n"
    "The exchange is the service's own: up to 19 connect calls, a reply wait of at\n"
    "least 10 s (--timeout MS raises it), then the orderly close. Binary input\n"
    "and hexadecimal text (blanks allowed between bytes) are both accepted.\n\n"
    "  --local ADDR   bind to this local address (default 0.0.0.0)\n"
    "  --timeout MS   reply timeout in milliseconds (below 10000 counts as 10000)\n"
    "  --keep         connect at once and keep the connection (no orderly close)\n\n"
    "A failed exchange prints the socket's report lines on standard output, then\n"
    "\"send failed: error code = N\" on standard error, and exits 1.\n\n"
    "example: vci-ident-tool send 127.0.0.2 9000 request.bin\n"
    "         echo 'E5070000 01000000 10000000' | vci-ident-tool send 127.0.0.2 9004\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"send", "send one frame to a TCP service and print the reply", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

bool ResolveHost(const std::string& host, std::string& dotted) {
  struct in_addr addr;
  if (inet_pton(AF_INET, host.c_str(), &addr) == 1) {
    dotted = host;
    return true;
  }
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(result->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(result);
  dotted = text;
  return true;
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  std::vector<std::string> positional;
  std::string local = "0.0.0.0";
  unsigned long long timeout = 0;
  bool keep = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--local" || a == "--timeout") {
      if (i + 1 >= args.size()) return tool::UsageError(kCommand, a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--local") {
        struct in_addr addr;
        if (inet_pton(AF_INET, v.c_str(), &addr) != 1)
          return tool::UsageError(kCommand, "not a dotted IPv4 address: '" + v + "'");
        local = v;
      } else if (!tool::ParseNumber(v, timeout) || timeout > 0x7FFFFFFFull) {
        return tool::UsageError(kCommand, "not a timeout in milliseconds: '" + v + "'");
      }
    } else if (a == "--keep") {
      keep = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return tool::UsageError(kCommand, "unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() < 2 || positional.size() > 3)
    return tool::UsageError(kCommand, "send takes HOST, PORT and an optional FILE");
  unsigned long long port;
  if (!tool::ParseNumber(positional[1], port) || port == 0 || port > 65535)
    return tool::UsageError(kCommand, "not a port: '" + positional[1] + "'");
  std::string host;
  if (!ResolveHost(positional[0], host)) return tool::Fail("cannot resolve host '" + positional[0] + "'");

  std::string content, err;
  if (!tool::ReadArchiveInput(positional.size() == 3 ? positional[2] : "-", content, err)) return tool::Fail(err);
  if (content.size() < 4) return tool::Fail("the content holds no object id word (at least 4 bytes)");

  CArchiveBuffer request(CArchiveBuffer::STORING, static_cast<uint32_t>(content.size()));
  if (!request.WriteRaw(content.data(), static_cast<uint32_t>(content.size())))
    return tool::Fail("cannot hold " + std::to_string(content.size()) + " bytes");
  CArchiveBuffer reply(CArchiveBuffer::STORING);

  CClientSocket socket(keep);
  int result = socket.Initialize(nullptr, SOCKTYPE_TCP, host, local, static_cast<uint32_t>(port), false);
  if (result == 0) result = socket.SendRecv_ArchiveBuffer(request, reply, static_cast<uint32_t>(timeout));
  // After a failed exchange the peer is not waited for: it may never close.
  const int closeResult = socket.Shutdown(result == 0 ? 0 : CClientSocket::SHUTDOWN_ABORT);
  if (result != 0) {
    std::cout.flush();
    std::cerr << "vci-ident-tool: send failed: error code = " << result << "\n";
    return 1;
  }
  nlohmann::ordered_json out;
  out["result"] = 0;
  out["reply"] = tool::ContentToJson(reply);
  if (closeResult != 0) out["close_result"] = closeResult;
  tool::PrintJson(out);
  return 0;
}

}  // namespace
