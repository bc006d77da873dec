// JSON form of the VCI announcements: the current announcement, the legacy
// status message with its client entries, and the recovery announcement.
//
// What the announcements keep outside the record shows up in the JSON too:
// the sequence counter and the legacy presence flags (process-wide variables,
// filled by the read).
//
// The sequence byte is not kept in an announcement: a read stores it into
// the process-wide counter (a version 0 announcement carries none and leaves
// the counter alone), and a write sends the counter and increments it. So
// "sequence" is the byte each announcement is written with: the counter as
// the read of the whole record left it for the first, counted up for each
// one after it, as a write of the record counts it. Encode sets the counter
// from the record's first "sequence" and numbers the others on from there.
// A record of one announcement thus comes back byte for byte, while a
// detail cache of several is numbered on from the last byte read, as the
// service numbers it when it writes the cache again.
#include <cstdlib>

#include "NestedRecordJson.h"
#include "ToolCommand.h"
#include "records/RecoveryStatus.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatusMsg.h"
#include "serialize/ObjectId.h"

using json = nlohmann::ordered_json;
using recordjson::GetField;

namespace {

// The service's built-in link-quality zones, lent to every announcement the
// tool reads.
const uint32_t kDefaultZones[] = {30, 50, 60, 100};

// Whether an announcement of this run has set the sequence counter: the
// tool encodes one record a run.
bool g_bSequenceSet = false;

std::unique_ptr<CSerialize> MakeIdentMsg() {
  std::unique_ptr<CVCIIdentMsg> msg(new CVCIIdentMsg());
  msg->SetLinkQualityZones(sizeof kDefaultZones / sizeof kDefaultZones[0], kDefaultZones);
  return std::unique_ptr<CSerialize>(msg.release());
}

// A wireless pair as the number it stands for; 0 when absent.
int WirelessNumber(const CArgList& wireless, const char* name) {
  std::string value;
  return wireless.GetValue(name, value) ? atoi(value.c_str()) : 0;
}

bool GetByte(const json& in, const char* name, int low, int high, int& v, std::string& err) {
  int32_t n;
  if (!GetField(in, name, n, err)) return false;
  if (n < low || n > high) {
    err = std::string("field \"") + name + "\" must lie in " + std::to_string(low) + ".." + std::to_string(high);
    return false;
  }
  v = n;
  return true;
}

// The wireless block travels as a flag and, when it is set, four bytes. The
// reader turns the link byte into "linkQualityRaw" and its zone
// "linkQuality"; the writer sends the link byte from the record's
// "link-quality" pair. To give back the bytes that were read, a record built
// from JSON carries linkQualityRaw in that pair too; linkQuality is derived
// on reading and is not needed to encode.
void IdentMsgToJson(const CSerialize& r, json& out) {
  const auto& m = static_cast<const CVCIIdentMsg&>(r);
  out["version"] = m.GetVersion();
  out["serial"] = m.GetSerial();
  out["tokenLow"] = m.GetTokenLow();
  out["tokenHigh"] = m.GetTokenHigh();
  out["kind"] = m.GetKind();
  out["moduleState"] = m.GetModuleState();
  out["sessions"] = recordjson::ToJson(m.GetSessions());
  // Taken as a write takes it: the next announcement shows the next byte.
  const uint8_t sequence = CVCIIdentMsg::GetSequenceCounter();
  CVCIIdentMsg::SetSequenceCounter(static_cast<uint8_t>(sequence + 1));
  out["sequence"] = sequence;
  const CArgList& wl = m.GetWireless();
  std::string enable;
  bool enabled = wl.GetValue(wireless_info::IF_ENABLE, enable) && enable == "True";
  out["wireless"] = enabled;
  if (enabled) {
    out["apState"] = WirelessNumber(wl, wireless_info::AP_STATE);
    out["linkQuality"] = WirelessNumber(wl, wireless_info::LINK_QUALITY);
    out["linkQualityRaw"] = WirelessNumber(wl, wireless_info::LINK_QUALITY_RAW);
    out["signalLevel"] = WirelessNumber(wl, wireless_info::SIGNAL_LEVEL);
    out["noiseLevel"] = WirelessNumber(wl, wireless_info::NOISE_LEVEL);
  }
  out["moduleType"] = m.GetModuleType();
}
bool IdentMsgFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& m = static_cast<CVCIIdentMsg&>(r);
  uint8_t version, sequence;
  uint32_t serial, tokenLow, tokenHigh, kind, moduleState, moduleType;
  CSessionList sessions;
  bool enabled;
  if (!GetField(in, "version", version, err) || !GetField(in, "serial", serial, err) ||
      !GetField(in, "tokenLow", tokenLow, err) || !GetField(in, "tokenHigh", tokenHigh, err) ||
      !GetField(in, "kind", kind, err) || !GetField(in, "moduleState", moduleState, err) ||
      !recordjson::GetRecord(in, "sessions", sessions, err) || !GetField(in, "sequence", sequence, err) ||
      !GetField(in, "wireless", enabled, err) || !GetField(in, "moduleType", moduleType, err))
    return false;
  for (auto field : {std::make_pair("kind", kind), std::make_pair("moduleState", moduleState),
                     std::make_pair("moduleType", moduleType)})
    if (field.second > 0xFF) {
      err = std::string("field \"") + field.first + "\" travels in one byte: 0..255";
      return false;
    }
  CArgList wl;
  if (enabled) {
    int ap, raw, signal, noise;
    if (!GetByte(in, "apState", 0, 255, ap, err) || !GetByte(in, "linkQualityRaw", 0, 255, raw, err) ||
        !GetByte(in, "signalLevel", -128, 127, signal, err) || !GetByte(in, "noiseLevel", -128, 127, noise, err))
      return false;
    wl.SetValue(wireless_info::IF_ENABLE, "True");
    wl.SetValue(wireless_info::AP_STATE, std::to_string(ap));
    wl.SetValue(wireless_info::LINK_QUALITY, std::to_string(raw));
    wl.SetValue(wireless_info::LINK_QUALITY_RAW, std::to_string(raw));
    wl.SetValue(wireless_info::SIGNAL_LEVEL, std::to_string(signal));
    wl.SetValue(wireless_info::NOISE_LEVEL, std::to_string(noise));
  } else {
    wl.SetValue(wireless_info::IF_ENABLE, "False");
  }
  m = CVCIIdentMsg(serial, moduleState, tokenLow, tokenHigh, sessions, kind, 0, 0, moduleType);
  m.SetVersion(version);
  m.SetWireless(wl);
  m.SetLinkQualityZones(sizeof kDefaultZones / sizeof kDefaultZones[0], kDefaultZones);
  if (!g_bSequenceSet) CVCIIdentMsg::SetSequenceCounter(sequence);
  g_bSequenceSet = true;
  return true;
}
RecordJsonRegistration g_IdentMsg({OBJID_CVCIIdentMsg, "CVCIIdentMsg", MakeIdentMsg, IdentMsgToJson,
                                   IdentMsgFromJson});

