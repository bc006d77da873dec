#include "SimIdentity.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <nlohmann/json.hpp>

namespace vcisim {

using nlohmann::json;

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
  value = v;
  return true;
}

bool ParseSigned(const std::string& text, int64_t min, int64_t max, int64_t& value) {
  if (text.empty() || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < min || v > max) return false;
  value = v;
  return true;
}

bool ParseToken(const std::string& text, uint64_t& token) {
  std::string hex = text;
  if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex = hex.substr(2);
  if (hex.empty() || hex.size() > 16) return false;
  uint64_t v = 0;
  for (char c : hex) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  token = v;
  return true;
}

std::string FormatToken(uint64_t token) {
  char buf[20];
  snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(token));
  return buf;
}

std::string OffsetAddress(const std::string& base, uint32_t offset) {
  struct in_addr a;
  if (inet_pton(AF_INET, base.c_str(), &a) != 1) return std::string();
  uint64_t v = static_cast<uint64_t>(ntohl(a.s_addr)) + offset;
  if (v > 0xFFFFFFFFull) return std::string();
  a.s_addr = htonl(static_cast<uint32_t>(v));
  char buf[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &a, buf, sizeof buf)) return std::string();
  return buf;
}

bool ParseAnnounceFormat(const std::string& text, AnnounceFormat& format) {
  if (text == "current") {
    format = AnnounceFormat::CURRENT;
  } else if (text == "legacy") {
    format = AnnounceFormat::LEGACY;
  } else if (text == "recovery") {
    format = AnnounceFormat::RECOVERY;
  } else {
    return false;
  }
  return true;
}

const char* AnnounceFormatName(AnnounceFormat format) {
  switch (format) {
    case AnnounceFormat::CURRENT:
      return "current";
    case AnnounceFormat::LEGACY:
      return "legacy";
    case AnnounceFormat::RECOVERY:
      return "recovery";
  }
  return "?";
}

uint32_t DefaultMessageVersion(AnnounceFormat format) { return format == AnnounceFormat::CURRENT ? 3 : 2; }

bool IsValidMessageVersion(AnnounceFormat format, uint32_t version) {
  return version >= 1 && version <= DefaultMessageVersion(format);
}

namespace {

// Typed readers that name the key in their error.
struct Reader {
  std::string& error;

  bool Fail(const std::string& key, const char* what) {
    error = "identity file: \"" + key + "\" " + what;
    return false;
  }
  bool U32(const json& j, const char* key, uint32_t& out, uint32_t max = 0xFFFFFFFFu) {
    if (!j.contains(key)) return true;
    const json& v = j[key];
    if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<int64_t>() >= 0)) return Fail(key, "must be a non-negative integer");
    uint64_t n = v.get<uint64_t>();
    if (n > max) return Fail(key, "is out of range");
    out = static_cast<uint32_t>(n);
    return true;
  }
  bool I32(const json& j, const char* key, int32_t& out, int32_t min, int32_t max) {
    if (!j.contains(key)) return true;
    const json& v = j[key];
    if (!v.is_number_integer()) return Fail(key, "must be an integer");
    int64_t n = v.get<int64_t>();
    if (n < min || n > max) return Fail(key, "is out of range");
    out = static_cast<int32_t>(n);
    return true;
  }
  bool Str(const json& j, const char* key, std::string& out) {
    if (!j.contains(key)) return true;
    if (!j[key].is_string()) return Fail(key, "must be a string");
    out = j[key].get<std::string>();
    return true;
  }
  bool Bool(const json& j, const char* key, bool& out) {
    if (!j.contains(key)) return true;
    if (!j[key].is_boolean()) return Fail(key, "must be true or false");
    out = j[key].get<bool>();
    return true;
  }
  bool Apps(const json& j, const char* key, std::vector<SimAppEntry>& out) {
    if (!j.contains(key)) return true;
    if (!j[key].is_array()) return Fail(key, "must be an array of {\"name\", \"version\"}");
    std::vector<SimAppEntry> list;
    for (const json& e : j[key]) {
      if (!e.is_object() || !e.contains("name") || !e["name"].is_string())
        return Fail(key, "entries need a \"name\" string");
      SimAppEntry entry;
      entry.name = e["name"].get<std::string>();
      if (!Str(e, "version", entry.version)) return false;
      list.push_back(entry);
    }
    out = list;
    return true;
  }
};

}  // namespace

