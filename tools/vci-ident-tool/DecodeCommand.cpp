// decode / encode: one archive (a content, or a frame with --frame) as JSON
// and back.
#include <cstdio>
#include <iostream>

#include "RecordDecode.h"
#include "ToolCommand.h"
#include "serialize/ArchiveBuffer.h"

namespace {

const char kDecodeUsage[] =
    "usage: vci-ident-tool decode [--frame] [FILE|-]\n\n"
    "Reads one archive from FILE (standard input when FILE is - or missing) and\n"
    "prints the record as JSON: {\"class\", \"id\", ...fields...}, nested records\n"
    "nested. The input is the archive content (object id word first, as a cache\n"
    "file holds it), or with --frame a whole frame (length word first, as it\n"
    "travels on a socket). Binary input and hexadecimal text (blanks allowed\n"
    "between bytes) are both accepted. An id word with the flag 0x8000 is\n"
    "deciphered with the default key first; the JSON then carries\n"
    "\"enciphered\": true. A read failure prints the class, the byte at which\n"
    "the read stopped and why, and exits 1.\n\n"
    "example: echo '0C000000 2E080000 01000000' | vci-ident-tool decode --frame\n";

const char kEncodeUsage[] =
    "usage: vci-ident-tool encode [--frame] [--encrypt] [--hex] [FILE|-]\n\n"
    "Reads the JSON of one record (as decode prints it) and writes its archive\n"
    "bytes to standard output: the content, or with --frame the whole frame.\n"
    "--encrypt (or \"enciphered\": true in the JSON) enciphers the body with the\n"
    "default key. --hex writes hexadecimal text instead of binary.\n"
    "decode | encode reproduces a record written in its newest layout byte for\n"
    "byte, and writes any other valid form (version 0, an older or a newer\n"
    "version) in the newest layout.\n\n"
    "example: vci-ident-tool decode reply.bin | vci-ident-tool encode > again.bin\n";

int RunDecode(const std::vector<std::string>& args);
int RunEncode(const std::vector<std::string>& args);
const ToolCommand kDecode{"decode", "print one archive (content or frame) as JSON", kDecodeUsage, RunDecode};
const ToolCommand kEncode{"encode", "write the archive of a record given as JSON", kEncodeUsage, RunEncode};
ToolCommandRegistration g_Decode(kDecode);
ToolCommandRegistration g_Encode(kEncode);

// Splits the options from the one optional input path.
bool ParseArgs(const ToolCommand& command, const std::vector<std::string>& args,
               const std::vector<std::string>& allowed, std::vector<bool>& set, std::string& path, int& rc) {
  set.assign(allowed.size(), false);
  path = "-";
  bool havePath = false;
  for (const auto& a : args) {
    bool matched = false;
    for (size_t i = 0; i < allowed.size(); ++i)
      if (a == allowed[i]) set[i] = matched = true;
    if (matched) continue;
    if (a.size() > 1 && a[0] == '-') {
      rc = tool::UsageError(command, "unknown option '" + a + "'");
      return false;
    }
    if (havePath) {
      rc = tool::UsageError(command, std::string(command.name) + " takes at most one FILE");
      return false;
    }
    path = a;
    havePath = true;
  }
  return true;
}

int RunDecode(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kDecodeUsage)) return 0;
  std::vector<bool> set;
  std::string path, data, err;
  int rc = 0;
  if (!ParseArgs(kDecode, args, {"--frame"}, set, path, rc)) return rc;
  bool frame = set[0];
  if (!tool::ReadArchiveInput(path, data, err)) return tool::Fail(err);
  size_t offset = 0;
  if (frame) {
    if (data.size() < 4) return tool::Fail("a frame needs its 4-byte length word; got " + std::to_string(data.size()));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    uint32_t total = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    if (total != data.size())
      return tool::Fail("the frame length word says " + std::to_string(total) + " bytes, the input holds " +
                        std::to_string(data.size()));
    offset = 4;
  }
  if (data.size() - offset > 0x7FFFFFFF) return tool::Fail("the input is too large");
  uint32_t n = static_cast<uint32_t>(data.size() - offset);
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  uint8_t* content;
  uint32_t length;
  if (!ar.AllocateData(n)) return tool::Fail("cannot hold " + std::to_string(n) + " bytes");
  ar.GetContent(content, length);
  std::copy(data.begin() + offset, data.end(), content);
  nlohmann::ordered_json out;
  if (!DecodeArchive(ar, out, err)) return tool::Fail(err);
  tool::PrintJson(out);
  return 0;
}

int RunEncode(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kEncodeUsage)) return 0;
  std::vector<bool> set;
  std::string path, data, err;
  int rc = 0;
  if (!ParseArgs(kEncode, args, {"--frame", "--encrypt", "--hex"}, set, path, rc)) return rc;
  if (!tool::ReadInput(path, data, err)) return tool::Fail(err);
  nlohmann::ordered_json in = nlohmann::ordered_json::parse(data, nullptr, false);
  if (in.is_discarded()) return tool::Fail("the input is not valid JSON");
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  if (!EncodeArchive(in, set[1], ar, err)) return tool::Fail(err);
  uint8_t* bytes;
  uint32_t length;
  if (set[0])
    ar.GetFrame(bytes, length);
  else
    ar.GetContent(bytes, length);
  if (set[2]) {
    std::cout << tool::ToHex(bytes, length) << "\n";
  } else {
    std::cout.write(reinterpret_cast<const char*>(bytes), length);
  }
  std::cout.flush();
  return std::cout ? 0 : tool::Fail("writing the output failed");
}

}  // namespace
