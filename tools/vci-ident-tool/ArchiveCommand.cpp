// archive encrypt|decrypt: the enciphered form of a content file (object id
// word, then the body), as the service's cache files hold it.
#include <iostream>

#include "ToolCommand.h"
#include "serialize/ArchiveBuffer.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool archive encrypt FILE OUT\n"
    "       vci-ident-tool archive decrypt FILE OUT\n\n"
    "Enciphers or deciphers the body of an archive content file (an object id\n"
    "word, then the body) with the service's default key, as the cache files\n"
    "are stored. encrypt pads the body with zero bytes to whole 8-byte blocks\n"
    "and sets the flag 0x8000 in the id word; decrypt clears it again and keeps\n"
    "the padding.\n\n"
    "example: vci-ident-tool archive decrypt data_files/valid-module_1.bin plain.bin\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"archive", "encipher or decipher an archive content file", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  if (args.size() != 3 || (args[0] != "encrypt" && args[0] != "decrypt"))
    return tool::UsageError(kCommand, "archive takes 'encrypt' or 'decrypt', a FILE and an OUT");
  bool encrypt = args[0] == "encrypt";
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  if (!ar.LoadFromFile(args[1].c_str())) return tool::Fail("cannot read " + args[1]);
  if (ar.GetDataLength() < 4) return tool::Fail(args[1] + " holds no object id word");
  if (encrypt && ar.IsEncrypted()) return tool::Fail(args[1] + " is enciphered already (flag 0x8000 set)");
  if (!encrypt && !ar.IsEncrypted()) return tool::Fail(args[1] + " is not enciphered (flag 0x8000 clear)");
  if (encrypt ? !ar.Encrypt(0, 0) : !ar.Decrypt(0, 0))
    return tool::Fail(std::string(encrypt ? "enciphering" : "deciphering") + " failed" +
                      (encrypt ? "" : " (the body is not whole 8-byte blocks)"));
  if (!ar.StoreToFile(args[2].c_str())) return tool::Fail("cannot write " + args[2]);
  return 0;
}

}  // namespace