bool ParseIdentityJson(const std::string& text, SimIdentity& id, std::string& error) {
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) {
    error = "identity file: not valid JSON";
    return false;
  }
  if (!j.is_object()) {
    error = "identity file: the top level must be an object";
    return false;
  }
  // A misspelt key would otherwise leave its default in place without a word.
  static const char* const kKeys[] = {"serial", "address", "device_token", "module_type", "module_state",
                                      "interface_kind", "product_version", "product_date", "applications",
                                      "app_components", "system_components", "sessions", "wireless", "format",
                                      "message_version"};
  for (const auto& item : j.items()) {
    if (std::find(std::begin(kKeys), std::end(kKeys), item.key()) == std::end(kKeys)) {
      error = "identity file: unknown key \"" + item.key() + "\"";
      return false;
    }
  }
  Reader r{error};
  std::string token, format;
  if (!r.U32(j, "serial", id.serial) || !r.Str(j, "address", id.address) || !r.Str(j, "device_token", token) ||
      !r.U32(j, "module_type", id.moduleType, 255) || !r.U32(j, "module_state", id.moduleState, 255) ||
      !r.U32(j, "interface_kind", id.interfaceKind, 255) || !r.Str(j, "product_version", id.productVersion) ||
      !r.Str(j, "product_date", id.productDate) || !r.Apps(j, "applications", id.applications) ||
      !r.Apps(j, "app_components", id.appComponents) || !r.Apps(j, "system_components", id.systemComponents) ||
      !r.Str(j, "format", format) || !r.U32(j, "message_version", id.messageVersion))
    return false;
  if (j.contains("address") && OffsetAddress(id.address, 0).empty())
    return r.Fail("address", "must be a dotted IPv4 address");
  if (j.contains("device_token") && !ParseToken(token, id.deviceToken))
    return r.Fail("device_token", "must be up to 16 hexadecimal digits");
  if (j.contains("format")) {
    if (!ParseAnnounceFormat(format, id.format)) return r.Fail("format", "must be current, legacy or recovery");
    if (!j.contains("message_version")) id.messageVersion = DefaultMessageVersion(id.format);
  }
  if (!IsValidMessageVersion(id.format, id.messageVersion)) return r.Fail("message_version", "is not a version of that format");
  if (j.contains("sessions")) {
    if (!j["sessions"].is_array()) return r.Fail("sessions", "must be an array");
    std::vector<SimSession> sessions;
    for (const json& e : j["sessions"]) {
      if (!e.is_object()) return r.Fail("sessions", "entries must be objects");
      SimSession s;
      if (!r.U32(e, "number", s.number) || !r.Str(e, "text1", s.text1) || !r.Str(e, "text2", s.text2) ||
          !r.Str(e, "address", s.address) || !r.U32(e, "interface_kind", s.interfaceKind) || !r.Bool(e, "flag", s.flag))
        return false;
      sessions.push_back(s);
    }
    if (sessions.size() > 255) return r.Fail("sessions", "holds more than 255 sessions");
    id.sessions = sessions;
  }
  if (j.contains("wireless")) {
    const json& w = j["wireless"];
    if (!w.is_object()) return r.Fail("wireless", "must be an object");
    SimWireless wl;
    wl.enabled = true;
    if (!r.Bool(w, "enabled", wl.enabled) || !r.U32(w, "ap_state", wl.apState, 255) ||
        !r.U32(w, "link_quality_raw", wl.linkQualityRaw, 255) || !r.I32(w, "signal_level", wl.signalLevel, -128, 127) ||
        !r.I32(w, "noise_level", wl.noiseLevel, -128, 127))
      return false;
    id.wireless = wl;
  }
  return true;
}

}  // namespace vcisim
