#include "records/VCIStatusDynMap.h"

#include <iterator>

#include "records/VCIIdentMsg.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

CVCIStatusDynItem::CVCIStatusDynItem() : CSerialize(OBJID_CVCIStatusDynItem), m_uiVersion(CURRENT_VERSION) {
  m_Token[0] = m_Token[1] = 0;
}

bool CVCIStatusDynItem::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("status", m_Status);
}

bool CVCIStatusDynItem::SetKindAddress(const TimePoint& now, uint32_t kind, const char* address) {
  if (address == nullptr) return false;
  auto it = m_KindTable.find(kind);
  if (it == m_KindTable.end()) {
    m_KindTable[kind] = std::make_pair(std::string(address), now);
    return true;
  }
  bool changed = it->second.first != address;
  it->second.first = address;
  it->second.second = now;
  return changed;
}

bool CVCIStatusDynItem::HasChanged(const CSessionList& sessions, const CArgList& wireless, uint32_t moduleState,
                                   const uint32_t token[2]) const {
  return sessions != m_Status.m_Sessions || wireless != m_Status.m_Wireless ||
         moduleState != m_Status.m_uiModuleState || token[0] != m_Token[0] || token[1] != m_Token[1];
}

void CVCIStatusDynItem::UpdateFromAnnouncement(const CSessionList& sessions, const CArgList& wireless,
                                               uint32_t moduleState) {
  m_Status.m_Wireless = wireless;
  m_Status.m_Sessions = sessions;
  m_Status.m_uiModuleState = moduleState;
}

bool CVCIStatusDynItem::HasChanged(const CVCIIdentMsg& msg) const {
  return HasChanged(msg.GetSessions(), msg.GetWireless(), msg.GetModuleState(), msg.GetToken());
}

void CVCIStatusDynItem::UpdateFromAnnouncement(const CVCIIdentMsg& msg) {
  UpdateFromAnnouncement(msg.GetSessions(), msg.GetWireless(), msg.GetModuleState());
}

CVCIStatusDynMap::CVCIStatusDynMap() : CSerialMap(OBJID_CVCIStatusDynMap, "items") {}

CVCIStatusDynItem& CVCIStatusDynMap::FindOrAdd(uint32_t serial) {
  if (CVCIStatusDynItem* item = Find(serial)) return *item;
  return m_Map.emplace(serial, CVCIStatusDynItem()).first->second;
}

CVCIStatusDynItem* CVCIStatusDynMap::Find(uint32_t serial) {
  auto it = m_Map.find(serial);
  return it == m_Map.end() ? nullptr : &it->second;
}

bool CVCIStatusDynMap::CheckTimeouts(const TimePoint& now) {
  static const uint32_t order[] = {VCI_KIND_LOCAL, VCI_KIND_ETHERNET, VCI_KIND_WIRELESS, VCI_KIND_BLUETOOTH,
                                   VCI_KIND_USB};
  int changes = 0;
  for (auto it = m_Map.begin(); it != m_Map.end();) {
    CVCIStatusDynItem& item = it->second;
    for (uint32_t kind : order) {
      if ((item.m_Status.m_uiKinds & kind) == 0) continue;
      int64_t limit = (kind == VCI_KIND_WIRELESS || kind == VCI_KIND_BLUETOOTH) ? WIRELESS_LIMIT_MS : DEFAULT_LIMIT_MS;
      auto entry = item.m_KindTable.find(kind);
      if (entry == item.m_KindTable.end()) {
        item.m_Status.m_uiKinds &= ~kind;
        ++changes;
        continue;
      }
      int64_t elapsed = entry->second.second.MillisecondsUntil(now);
      if (elapsed < 0 || elapsed <= limit) continue;
      item.m_Status.m_uiKinds &= ~kind;
      item.m_KindTable.erase(entry);
      ++changes;
    }
    if (item.m_Status.m_uiKinds == 0)
      it = m_Map.erase(it);
    else
      ++it;
  }
  return changes > 0;
}

CVCIStatus& CVCIStatusDynMap::GetStatusAt(size_t index, uint32_t& serial) {
  auto it = m_Map.begin();
  std::advance(it, index);
  serial = it->first;
  return MergeAddresses(it->second);
}

CVCIStatus& CVCIStatusDynMap::MergeAddresses(CVCIStatusDynItem& item) {
  for (auto& kv : item.m_KindTable) item.m_Status.m_Addresses[kv.first] = kv.second.first;
  return item.m_Status;
}
