// JSON form of the messages between client applications and the service:
// the control requests and replies and the event messages.
#include "NestedRecordJson.h"
#include "ToolCommand.h"
#include "records/BluetoothReq.h"
#include "records/IdentConnect.h"
#include "records/IdentDisconnect.h"
#include "records/IdentEvent.h"
#include "records/LogFile.h"
#include "serialize/ObjectId.h"

using json = nlohmann::ordered_json;
using recordjson::GetField;

namespace {

// Replies that carry nothing but their result code.
void ResultToJson(const CSerialize& r, json& out) { out["result"] = static_cast<const CResponse&>(r).GetResult(); }
bool ResultFromJson(const json& in, CSerialize& r, std::string& err) {
  int32_t result;
  if (!GetField(in, "result", result, err)) return false;
  static_cast<CResponse&>(r).SetResult(result);
  return true;
}

void IdentDisconnectSendToJson(const CSerialize& r, json& out) {
  out["sessionId"] = static_cast<const CIdentDisconnect_Send&>(r).m_uiSessionId;
}
bool IdentDisconnectSendFromJson(const json& in, CSerialize& r, std::string& err) {
  return GetField(in, "sessionId", static_cast<CIdentDisconnect_Send&>(r).m_uiSessionId, err);
}
RecordJsonRegistration g_IdentDisconnectSend({OBJID_CIdentDisconnect_Send, "CIdentDisconnect_Send",
                                              recordjson::Make<CIdentDisconnect_Send>, IdentDisconnectSendToJson,
                                              IdentDisconnectSendFromJson});
RecordJsonRegistration g_IdentDisconnectRecv({OBJID_CIdentDisconnect_Recv, "CIdentDisconnect_Recv",
                                              recordjson::Make<CIdentDisconnect_Recv>, ResultToJson, ResultFromJson});

void BluetoothReqToJson(const CSerialize& r, json& out) {
  const auto& b = static_cast<const CBluetoothReq_Send&>(r);
  out["version"] = b.m_uiVersion;
  out["sessionId"] = b.m_uiSessionId;
  out["serialNumber"] = b.m_uiSerialNumber;
  out["command"] = b.m_uiCommand;
}
bool BluetoothReqFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& b = static_cast<CBluetoothReq_Send&>(r);
  return GetField(in, "version", b.m_uiVersion, err) && GetField(in, "sessionId", b.m_uiSessionId, err) &&
         GetField(in, "serialNumber", b.m_uiSerialNumber, err) && GetField(in, "command", b.m_uiCommand, err);
}
RecordJsonRegistration g_BluetoothReqSend({OBJID_CBluetoothReq_Send, "CBluetoothReq_Send", recordjson::Make<CBluetoothReq_Send>,
                                           BluetoothReqToJson, BluetoothReqFromJson});
RecordJsonRegistration g_BluetoothReqRecv({OBJID_CBluetoothReq_Recv, "CBluetoothReq_Recv", recordjson::Make<CBluetoothReq_Recv>,
                                           ResultToJson, ResultFromJson});

void LogFileSendToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CLogFile_Send&>(r);
  out["version"] = l.m_uiVersion;
  out["names"] = l.m_Names;
}
bool LogFileSendFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CLogFile_Send&>(r);
  return GetField(in, "version", l.m_uiVersion, err) && recordjson::GetStringList(in, "names", l.m_Names, err);
}
RecordJsonRegistration g_LogFileSend({OBJID_CLogFile_Send, "CLogFile_Send", recordjson::Make<CLogFile_Send>, LogFileSendToJson,
                                      LogFileSendFromJson});

// The contents travel as hexadecimal text; the size is shown for the reader
// and follows from the contents when encoding.
void LogFileRecvToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CLogFile_Recv&>(r);
  out["result"] = l.GetResult();
  out["version"] = l.m_uiVersion;
  out["name"] = l.m_strName;
  out["size"] = l.GetSize();
  out["contents"] = tool::ToHex(l.m_Contents.data(), l.m_Contents.size());
}
bool LogFileRecvFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CLogFile_Recv&>(r);
  int32_t result;
  std::string hex, bytes;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", l.m_uiVersion, err) ||
      !GetField(in, "name", l.m_strName, err) || !GetField(in, "contents", hex, err))
    return false;
  if (!tool::ParseHex(hex, bytes)) {
    err = "field \"contents\" is not hexadecimal bytes";
    return false;
  }
  l.SetResult(result);
  l.m_Contents.assign(bytes.begin(), bytes.end());
  return true;
}
RecordJsonRegistration g_LogFileRecv({OBJID_CLogFile_Recv, "CLogFile_Recv", recordjson::Make<CLogFile_Recv>, LogFileRecvToJson,
                                      LogFileRecvFromJson});

// The map travels as an array of {"name", "file"}: the name under which the
// file is filed is on the wire apart from the file's own name.
void LogFilesRecvToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CLogFiles_Recv&>(r);
  out["result"] = l.GetResult();
  out["version"] = l.m_uiVersion;
  json files = json::array();
  for (const auto& e : l.m_Files) files.push_back({{"name", e.first}, {"file", recordjson::ToJson(e.second)}});
  out["files"] = files;
}
bool LogFilesRecvFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CLogFiles_Recv&>(r);
  int32_t result;
  const json* files;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", l.m_uiVersion, err) ||
      !recordjson::GetArray(in, "files", files, err))
    return false;
  l.SetResult(result);
  l.m_Files.clear();
  for (size_t i = 0; i < files->size(); ++i) {
    const json& e = (*files)[i];
    std::string name;
    CLogFile_Recv file;
    if (!e.is_object() || !GetField(e, "name", name, err) || !recordjson::GetRecord(e, "file", file, err)) {
      if (err.empty()) err = "files[" + std::to_string(i) + "] is not an object";
      return false;
    }
    l.m_Files[name] = file;
  }
  return true;
}
RecordJsonRegistration g_LogFilesRecv({OBJID_CLogFiles_Recv, "CLogFiles_Recv", recordjson::Make<CLogFiles_Recv>,
                                       LogFilesRecvToJson, LogFilesRecvFromJson});

