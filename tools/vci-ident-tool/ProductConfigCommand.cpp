// product-config encode|decode|show: the enciphered product configuration
// file "product_config.ini" and the settings the service takes from it.
#include <iostream>

#include <nlohmann/json.hpp>

#include "ToolCommand.h"
#include "host/ProductConfig.h"
#include "platform/Files.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool product-config encode INI OUT\n"
    "       vci-ident-tool product-config decode FILE\n"
    "       vci-ident-tool product-config show\n\n"
    "encode  enciphers the ini text INI into the file form OUT (\"-\" reads stdin)\n"
    "decode  prints the ini text of an enciphered file\n"
    "show    loads the installation's product configuration (ProductSpecificLocation\n"
    "        in the registry, then Configuration/product_config.ini) and prints the\n"
    "        effective settings as JSON; \"loaded\" tells whether a file was read\n\n"
    "example: vci-ident-tool product-config encode product.ini \\\n"
    "             /opt/vci/Configuration/product_config.ini\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"product-config", "the enciphered product configuration", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

int Encode(const std::string& in, const std::string& out) {
  std::string text, file, err;
  if (!tool::ReadInput(in, text, err)) return tool::Fail(err);
  if (text.empty()) return tool::Fail(in + " is empty; a product configuration needs some text");
  if (!CProductConfig::EncipherText(text, file)) return tool::Fail("cannot encipher " + in);
  // The file goes where the service looks (its folder created when
  // missing), replaced whole so that a service starting meanwhile reads the
  // old configuration or the new one.
  if (!platform::ReplaceFileAtomically(out, file)) return tool::Fail("cannot write " + out);
  return 0;
}

int Decode(const std::string& in) {
  std::string file, text, err;
  if (!tool::ReadInput(in, file, err)) return tool::Fail(err);
  if (!CProductConfig::DecipherFile(file, text))
    return tool::Fail(in + " is no product configuration file (not whole 8-byte blocks, or no text in it)");
  std::cout << text;
  if (!text.empty() && text.back() != '\n') std::cout << "\n";
  return 0;
}

int Show() {
  CProductConfig config;
  nlohmann::ordered_json out = {
      {"loaded", config.IsLoaded()},
      {"MGR:show_self_test_dlg", config.GetShowSelfTestDlg()},
      {"MGR:hide_network_setup_dlg", config.GetHideNetworkSetupDlg()},
      {"VCI:power_mod_present", config.GetPowerModPresent()},
      {"MGR:hide_eth_sub_tab_dlg", config.GetHideEthSubTabDlg()},
      {"VCI:has_ethernet", config.GetHasEthernet()},
      {"VCI:display_all_module_types", config.GetDisplayAllModuleTypes()},
      {"MGR:OE_label", config.GetOELabel()},
      {"MGR:device_label", config.GetDeviceLabel()},
      {"MGR:special_title_label", config.GetProductTitle()},
      {"SYSTEM:max_tcp_ports", config.GetMaxTcpPorts()},
      {"SYSTEM:max_number_of_sessions", config.GetMaxNumberOfSessions()},
      {"MGR:splash_screen_resource_id", config.GetSplashScreenResourceId()},
      {"VCI:max_number_of_leds", config.GetMaxNumberOfLeds()},
  };
  tool::PrintJson(out);
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  if (args.empty()) return tool::UsageError(kCommand, "product-config needs a subcommand");
  const std::string& sub = args[0];
  if (sub == "encode") {
    if (args.size() != 3) return tool::UsageError(kCommand, "product-config encode takes INI and OUT");
    return Encode(args[1], args[2]);
  }
  if (sub == "decode") {
    if (args.size() != 2) return tool::UsageError(kCommand, "product-config decode takes one FILE");
    return Decode(args[1]);
  }
  if (sub == "show") {
    if (args.size() != 1) return tool::UsageError(kCommand, "product-config show takes no arguments");
    return Show();
  }
  return tool::UsageError(kCommand, "unknown product-config subcommand '" + sub + "'");
}

}  // namespace