// The legacy records are only ever read by the service; encode says so
// instead of writing an empty archive.
bool ReadOnlyFromJson(const char* what, std::string& err) {
  err = std::string("the service only reads ") + what + ", it never writes one, so it cannot be encoded";
  return false;
}

void ClientInfoToJson(const CSerialize& r, json& out) {
  const auto& c = static_cast<const CClientInfo&>(r);
  out["flag"] = c.m_bFlag;
  out["number"] = c.m_uiNumber;
  out["interface"] = c.m_strInterface;
  out["text1"] = c.m_strText1;
  out["text2"] = c.m_strText2;
}
bool ClientInfoFromJson(const json&, CSerialize&, std::string& err) {
  return ReadOnlyFromJson("the client entry of a legacy status message", err);
}
RecordJsonRegistration g_ClientInfo({OBJID_CClientInfo, "CClientInfo", recordjson::Make<CClientInfo>, ClientInfoToJson,
                                     ClientInfoFromJson});

void StatusMsgToJson(const CSerialize& r, json& out) {
  const auto& m = static_cast<const CVCIStatusMsg&>(r);
  out["version"] = m.m_uiVersion;
  out["unusedText"] = m.m_strUnused;
  out["wirelessAddress"] = m.m_strWirelessAddr;
  out["usbAddress"] = m.m_strUsbAddr;
  out["ethernetAddress"] = m.m_strEthernetAddr;
  out["serial"] = m.m_uiSerial;
  out["productVersion"] = m.m_uiProductVersion;
  out["productDate"] = m.m_uiProductDate;
  out["unused"] = json::array({m.m_Unused[0], m.m_Unused[1], m.m_Unused[2], m.m_Unused[3]});
  out["moduleType"] = m.m_uiModuleType;
  CVCIStatusMsg::PresenceFlags flags = CVCIStatusMsg::GetPresenceFlags();
  out["ethernetFlag"] = flags.uiEthernet;
  out["wirelessFlag"] = flags.uiWireless;
  out["usbFlag"] = flags.uiUsb;
  out["fourthFlag"] = flags.uiFourth;
  json clients = json::array();
  for (const auto& c : m.m_Clients) clients.push_back(recordjson::ToJson(c));
  out["clients"] = clients;
  out["moduleState"] = m.m_uiModuleState;
}
bool StatusMsgFromJson(const json&, CSerialize&, std::string& err) {
  return ReadOnlyFromJson("the legacy status message", err);
}
RecordJsonRegistration g_StatusMsg({OBJID_CVCIStatusMsg, "CVCIStatusMsg", recordjson::Make<CVCIStatusMsg>, StatusMsgToJson,
                                    StatusMsgFromJson});

