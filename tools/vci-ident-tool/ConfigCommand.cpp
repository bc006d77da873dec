// config show|check: the service's settings from ident.ini as the service
// takes them, defaults included, and what it does not take as written.
#include <iostream>

#include <nlohmann/json.hpp>

#include "ToolCommand.h"
#include "host/IdentConfig.h"
#include "platform/Registry.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool config show\n"
    "       vci-ident-tool config check FILE\n\n"
    "show  loads ident.ini from the folder named by the registry value\n"
    "      IdentServiceDefaultLocation (HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI in\n"
    "      $VCI_IDENT_REGISTRY) exactly as the service does and prints every\n"
    "      setting as JSON under its ini key (\"Log:Level\" as 0 INFO, 1 WARN, 2 ERR).\n"
    "      \"file\" is the ini path (null without a registry value), \"loaded\"\n"
    "      whether it was read; settings the file does not give show their\n"
    "      defaults. The link-quality zones are listed as far as\n"
    "      \"LINK-QUALITY:num-zones\" reaches (at most 20).\n"
    "check reads FILE as the service reads ident.ini and prints, one a line,\n"
    "      what it would not take as written: an unknown section or key, a\n"
    "      value read otherwise than it looks (\"yes\" for a switch, \"10s\" for a\n"
    "      time), each with what is used instead. The service logs the same\n"
    "      lines (WARN). Exit status 0 when there is none, 1 otherwise or when\n"
    "      FILE cannot be read.\n\n"
    "examples: vci-ident-tool config show\n"
    "          vci-ident-tool config check /etc/vci-ident/ident.ini\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"config", "the service's settings from ident.ini, and its findings", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

int Show() {
  // The configuration logs its settings as it loads; main has silenced the
  // trace log, so none of that reaches the service's trace file.
  CIdentConfig config;
  std::string path;
  nlohmann::ordered_json out;
  if (CIdentConfig::IniFilePath(path))
    out["file"] = path;
  else
    out["file"] = nullptr;
  out["loaded"] = config.IsLoaded();
  out["Log:Level"] = config.GetTraceLevel();
  out["Log:persist"] = config.GetPersist();
  std::shared_ptr<const CIdentConfig::CSettings> settings = config.GetSettings();
  out["Log:append"] = settings->m_bAppend;
  out["Mode:SkipPair"] = settings->m_bSkipPair;
  out["Mode:ShowWindow"] = config.GetShowWindow();
  out["Mode:LoadVCIs"] = settings->m_bLoadVCIs;
  for (int i = 0; i < CIdentConfig::NUM_TIMEOUTS; ++i)
    out[std::string("timeouts:") + CIdentConfig::TimeoutName(static_cast<CIdentConfig::Timeout>(i))] =
        settings->m_Timeouts[i];
  out["LINK-QUALITY:num-zones"] = settings->m_uiNumLinkQualityZones;
  for (DWORD i = 0; i < settings->GetZonesInUse(); ++i)
    out["LINK-QUALITY:zone-" + std::to_string(i + 1)] = settings->m_Zones[i];
  tool::PrintJson(out);
  return 0;
}

int Check(const std::string& path) {
  std::vector<std::string> findings;
  if (!CIdentConfig::Check(path, findings)) {
    std::cerr << "vci-ident-tool: " << path << ": cannot be read or is no ini text\n";
    return 1;
  }
  for (const std::string& finding : findings) std::cout << path << ": " << finding << "\n";
  return findings.empty() ? 0 : 1;
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  if (args.empty()) return tool::UsageError(kCommand, "config needs a subcommand");
  if (args[0] == "show") {
    if (args.size() != 1) return tool::UsageError(kCommand, "config show takes no arguments");
    return Show();
  }
  if (args[0] == "check") {
    if (args.size() != 2) return tool::UsageError(kCommand, "config check takes one FILE");
    return Check(args[1]);
  }
  return tool::UsageError(kCommand, "unknown config subcommand '" + args[0] + "'");
}

}  // namespace
