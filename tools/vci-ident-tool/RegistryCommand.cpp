// registry get|set|set-dword|delete: single values of the registry file, read
// the way the service reads them and written with the atomic writers.
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "ToolCommand.h"
#include "platform/Registry.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool registry get [--json] KEY VALUE\n"
    "       vci-ident-tool registry set KEY VALUE TEXT\n"
    "       vci-ident-tool registry set-dword KEY VALUE N\n"
    "       vci-ident-tool registry delete KEY VALUE\n\n"
    "Reads and writes the registry file $VCI_IDENT_REGISTRY (default\n"
    "/etc/vci-ident/registry.reg). Writes replace the file atomically and keep\n"
    "every other key and value; a missing file or key is created.\n\n"
    "KEY    \"-\" for the service's key HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI,\n"
    "       otherwise a key path under HKEY_LOCAL_MACHINE, with or without the\n"
    "       root (\"HKEY_LOCAL_MACHINE\\\" or \"HKLM\\\"), compared case-insensitively\n"
    "VALUE  the value name; \"@\" is the key's default value\n"
    "N      a 32-bit number: decimal, 0x hexadecimal or 0 octal\n\n"
    "get        prints a text value as it is, a DWORD in decimal; --json prints\n"
    "           {\"key\", \"value\", \"type\", \"data\"}; exit 1 when the file, key or\n"
    "           value does not exist\n"
    "set        writes a text value (\"Name\"=\"TEXT\")\n"
    "set-dword  writes a DWORD value (\"Name\"=dword:0000000a)\n"
    "delete     removes a value; exit 1 when it does not exist\n\n"
    "example: vci-ident-tool registry set - LogFileLocation /var/log/vci-ident\n"
    "         vci-ident-tool registry set-dword - EnableBluetooth 1\n"
    "         vci-ident-tool registry get --json - EnableBluetooth\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"registry", "read and write values of the registry file", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

const char kRoot[] = "HKEY_LOCAL_MACHINE";

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (tolower(static_cast<unsigned char>(s[i])) != tolower(static_cast<unsigned char>(prefix[i]))) return false;
  return true;
}

// The key path below HKEY_LOCAL_MACHINE; false for another root.
bool SubKey(const std::string& key, std::string& sub) {
  if (key == "-") {
    sub = VCI_REGISTRY_KEY;
    return true;
  }
  sub = key;
  for (const char* root : {"HKEY_LOCAL_MACHINE", "HKLM"}) {
    std::string r = root;
    if (StartsWithNoCase(sub, r) && (sub.size() == r.size() || sub[r.size()] == '\\')) {
      sub = sub.substr(r.size());
      break;
    }
  }
  if (StartsWithNoCase(sub, "HKEY_")) return false;
  if (!sub.empty() && sub.front() == '\\') sub.erase(0, 1);
  // Every part of the path names a key: no empty part, no trailing separator.
  return !sub.empty() && sub.front() != '\\' && sub.back() != '\\' && sub.find("\\\\") == std::string::npos;
}

std::string ValueName(const std::string& value) { return value == "@" ? "" : value; }

std::string Where(const std::string& sub, const std::string& value) {
  return std::string(kRoot) + "\\" + sub + (value == "@" ? " (default value)" : " value \"" + value + "\"");
}

std::string ErrorText(LONG r) {
  switch (r) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_INVALID_DATA: return "the registry file cannot be parsed";
    case ERROR_INVALID_PARAMETER: return "invalid key path, name or text";
    case ERROR_ACCESS_DENIED: return "cannot write the registry file";
    default: return "error " + std::to_string(r);
  }
}

struct KeyCloser {
  void operator()(RegistryKeyImpl* key) const { RegCloseKey(key); }
};

int Get(const std::string& sub, const std::string& value, bool json) {
  HKEY raw = nullptr;
  LONG r = RegOpenKeyEx(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ, &raw);
  if (r != ERROR_SUCCESS)
    return tool::Fail(std::string(kRoot) + "\\" + sub + ": " + ErrorText(r) + " in " + platform::RegistryFilePath());
  std::unique_ptr<RegistryKeyImpl, KeyCloser> key(raw);
  std::string name = ValueName(value);
  DWORD type = REG_NONE, size = 0;
  r = RegQueryValueEx(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
  if (r != ERROR_SUCCESS) return tool::Fail(Where(sub, value) + ": " + ErrorText(r));
  std::string data(size, '\0');
  r = RegQueryValueEx(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(&data[0]), &size);
  if (r != ERROR_SUCCESS) return tool::Fail(Where(sub, value) + ": " + ErrorText(r));

  nlohmann::ordered_json out = {{"key", std::string(kRoot) + "\\" + sub}, {"value", value}};
  std::string text;
  if (type == REG_DWORD && size == 4) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(data.data());
    DWORD d = static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 | static_cast<DWORD>(b[2]) << 16 |
              static_cast<DWORD>(b[3]) << 24;
    text = std::to_string(d);
    out["type"] = "REG_DWORD";
    out["data"] = d;
  } else {
    text = data.substr(0, data.find('\0'));
    out["type"] = "REG_SZ";
    out["data"] = text;
  }
  if (json)
    tool::PrintJson(out);
  else
    std::cout << text << "\n";
  return 0;
}

int Write(const std::string& sub, const std::string& value, LONG r) {
  if (r != ERROR_SUCCESS)
    return tool::Fail(Where(sub, value) + ": " + ErrorText(r) + " (" + platform::RegistryFilePath() + ")");
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  if (args.empty()) return tool::UsageError(kCommand, "registry needs a subcommand");
  const std::string& sub = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  bool json = false;
  if (sub == "get") {
    for (auto it = rest.begin(); it != rest.end();) {
      if (*it == "--json") {
        json = true;
        it = rest.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& a : rest)
    if (a.size() > 1 && a.compare(0, 2, "--") == 0) return tool::UsageError(kCommand, "unknown option '" + a + "'");

  size_t want = sub == "get" || sub == "delete" ? 2 : sub == "set" || sub == "set-dword" ? 3 : 0;
  if (want == 0) return tool::UsageError(kCommand, "unknown registry subcommand '" + sub + "'");
  if (rest.size() != want)
    return tool::UsageError(kCommand, "registry " + sub + " takes " + (want == 2 ? "KEY VALUE" : "KEY VALUE " +
                                                                       std::string(sub == "set" ? "TEXT" : "N")));
  std::string key;
  if (!SubKey(rest[0], key))
    return tool::UsageError(kCommand, "'" + rest[0] + "' is no key path under HKEY_LOCAL_MACHINE");
  const std::string& value = rest[1];
  if (value.empty()) return tool::UsageError(kCommand, "empty value name (\"@\" is the default value)");
  const std::string full = std::string(kRoot) + "\\" + key;

  if (sub == "get") return Get(key, value, json);
  if (sub == "delete") return Write(key, value, platform::RegistryDeleteValue(full, ValueName(value)));
  if (sub == "set") return Write(key, value, platform::RegistrySetString(full, ValueName(value), rest[2]));
  unsigned long long n = 0;
  if (!tool::ParseNumber(rest[2], n) || n > 0xFFFFFFFFull)
    return tool::UsageError(kCommand, "'" + rest[2] + "' is no 32-bit number");
  return Write(key, value, platform::RegistrySetDword(full, ValueName(value), static_cast<DWORD>(n)));
}

}  // namespace