// The block is shown as "blockText" when it is a text and its terminator (as
// the service writes it), otherwise as hexadecimal "block".
bool IsTextBlock(const std::vector<uint8_t>& block) {
  if (block.empty() || block.back() != 0) return false;
  for (size_t i = 0; i + 1 < block.size(); ++i)
    if (block[i] == 0) return false;
  return true;
}
void RecoveryToJson(const CSerialize& r, json& out) {
  const auto& m = static_cast<const CRecoveryStatus&>(r);
  out["version"] = m.m_uiVersion;
  out["serial"] = m.m_uiSerial;
  out["unused"] = json::array({m.m_Unused[0], m.m_Unused[1], m.m_Unused[2]});
  out["text"] = m.m_strText;
  out["moduleState"] = m.m_uiModuleState;
  if (IsTextBlock(m.m_Block))
    out["blockText"] = m.GetBlockText();
  else
    out["block"] = tool::ToHex(m.m_Block.data(), m.m_Block.size());
}
bool RecoveryFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& m = static_cast<CRecoveryStatus&>(r);
  const json* unused;
  if (!GetField(in, "version", m.m_uiVersion, err) || !GetField(in, "serial", m.m_uiSerial, err) ||
      !recordjson::GetArray(in, "unused", unused, err))
    return false;
  if (unused->size() != CRecoveryStatus::NUM_UNUSED_WORDS) {
    err = "field \"unused\" must hold " + std::to_string(CRecoveryStatus::NUM_UNUSED_WORDS) + " numbers";
    return false;
  }
  for (size_t i = 0; i < unused->size(); ++i) {
    const json& w = (*unused)[i];
    if (!w.is_number_unsigned() || w.get<unsigned long long>() > 0xFFFFFFFFull) {
      err = "field \"unused\" holds something other than 32-bit numbers";
      return false;
    }
    m.m_Unused[i] = w.get<uint32_t>();
  }
  if (!GetField(in, "text", m.m_strText, err) || !GetField(in, "moduleState", m.m_uiModuleState, err)) return false;
  std::string text, hex, bytes;
  if (in.contains("blockText")) {
    if (!GetField(in, "blockText", text, err)) return false;
    m.SetBlockText(text);
    return true;
  }
  if (!GetField(in, "block", hex, err)) {
    err = "missing field \"blockText\" or \"block\"";
    return false;
  }
  if (!tool::ParseHex(hex, bytes)) {
    err = "field \"block\" is not hexadecimal bytes";
    return false;
  }
  m.m_Block.assign(bytes.begin(), bytes.end());
  return true;
}
RecordJsonRegistration g_Recovery({OBJID_CRecoveryStatus, "CRecoveryStatus", recordjson::Make<CRecoveryStatus>, RecoveryToJson,
                                   RecoveryFromJson});

}  // namespace
