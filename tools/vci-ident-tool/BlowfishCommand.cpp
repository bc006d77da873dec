// blowfish encrypt|decrypt: the service's cipher over standard input.
#include <cstdio>
#include <iostream>

#include "ToolCommand.h"
#include "serialize/BlowfishCipher.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool blowfish encrypt|decrypt --key HEX [--mode ecb|cbc|cfb|ofb] [--iv HEX]\n\n"
    "Enciphers or deciphers standard input to standard output (raw bytes) with\n"
    "Blowfish. The key is 1 to 56 bytes of hexadecimal; the mode defaults to ecb;\n"
    "the initial vector is 8 bytes of hexadecimal (default all zero). The input\n"
    "must be a whole number of 8-byte blocks.\n\n"
    "example: printf '\\x11\\x11\\x11\\x11\\x11\\x11\\x11\\x11' |\n"
    "         vci-ident-tool blowfish encrypt --key 0123456789ABCDEF | xxd -p\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"blowfish", "Blowfish encipherment of standard input", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  if (args.empty() || (args[0] != "encrypt" && args[0] != "decrypt"))
    return tool::UsageError(kCommand, "blowfish needs 'encrypt' or 'decrypt'");
  bool encrypt = args[0] == "encrypt";
  std::string keyText, mode = "ecb", ivText;
  bool haveKey = false, haveIv = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--key" || a == "--mode" || a == "--iv") && i + 1 >= args.size())
      return tool::UsageError(kCommand, a + " needs a value");
    if (a == "--key") {
      keyText = args[++i];
      haveKey = true;
    } else if (a == "--mode") {
      mode = args[++i];
    } else if (a == "--iv") {
      ivText = args[++i];
      haveIv = true;
    } else {
      return tool::UsageError(kCommand, "unexpected argument '" + a + "'");
    }
  }
  if (!haveKey) return tool::UsageError(kCommand, "--key is required");
  std::string key, iv;
  if (!tool::ParseHex(keyText, key) || key.empty() || key.size() > CBlowfishCipher::MAX_KEY_LENGTH)
    return tool::UsageError(kCommand, "the key must be 1 to 56 bytes of hexadecimal");
  if (mode != "ecb" && mode != "cbc" && mode != "cfb" && mode != "ofb")
    return tool::UsageError(kCommand, "unknown mode '" + mode + "'");
  if (haveIv && (!tool::ParseHex(ivText, iv) || iv.size() != CBlowfishCipher::BLOCK_SIZE))
    return tool::UsageError(kCommand, "the initial vector must be 8 bytes of hexadecimal");

  std::string data, err;
  if (!tool::ReadInput("-", data, err)) return tool::Fail(err);
  if (data.size() % CBlowfishCipher::BLOCK_SIZE != 0 || data.size() > UINT32_MAX)
    return tool::Fail("the input is " + std::to_string(data.size()) + " bytes, not a whole number of 8-byte blocks");

  CBlowfishCipher cipher;
  if (cipher.SetKey(reinterpret_cast<const uint8_t*>(key.data()), static_cast<uint32_t>(key.size())) != 0)
    return tool::Fail("the key was refused");
  uint8_t* p = reinterpret_cast<uint8_t*>(&data[0]);
  const uint8_t* ivp = haveIv ? reinterpret_cast<const uint8_t*>(iv.data()) : nullptr;
  uint32_t n = static_cast<uint32_t>(data.size());
  int ret = data.empty() ? 0 : (encrypt ? cipher.Encrypt(p, n, mode.c_str(), ivp) : cipher.Decrypt(p, n, mode.c_str(), ivp));
  if (ret != 0) return tool::Fail("the cipher failed with " + std::to_string(ret));
  std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
  std::cout.flush();
  return std::cout ? 0 : tool::Fail("cannot write standard output");
}

}  // namespace