void IdentConnectSendToJson(const CSerialize& r, json& out) {
  const auto& c = static_cast<const CIdentConnect_Send&>(r);
  out["version"] = c.m_uiVersion;
  out["eventPort"] = c.m_uiEventPort;
  out["clientName"] = c.m_strClientName;
  out["persistLog"] = c.m_bPersistLog;
  out["noReplyTimeout"] = c.m_uiNoReplyTimeout;
}
bool IdentConnectSendFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& c = static_cast<CIdentConnect_Send&>(r);
  return GetField(in, "version", c.m_uiVersion, err) && GetField(in, "eventPort", c.m_uiEventPort, err) &&
         GetField(in, "clientName", c.m_strClientName, err) && GetField(in, "persistLog", c.m_bPersistLog, err) &&
         GetField(in, "noReplyTimeout", c.m_uiNoReplyTimeout, err);
}
RecordJsonRegistration g_IdentConnectSend({OBJID_CIdentConnect_Send, "CIdentConnect_Send", recordjson::Make<CIdentConnect_Send>,
                                           IdentConnectSendToJson, IdentConnectSendFromJson});

void IdentConnectRecvToJson(const CSerialize& r, json& out) {
  const auto& c = static_cast<const CIdentConnect_Recv&>(r);
  out["result"] = c.GetResult();
  out["version"] = c.m_uiVersion;
  out["sessionId"] = c.m_uiSessionId;
  out["versionNumber"] = c.m_uiVersionNumber;
  out["buildDate"] = c.m_uiBuildDate;
  out["instanceToken"] = c.m_uiInstanceToken;
  out["productName"] = c.m_strProductName;
  out["table"] = recordjson::ToJson(c.m_VCIStatusMap);
  out["bindings"] = recordjson::ToJson(c.m_BindMap);
}
bool IdentConnectRecvFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& c = static_cast<CIdentConnect_Recv&>(r);
  int32_t result;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", c.m_uiVersion, err) ||
      !GetField(in, "sessionId", c.m_uiSessionId, err) || !GetField(in, "versionNumber", c.m_uiVersionNumber, err) ||
      !GetField(in, "buildDate", c.m_uiBuildDate, err) || !GetField(in, "instanceToken", c.m_uiInstanceToken, err) ||
      !GetField(in, "productName", c.m_strProductName, err) ||
      !recordjson::GetRecord(in, "table", c.m_VCIStatusMap, err) ||
      !recordjson::GetRecord(in, "bindings", c.m_BindMap, err))
    return false;
  c.SetResult(result);
  return true;
}
RecordJsonRegistration g_IdentConnectRecv({OBJID_CIdentConnect_Recv, "CIdentConnect_Recv", recordjson::Make<CIdentConnect_Recv>,
                                           IdentConnectRecvToJson, IdentConnectRecvFromJson});

// "payload" is the record that follows the event code on the wire: the VCI
// table for 0x8002, the bindings for 0x8003, an empty VCI table otherwise.
void IdentEventSendToJson(const CSerialize& r, json& out) {
  const auto& e = static_cast<const CIdentEvent_Send&>(r);
  out["version"] = e.m_uiVersion;
  out["eventCode"] = e.m_uiEventCode;
  out["reserved"] = e.m_uiReserved;
  if (e.m_uiEventCode == CIdentEvent_Send::EVENT_BINDINGS_CHANGED)
    out["payload"] = recordjson::ToJson(e.m_BindMap);
  else if (e.m_uiEventCode == CIdentEvent_Send::EVENT_TABLE_CHANGED)
    out["payload"] = recordjson::ToJson(e.m_VCIStatusMap);
  else
    out["payload"] = recordjson::ToJson(CVCIStatusMap());
}
bool IdentEventSendFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& e = static_cast<CIdentEvent_Send&>(r);
  if (!GetField(in, "version", e.m_uiVersion, err) || !GetField(in, "eventCode", e.m_uiEventCode, err) ||
      !GetField(in, "reserved", e.m_uiReserved, err))
    return false;
  // For any other code the payload is always written as an empty table.
  if (e.m_uiEventCode == CIdentEvent_Send::EVENT_BINDINGS_CHANGED)
    return recordjson::GetRecord(in, "payload", e.m_BindMap, err);
  if (e.m_uiEventCode == CIdentEvent_Send::EVENT_TABLE_CHANGED)
    return recordjson::GetRecord(in, "payload", e.m_VCIStatusMap, err);
  return true;
}
RecordJsonRegistration g_IdentEventSend({OBJID_CIdentEvent_Send, "CIdentEvent_Send", recordjson::Make<CIdentEvent_Send>,
                                         IdentEventSendToJson, IdentEventSendFromJson});

RecordJsonRegistration g_IdentEventRecv({OBJID_CIdentEvent_Recv, "CIdentEvent_Recv", recordjson::Make<CIdentEvent_Recv>,
                                         ResultToJson, ResultFromJson});

}  // namespace
