// brand list|encode|decode|set|get: the brand record table and the "Brand"
// registry value that names an installation's brand.
#include <iostream>

#include <nlohmann/json.hpp>

#include "ToolCommand.h"
#include "host/Brand.h"
#include "platform/Registry.h"
#include "serialize/ProductKeyData.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool brand list\n"
    "       vci-ident-tool brand encode NAME\n"
    "       vci-ident-tool brand decode HEX\n"
    "       vci-ident-tool brand set NAME\n"
    "       vci-ident-tool brand get\n\n"
    "list    the brand records as JSON: number, key name, display name\n"
    "encode  prints the registry text (hexadecimal) of a record naming NAME\n"
    "decode  prints, as JSON, the key name that a registry text holds and the brand\n"
    "        number it resolves to; fails with the reason when it does not\n"
    "set     writes the record for the brand key name NAME as the value \"Brand\"\n"
    "        of HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI\n"
    "get     resolves the brand from the registry as the service does\n\n"
    "example: vci-ident-tool brand set KIVO && vci-ident-tool brand get\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"brand", "brand records and the Brand registry value", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

nlohmann::ordered_json BrandJson(uint32_t selector) {
  return {{"brand", selector}, {"keyName", GetBrandKeyName(selector)}, {"displayName", GetBrandDisplayName(selector)}};
}

int List() {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (uint32_t s = 1; GetBrandKeyName(s) != nullptr; ++s) out.push_back(BrandJson(s));
  tool::PrintJson(out);
  return 0;
}

int Encode(const std::string& name) {
  std::string text;
  if (!EncodeBrandText(name, text)) return tool::Fail("cannot encode '" + name + "': empty or too long a name");
  if (FindBrandByKeyName(name) == 0)
    std::cerr << "vci-ident-tool: note: '" << name << "' is no brand key name; the value will not resolve\n";
  std::cout << text << "\n";
  return 0;
}

// The service reads a character that is no hexadecimal digit as 0; a value
// that fails for that reason says so, since the reason alone would mislead.
std::string SlipNote(const std::string& hex) {
  size_t bad = hex.find_first_not_of("0123456789abcdefABCDEF");
  if (bad == std::string::npos) return "";
  return " ('" + hex.substr(bad, 1) + "' at character " + std::to_string(bad + 1) +
         " is no hexadecimal digit and counts as 0)";
}

int Decode(const std::string& hex) {
  std::string name;
  BrandTextResult r = DecodeBrandText(hex, name);
  if (r != BRAND_TEXT_OK) return tool::Fail(std::string("does not resolve: ") + BrandTextResultText(r) + SlipNote(hex));
  uint32_t selector = FindBrandByKeyName(name);
  if (selector == 0)
    return tool::Fail("does not resolve: the key name '" + name + "' names no brand" + SlipNote(hex));
  nlohmann::ordered_json out = BrandJson(selector);
  tool::PrintJson(out);
  return 0;
}

int Set(const std::string& name) {
  if (FindBrandByKeyName(name) == 0)
    return tool::Fail("'" + name + "' is no brand key name (see 'vci-ident-tool brand list')");
  std::string text;
  if (!EncodeBrandText(name, text)) return tool::Fail("cannot encode '" + name + "'");
  std::string key = std::string("HKEY_LOCAL_MACHINE\\") + VCI_REGISTRY_KEY;
  LONG ret = platform::RegistrySetString(key, "Brand", text);
  if (ret != ERROR_SUCCESS)
    return tool::Fail("cannot write the registry file " + platform::RegistryFilePath() + " (error " +
                      std::to_string(ret) + ")");
  return 0;
}

int Get() {
  uint32_t brand = 0;
  if (!GetBrand(brand))
    return tool::Fail("no brand resolves from the registry file " + platform::RegistryFilePath());
  tool::PrintJson(BrandJson(brand));
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  if (args.empty()) return tool::UsageError(kCommand, "brand needs a subcommand");
  const std::string& sub = args[0];
  if (sub == "list" || sub == "get") {
    if (args.size() != 1) return tool::UsageError(kCommand, "brand " + sub + " takes no arguments");
    return sub == "list" ? List() : Get();
  }
  if (sub == "encode" || sub == "decode" || sub == "set") {
    if (args.size() != 2) return tool::UsageError(kCommand, "brand " + sub + " takes exactly one argument");
    if (sub == "encode") return Encode(args[1]);
    if (sub == "decode") return Decode(args[1]);
    return Set(args[1]);
  }
  return tool::UsageError(kCommand, "unknown brand subcommand '" + sub + "'");
}

}  // namespace
