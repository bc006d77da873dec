#include "Cli.h"

#include <cstdlib>
#include <iostream>

#include "Progress.h"

namespace cli {

namespace {

const char kWaiting[] = "waiting for the service (one that has just started answers its first registration after 2 s)";

}  // namespace

std::string HelpText(const Command& command) {
  std::string text = std::string("NAME\n  vci-ident ") + command.name + " - " + command.summary + "\n\nSYNOPSIS\n" +
                     command.synopsis + "\nDESCRIPTION\n" + command.description;
  if (*command.options != '\0') text += std::string("\nOPTIONS\n") + command.options;
  return text;
}

int UsageError(const Command& command, const std::string& message) {
  std::cerr << "vci-ident: " << message << " (see vci-ident " << command.name << " --help)\n";
  return 2;
}

int Fail(const std::string& message) {
  std::cerr << "vci-ident: " << message << "\n";
  return 1;
}

int ParseArgs(const Command& command, const std::vector<std::string>& args, size_t operands, bool& json,
              std::vector<std::string>& rest, const std::vector<std::string>& flags) {
  json = false;
  rest.clear();
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      bool known = false;
      for (const std::string& f : flags) known = known || a == f;
      if (!known) return UsageError(command, "unknown option '" + a + "'");
      rest.push_back(a);
    } else {
      rest.push_back(a);
    }
  }
  size_t count = 0;
  for (const std::string& r : rest) count += r[0] == '-' ? 0 : 1;
  if (count != operands)
    return UsageError(command, operands == 0 ? "no operands expected" : "expected " + std::to_string(operands) + " operand(s)");
  return 0;
}

int FailNoService(const vciident::ClientOptions& options, int result) {
  return Fail(vciident::ResultText(result) + " [" + options.serviceAddress + ":" + std::to_string(options.controlPort) +
              ", code " + std::to_string(result) + "]");
}

int Connect(vciident::CIdentClient& client, const vciident::ClientOptions& options) {
  CProgress progress(kWaiting, 500);
  const uint32_t flags = options.persistLog ? 0u : uint32_t(vciident::CONNECT_KEEP_TRACE_SETTING);
  const int iRet = client.Connect(nullptr, flags);
  progress.Done();
  return iRet == 0 ? 0 : FailNoService(options, iRet);
}

int Query(const vciident::ClientOptions& options, vciident::ServiceInfo& service, std::vector<vciident::VciInfo>& table,
          std::vector<vciident::VciBinding>& bindings) {
  CProgress progress(kWaiting, 500);
  return vciident::CIdentClient(options).Query(&service, &table, &bindings);
}

bool ParseSerial(const std::string& text, uint32_t& serial) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value > 0xFFFFFFFFull || text[0] == '-') return false;
  serial = static_cast<uint32_t>(value);
  return true;
}

}  // namespace cli
