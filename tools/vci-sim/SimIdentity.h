// What one simulated VCI is and carries: its identity, its installed
// applications and components, its sessions and its wireless link. Filled
// from a JSON file and the command line; each VCI of a --count run gets a
// copy with its own address and serial number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcisim {

struct SimAppEntry {
  std::string name;
  std::string version;
};

struct SimSession {
  uint32_t number = 0;
  std::string text1;
  std::string text2;
  std::string address;  // empty: the VCI's own address
  uint32_t interfaceKind = 1;
  bool flag = false;
};

struct SimWireless {
  bool enabled = false;
  uint32_t apState = 0;
  uint32_t linkQualityRaw = 0;
  int32_t signalLevel = 0;
  int32_t noiseLevel = 0;
};

enum class AnnounceFormat { CURRENT, LEGACY, RECOVERY };

struct SimIdentity {
  uint32_t serial = 1000;
  std::string address = "127.0.0.2";
  uint64_t deviceToken = 0x0102030405060708ull;
  uint32_t moduleType = 1;
  uint32_t moduleState = 0;
  uint32_t interfaceKind = 1;
  std::string productVersion = "1.0.0";
  std::string productDate = "20260101";
  std::vector<SimAppEntry> applications;
  std::vector<SimAppEntry> appComponents;
  std::vector<SimAppEntry> systemComponents;
  std::vector<SimSession> sessions;
  SimWireless wireless;
  AnnounceFormat format = AnnounceFormat::CURRENT;
  // Layout version of the announcement (current 1..3, legacy 1..2, recovery 1..2).
  uint32_t messageVersion = 3;
};

// Fills identity from the JSON text of an identity file. Keys that are
// absent keep their value. false with a message naming the bad key.
bool ParseIdentityJson(const std::string& text, SimIdentity& identity, std::string& error);

// "current", "legacy", "recovery".
bool ParseAnnounceFormat(const std::string& text, AnnounceFormat& format);
const char* AnnounceFormatName(AnnounceFormat format);
// The default layout version of a format (current 3, legacy 2, recovery 2).
uint32_t DefaultMessageVersion(AnnounceFormat format);
bool IsValidMessageVersion(AnnounceFormat format, uint32_t version);

// Decimal or 0x... within [0, max].
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value);
bool ParseSigned(const std::string& text, int64_t min, int64_t max, int64_t& value);
// 16 hexadecimal digits (an optional 0x) -> the 8-byte device token.
bool ParseToken(const std::string& text, uint64_t& token);
std::string FormatToken(uint64_t token);

// The dotted IPv4 address offset addresses after base, or empty when base
// is not a dotted address or the sum passes 255.255.255.255.
std::string OffsetAddress(const std::string& base, uint32_t offset);

}  // namespace vcisim
