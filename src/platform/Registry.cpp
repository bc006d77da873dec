// The registry file: parser, snapshot handles, atomic writers and the change
// notification.
//
// A parse failure is reported on standard error, not through the trace log:
// the trace log reads its own folder from the registry, so reporting through
// it would re-enter the registry from inside the trace lock.
#include "platform/Registry.h"

#include "platform/Files.h"
#include "platform/Mutex.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

struct RegValue {
  DWORD type = REG_NONE;
  std::string text;
  DWORD dword = 0;
};

// One armed change notification: a thread that waits for the next change of
// the registry file and signals the caller's event once. It belongs to the
// key it was armed on; closing the key stops the thread and releases its
// descriptors, as closing a key cancels its notification on Windows.
struct RegWatch {
  std::thread thread;
  int stopFd = -1;
  int inotifyFd = -1;
  // Set by the thread when it has signalled the event: the watch is spent
  // and can be released at the next arming of the same key.
  std::atomic<bool> spent{false};
  ~RegWatch() {
    if (stopFd >= 0) {
      uint64_t one = 1;
      ssize_t r = write(stopFd, &one, sizeof one);
      (void)r;
    }
    if (thread.joinable()) thread.join();
    if (inotifyFd >= 0) close(inotifyFd);
    if (stopFd >= 0) close(stopFd);
  }
};

struct RegistryKeyImpl {
  std::string path;  // Lower-case full path, root included.
  bool predefined = false;
  std::map<std::string, RegValue> values;  // Keyed by lower-case name ("" = default value).
  std::vector<std::unique_ptr<RegWatch>> watches;
};

