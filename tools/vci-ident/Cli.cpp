#include "Cli.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "Progress.h"

namespace cli {

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

int Connect(vciident::CIdentClient& client, const vciident::ClientOptions& options, vciident::ServiceInfo* service) {
  CProgress progress("waiting for the service (one that has just started answers its first registration after 2 s)", 500);
  const int iRet = client.Connect(service);
  progress.Done();
  if (iRet == 0) return 0;
  return Fail(vciident::ResultText(iRet) + " [" + options.serviceAddress + ":" + std::to_string(options.controlPort) +
              ", code " + std::to_string(iRet) + "]");
}

std::string TimeText() {
  struct timeval now {};
  gettimeofday(&now, nullptr);
  struct tm local {};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000));
  return text;
}

bool ParseSerial(const std::string& text, uint32_t& serial) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value > 0xFFFFFFFFull || text[0] == '-') return false;
  serial = static_cast<uint32_t>(value);
  return true;
}

}  // namespace cli
