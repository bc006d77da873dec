// The discovery engine's live table: per VCI its status plus the address and
// the time it was last heard on each interface kind, and the timeout sweep
// that drops kinds (and VCIs) that have fallen silent.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "records/SerialMap.h"
#include "records/TimePoint.h"
#include "records/VCIStatus.h"
#include "serialize/Serialize.h"

class CVCIIdentMsg;

class CVCIStatusDynItem : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 3 };

  CVCIStatusDynItem();
  // Only the version and the status travel.
  bool VisitFields(CFieldVisitor& v) override;

  // Records the address heard on a kind at `now`; true when the kind is new
  // or its address differs. A null address does nothing.
  bool SetKindAddress(const TimePoint& now, uint32_t kind, const char* address);
  // Same check and copy against an announcement's sessions, wireless
  // information, module state and device token.
  bool HasChanged(const CSessionList& sessions, const CArgList& wireless, uint32_t moduleState,
                  const uint32_t token[2]) const;
  void UpdateFromAnnouncement(const CSessionList& sessions, const CArgList& wireless, uint32_t moduleState);
  // The same two against an announcement; the token, the serial number and
  // the fetched lists are left alone by the update.
  bool HasChanged(const CVCIIdentMsg& msg) const;
  void UpdateFromAnnouncement(const CVCIIdentMsg& msg);
  void AddKinds(uint32_t kinds) { m_Status.m_uiKinds |= kinds; }

  std::map<uint32_t, std::pair<std::string, TimePoint>> m_KindTable;
  uint32_t m_uiVersion;
  CVCIStatus m_Status;
  uint32_t m_Token[2];
};

class CVCIStatusDynMap : public CSerialMap<CVCIStatusDynItem> {
 public:
  // Silence after which a kind is dropped.
  static const int64_t WIRELESS_LIMIT_MS = 10500;
  static const int64_t DEFAULT_LIMIT_MS = 5500;

  CVCIStatusDynMap();

  // The item of a serial number, inserting an empty placeholder when absent.
  CVCIStatusDynItem& FindOrAdd(uint32_t serial);
  // The item of a serial number (a placeholder too); null when absent.
  CVCIStatusDynItem* Find(uint32_t serial);
  // Drops kinds silent beyond their limit and items left without kinds; true
  // when a kind was dropped.
  bool CheckTimeouts(const TimePoint& now);
  // The index-th status in serial order with the addresses of its live kinds
  // merged in; serial receives its key. index must be below Count().
  CVCIStatus& GetStatusAt(size_t index, uint32_t& serial);
  // Every status in serial order, merged the same way: f(serial, status).
  // One walk of the table, where Count() calls of GetStatusAt walk it
  // quadratically.
  template <class F>
  void ForEachStatus(F f) {
    for (auto& entry : m_Map) f(entry.first, MergeAddresses(entry.second));
  }

 private:
  static CVCIStatus& MergeAddresses(CVCIStatusDynItem& item);
};