namespace {

RegistryKeyImpl g_LocalMachine{"hkey_local_machine", true, {}, {}};
CMutex g_WriteLock;   // Serialises the writers of this process.
CMutex g_ReportLock;  // Guards g_LastReport.
std::string g_LastReport;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string TrimSlashes(const std::string& s) {
  size_t b = s.find_first_not_of('\\');
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of('\\');
  return s.substr(b, e - b + 1);
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Reads "..." starting at s[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(const std::string& s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out.clear();
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (pos + 1 >= s.size()) return false;
      char n = s[++pos];
      if (n != '\\' && n != '"') return false;
      out += n;
    } else {
      out += c;
    }
  }
  return false;
}

// One line classified.
struct Line {
  enum Kind { Other, Section, Value } kind = Other;
  std::string key;   // Section: lower-case path.
  std::string name;  // Value: lower-case name.
  RegValue value;
};

// Parses one line; false with a reason on a malformed line.
bool ParseLine(const std::string& raw, bool first, Line& line, std::string& why) {
  std::string s = raw;
  if (!s.empty() && s.back() == '\r') s.pop_back();
  if (first && s.compare(0, 3, "\xEF\xBB\xBF") == 0) s.erase(0, 3);
  s = Trim(s);
  line = Line();
  if (s.empty() || s[0] == ';') return true;
  if (first && s == "Windows Registry Editor Version 5.00") return true;
  if (s[0] == '[') {
    if (s.back() != ']' || s.size() < 3 || s[1] == '-') {
      why = "malformed key section";
      return false;
    }
    line.kind = Line::Section;
    line.key = Lower(TrimSlashes(s.substr(1, s.size() - 2)));
    if (line.key.empty()) {
      why = "empty key path";
      return false;
    }
    return true;
  }
  size_t pos = 0;
  std::string name;
  if (s[0] == '@') {
    pos = 1;
  } else if (!ReadQuoted(s, pos, name)) {
    why = "malformed value name";
    return false;
  }
  if (pos >= s.size() || s[pos] != '=') {
    why = "'=' expected after the value name";
    return false;
  }
  ++pos;
  std::string rest = s.substr(pos);
  line.kind = Line::Value;
  line.name = Lower(name);
  if (!rest.empty() && rest[0] == '"') {
    size_t p = 0;
    if (!ReadQuoted(rest, p, line.value.text) || !Trim(rest.substr(p)).empty()) {
      why = "malformed string value";
      return false;
    }
    line.value.type = REG_SZ;
    return true;
  }
  if (Lower(rest.substr(0, 6)) == "dword:") {
    std::string hex = Trim(rest.substr(6));
    if (hex.size() != 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      why = "a dword needs eight hexadecimal digits";
      return false;
    }
    line.value.type = REG_DWORD;
    line.value.dword = static_cast<DWORD>(strtoul(hex.c_str(), nullptr, 16));
    return true;
  }
  why = "unsupported value type";
  return false;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

void ReportOnce(const std::string& path, size_t lineNo, const std::string& why) {
  std::string msg = "registry: " + path + ":" + std::to_string(lineNo) + ": " + why;
  CMutexLock g(g_ReportLock);
  if (msg == g_LastReport) return;
  g_LastReport = msg;
  fprintf(stderr, "%s\n", msg.c_str());
}

typedef std::map<std::string, std::map<std::string, RegValue>> RegTree;

// UTF-16LE (after its byte-order mark) as UTF-8. A surrogate without its
// partner becomes U+FFFD, and an odd last byte is left out.
std::string Utf8FromUtf16(const std::string& bytes, size_t start) {
  std::string out;
  auto unit = [&bytes](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
  };
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Reads the file as text; 2 when missing. The registry editor of Windows
// exports UTF-16LE with a byte-order mark: such a file reads as its UTF-8
// text (and a writer writes it back as UTF-8).
LONG ReadFileText(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return ERROR_FILE_NOT_FOUND;
  std::stringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  if (text.compare(0, 2, "\xFF\xFE") == 0) text = Utf8FromUtf16(text, 2);
  return ERROR_SUCCESS;
}

// Parses the whole file; 13 on the first malformed line (reported once).
LONG ParseText(const std::string& path, const std::vector<std::string>& lines, RegTree* tree,
               std::vector<Line>* parsed) {
  std::string current;
  for (size_t i = 0; i < lines.size(); ++i) {
    Line line;
    std::string why;
    if (!ParseLine(lines[i], i == 0, line, why)) {
      ReportOnce(path, i + 1, why);
      return ERROR_INVALID_DATA;
    }
    if (line.kind == Line::Section) {
      current = line.key;
      if (tree) (*tree)[current];
    } else if (line.kind == Line::Value) {
      if (current.empty()) {
        ReportOnce(path, i + 1, "value outside a key section");
        return ERROR_INVALID_DATA;
      }
      line.key = current;
      if (tree) (*tree)[current][line.name] = line.value;
    }
    if (parsed) parsed->push_back(line);
  }
  return ERROR_SUCCESS;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string ValueLine(const std::string& name, const std::string& rhs) {
  return (name.empty() ? std::string("@") : "\"" + Escape(name) + "\"") + "=" + rhs;
}

bool ValidText(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

// Rewrites the file with the value line replaced, added or (rhs empty) removed.
LONG Rewrite(const std::string& keyPath, const std::string& name, const std::string* rhs) {
  std::string key = Lower(TrimSlashes(keyPath));
  if (key.empty() || !ValidText(keyPath) || keyPath.find_first_of("[]") != std::string::npos || !ValidText(name))
    return ERROR_INVALID_PARAMETER;
  CMutexLock g(g_WriteLock);
  std::string path = platform::RegistryFilePath();
  std::string text;
  std::vector<std::string> lines;
  if (ReadFileText(path, text) == ERROR_SUCCESS) {
    lines = SplitLines(text);
  } else {
    if (!rhs) return ERROR_FILE_NOT_FOUND;
    // A first write provisions a fresh machine (the folder is created too).
    lines = {"Windows Registry Editor Version 5.00", ""};
  }
  std::vector<Line> parsed;
  LONG r = ParseText(path, lines, nullptr, &parsed);
  if (r != ERROR_SUCCESS) return r;
  std::string lname = Lower(name);
  std::vector<std::string> out;
  bool found = false, inKey = false;
  size_t insertAt = std::string::npos;  // Index in out after the key's last non-blank line.
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& l = parsed[i];
    if (l.kind == Line::Section) inKey = l.key == key;
    if (l.kind == Line::Value && l.key == key && l.name == lname) {
      if (rhs && !found) out.push_back(ValueLine(name, *rhs));
      found = true;
      continue;
    }
    out.push_back(lines[i]);
    if (inKey && !Trim(lines[i]).empty()) insertAt = out.size();
  }
  if (!rhs && !found) return ERROR_FILE_NOT_FOUND;
  if (rhs && !found) {
    if (insertAt != std::string::npos) {
      out.insert(out.begin() + static_cast<long>(insertAt), ValueLine(name, *rhs));
    } else {
      if (!out.empty() && !Trim(out.back()).empty()) out.push_back("");
      out.push_back("[" + TrimSlashes(keyPath) + "]");
      out.push_back(ValueLine(name, *rhs));
    }
  }
  std::string result;
  for (const std::string& l : out) result += l + "\n";
  return platform::ReplaceFileAtomically(path, result) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace

const HKEY HKEY_LOCAL_MACHINE = &g_LocalMachine;
const char* const VCI_REGISTRY_KEY = "SOFTWARE\\KIVO\\KIVO_VCI";
const char* const BT_STACK_REGISTRY_KEY = "SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0";

namespace platform {

std::string RegistryFilePath() {
  const char* env = getenv("VCI_IDENT_REGISTRY");
  if (env && *env) return env;
  return "/etc/vci-ident/registry.reg";
}

namespace {

// The three calls of a registry read into a zeroed buffer of the caller's
// size (with room for a DWORD however small that size).
LONG ReadValue(const char* key, const char* name, DWORD bufferSize, std::vector<BYTE>& buffer, DWORD& type,
               RegistryStep* failed) {
  buffer.assign(bufferSize < 4 ? 4 : bufferSize, 0);
  RegistryStep step = RegistryStep::OPEN;
  HKEY hKey = nullptr;
  LONG r = RegOpenKeyEx(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &hKey);
  if (r == ERROR_SUCCESS) {
    step = RegistryStep::QUERY;
    DWORD size = bufferSize;
    r = RegQueryValueEx(hKey, name, nullptr, &type, buffer.data(), &size);
    LONG closed = RegCloseKey(hKey);
    if (r == ERROR_SUCCESS && closed != ERROR_SUCCESS) {
      step = RegistryStep::CLOSE;
      r = closed;
    }
  }
  if (failed) *failed = r == ERROR_SUCCESS ? RegistryStep::NONE : step;
  return r;
}

}  // namespace

std::string DescribeRegistryFailure(LONG code, RegistryStep step, const char* name, const char* key) {
  const std::string path = RegistryFilePath(), file = "the registry file " + path;
  const std::string where = "HKEY_LOCAL_MACHINE\\" + std::string(key);
  if (code == ERROR_INVALID_DATA && step == RegistryStep::OPEN) {
    CMutexLock g(g_ReportLock);
    return file + " does not parse (" + (g_LastReport.empty() ? "see standard error" : g_LastReport) + ")";
  }
  if (code == ERROR_FILE_NOT_FOUND && step == RegistryStep::OPEN) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return file + " does not exist";
    if (!std::ifstream(path, std::ios::binary)) return file + " cannot be read: " + std::strerror(errno);
    return file + " has no key " + where;
  }
  const std::string value = "the value \"" + std::string(name) + "\" under " + where + " in " + path;
  if (code == ERROR_FILE_NOT_FOUND) return file + " has no value \"" + name + "\" under " + where;
  if (code == ERROR_MORE_DATA) return value + " is too long";
  if (code == ERROR_INVALID_DATA) return value + " is of another type";
  return value + " cannot be read (error " + std::to_string(code) + ")";
}

LONG ReadRegistryString(const char* name, DWORD bufferSize, std::string& text, RegistryStep* failed,
                        const char* key) {
  std::vector<BYTE> buffer;
  DWORD type = REG_NONE;
  LONG r = ReadValue(key, name, bufferSize, buffer, type, failed);
  if (r == ERROR_SUCCESS && type != REG_SZ) {
    if (failed) *failed = RegistryStep::QUERY;
    return ERROR_INVALID_DATA;
  }
  // The query copied the terminator with the text: it fits the buffer.
  if (r == ERROR_SUCCESS) text = reinterpret_cast<const char*>(buffer.data());
  return r;
}

LONG ReadRegistryDword(const char* name, DWORD bufferSize, DWORD& value, RegistryStep* failed, const char* key) {
  std::vector<BYTE> buffer;
  DWORD type = REG_NONE;
  LONG r = ReadValue(key, name, bufferSize, buffer, type, failed);
  if (r == ERROR_SUCCESS)
    value = static_cast<DWORD>(buffer[0]) | static_cast<DWORD>(buffer[1]) << 8 | static_cast<DWORD>(buffer[2]) << 16 |
            static_cast<DWORD>(buffer[3]) << 24;
  return r;
}

LONG RegistrySetString(const std::string& keyPath, const std::string& name, const std::string& value) {
  if (!ValidText(value)) return ERROR_INVALID_PARAMETER;
  std::string rhs = "\"" + Escape(value) + "\"";
  return Rewrite(keyPath, name, &rhs);
}

LONG RegistrySetDword(const std::string& keyPath, const std::string& name, DWORD value) {
  char buf[32];
  snprintf(buf, sizeof buf, "dword:%08x", value);
  std::string rhs = buf;
  return Rewrite(keyPath, name, &rhs);
}

LONG RegistryDeleteValue(const std::string& keyPath, const std::string& name) {
  return Rewrite(keyPath, name, nullptr);
}

}  // namespace platform

LONG RegOpenKeyEx(HKEY hKey, const char* lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (!hKey || !phkResult) return ERROR_INVALID_PARAMETER;
  std::string sub = lpSubKey ? Lower(TrimSlashes(lpSubKey)) : "";
  std::string full = sub.empty() ? hKey->path : hKey->path + "\\" + sub;
  std::string path = platform::RegistryFilePath();
  std::string text;
  LONG r = ReadFileText(path, text);
  if (r != ERROR_SUCCESS) return r;
  RegTree tree;
  r = ParseText(path, SplitLines(text), &tree, nullptr);
  if (r != ERROR_SUCCESS) return r;
  auto it = tree.find(full);
  if (it == tree.end()) return ERROR_FILE_NOT_FOUND;
  RegistryKeyImpl* key = new RegistryKeyImpl;
  key->path = full;
  key->values = it->second;
  *phkResult = key;
  return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY hKey, const char* lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!hKey) return ERROR_INVALID_HANDLE;
  std::unique_ptr<RegistryKeyImpl> fresh;
  if (hKey->predefined) {
    // A root key has no snapshot of its own: read it now.
    HKEY h = nullptr;
    LONG r = RegOpenKeyEx(hKey, nullptr, 0, KEY_READ, &h);
    if (r != ERROR_SUCCESS) return r;
    fresh.reset(h);
    hKey = h;
  }
  auto it = hKey->values.find(Lower(lpValueName ? lpValueName : ""));
  if (it == hKey->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& v = it->second;
  if (lpType) *lpType = v.type;
  DWORD size = v.type == REG_SZ ? static_cast<DWORD>(v.text.size() + 1) : 4;
  if (!lpData) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (!lpcbData) return ERROR_INVALID_PARAMETER;
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (v.type == REG_SZ) {
    memcpy(lpData, v.text.c_str(), size);
  } else {
    for (int i = 0; i < 4; ++i) lpData[i] = static_cast<BYTE>(v.dword >> (8 * i));
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  if (!hKey) return ERROR_INVALID_HANDLE;
  if (!hKey->predefined) delete hKey;  // Stops and joins its armed notifications.
  return ERROR_SUCCESS;
}

LONG RegNotifyChangeKeyValue(HKEY hKey, BOOL, DWORD, CEvent* hEvent, BOOL fAsynchronous) {
  if (!hKey) return ERROR_INVALID_HANDLE;
  if (!hEvent || !fAsynchronous || hKey->predefined) return ERROR_INVALID_PARAMETER;
  std::string path = platform::RegistryFilePath();
  std::string folder = ".", file = path;
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos) {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    file = path.substr(slash + 1);
  }
  auto watch = std::make_unique<RegWatch>();
  watch->inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  watch->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (watch->inotifyFd < 0 || watch->stopFd < 0) return ERROR_NOT_ENOUGH_MEMORY;
  // The folder is watched, not the file, so that a rename-replace is seen.
  // The watch is in place before this call returns: no change after it is missed.
  if (inotify_add_watch(watch->inotifyFd, folder.c_str(),
                        IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0)
    return ERROR_FILE_NOT_FOUND;
  // A key that is re-armed after every change (the usual pattern) would
  // otherwise keep one spent thread and two descriptors per change until it
  // is closed.
  auto& watches = hKey->watches;
  for (auto it = watches.begin(); it != watches.end();) {
    if ((*it)->spent.load())
      it = watches.erase(it);
    else
      ++it;
  }
  int in = watch->inotifyFd, stop = watch->stopFd;
  std::atomic<bool>* spent = &watch->spent;
  watch->thread = std::thread([in, stop, file, hEvent, spent] {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      pollfd fds[2] = {{in, POLLIN, 0}, {stop, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      ssize_t n = read(in, buf, sizeof buf);
      if (n <= 0) continue;
      for (ssize_t off = 0; off < n;) {
        const inotify_event* ev = reinterpret_cast<const inotify_event*>(buf + off);
        if (ev->len && file == ev->name) {
          spent->store(true);  // Before the signal: a waiter that re-arms sees it.
          hEvent->Set();
          return;  // One-shot: the caller re-arms.
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  });
  hKey->watches.push_back(std::move(watch));
  return ERROR_SUCCESS;
}
