#include "ToolCommand.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "JsonText.h"

namespace {
std::vector<ToolCommand>& Table() {
  static std::vector<ToolCommand> table;
  return table;
}
}  // namespace

ToolCommandRegistration::ToolCommandRegistration(const ToolCommand& command) { Table().push_back(command); }

const std::vector<ToolCommand>& ToolCommands() { return Table(); }

namespace tool {

bool PrintedHelp(const std::vector<std::string>& args, const char* usage) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << usage;
      return true;
    }
  }
  return false;
}

int UsageError(const ToolCommand& command, const std::string& message) {
  std::cerr << "vci-ident-tool: " << message << " (see vci-ident-tool " << command.name << " --help)\n";
  return 2;
}

int Fail(const std::string& message) {
  std::cerr << "vci-ident-tool: " << message << "\n";
  return 1;
}

// Reads through istream::read, which turns a failing read (a folder opened
// as a file) into the bad bit; a stream buffer iterator would throw instead.
static bool ReadAll(std::istream& in, std::string& data) {
  data.clear();
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) data.append(chunk, static_cast<size_t>(in.gcount()));
  return !in.bad();
}

bool ReadInput(const std::string& path, std::string& data, std::string& err) {
  if (path == "-") {
    if (ReadAll(std::cin, data)) return true;
    err = "cannot read standard input";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot open " + path;
    return false;
  }
  if (!ReadAll(in, data)) {
    err = "cannot read " + path + (errno == EISDIR ? ": it is a folder" : "");
    return false;
  }
  return true;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& text, std::string& bytes) {
  bytes.clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ':') {
      if (high >= 0) return false;  // a blank splits a byte
      continue;
    }
    int d = HexDigit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + d));
      high = -1;
    }
  }
  return high < 0;
}

// An archive's bytes never look like hexadecimal text: object ids and frame
// lengths are small numbers, so the third and fourth byte of the first word
// are zero. Text of hex digits and blanks is therefore taken as hex.
static bool LooksLikeHex(const std::string& data) {
  bool digit = false;
  for (char c : data) {
    bool hex = HexDigit(c) >= 0;
    if (!hex && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != ':') return false;
    digit = digit || hex;
  }
  return digit;
}

// Archive bytes always hold a zero byte (the high bytes of the first word);
// input without one that is all printable text was meant as hexadecimal.
static size_t FindGarbledHex(const std::string& data) {
  size_t bad = std::string::npos;
  for (size_t i = 0; i < data.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return std::string::npos;
    if (c >= 0x7F) return std::string::npos;
    if (bad == std::string::npos && HexDigit(data[i]) < 0 && c != ' ' && c != '\t' && c != '\n' && c != '\r' &&
        c != ':')
      bad = i;
  }
  return bad;
}

bool ReadArchiveInput(const std::string& path, std::string& data, std::string& err) {
  if (!ReadInput(path, data, err)) return false;
  size_t bad = FindGarbledHex(data);
  if (bad != std::string::npos) {
    err = "the input is neither archive bytes nor hexadecimal text: '" + data.substr(bad, 1) + "' at character " +
          std::to_string(bad + 1);
    return false;
  }
  if (!LooksLikeHex(data)) return true;
  std::string bytes;
  if (!ParseHex(data, bytes)) {
    err = "the input is not whole hexadecimal bytes";
    return false;
  }
  data.swap(bytes);
  return true;
}

std::string ToHex(const void* data, size_t length, bool upper) {
  static const char* lowerDigits = "0123456789abcdef";
  static const char* upperDigits = "0123456789ABCDEF";
  const char* digits = upper ? upperDigits : lowerDigits;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(digits[p[i] >> 4]);
    out.push_back(digits[p[i] & 15]);
  }
  return out;
}

bool ParseNumber(const std::string& text, unsigned long long& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0';
}

void PrintJson(const nlohmann::ordered_json& doc, bool oneLine) {
  const std::string text = JsonText(doc, oneLine ? -1 : 2);
  if (oneLine)
    std::cout << text << std::endl;
  else
    std::cout << text << "\n";
}

}  // namespace tool
