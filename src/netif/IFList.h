// CIFList: the PC's IPv4 interfaces as the discovery engine sees them, one
// CIFList::CIF per interface, keyed (and ordered) by the address text. The
// interface monitor fills it from the adapter list; the engine walks it by
// index to open one announcement socket per interface and compares copies
// to see what changed.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "serialize/Serialize.h"

// Interface kinds, one bit per record.
enum : int32_t { IF_ETHERNET = 1, IF_USB = 2, IF_WIRELESS = 4, IF_LOCAL = 8, IF_BLUETOOTH = 16 };

// "Ethernet", "USB", "Wireless", "Local", "Bluetooth"; "Unknown" otherwise.
const char* GetIFKindName(int32_t eIF);

class CIFList : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  class CIF : public CSerialize {
   public:
    enum : uint32_t { CURRENT_VERSION = 1 };
    CIF();
    // Any null text among address, mask, broadcast and hardware address
    // leaves every string empty (the kind is still set).
    CIF(const char* address, const char* mask, const char* broadcast, int32_t eIF, const char* hwAddr,
        const std::string& name);
    // The JSON form shows the kind's name beside it.
    bool VisitFields(CFieldVisitor& v) override;
    // Differ when any of address, mask, broadcast, hardware address, kind or
    // name differ (the version is not compared).
    bool operator!=(const CIF& o) const;
    bool operator==(const CIF& o) const { return !(*this != o); }

    // Fields in wire order. The version is the one read (CURRENT_VERSION
    // for a record built here); a write announces CURRENT_VERSION and every
    // field whatever it holds.
    uint32_t m_uiVersion;
    std::string m_strAddress;
    std::string m_strMask;
    std::string m_strBroadcast;
    std::string m_strHWAddr;
    int32_t m_eIF;
    std::string m_strName;
  };

  CIFList();
  CIFList(const CIFList& o);
  CIFList& operator=(const CIFList& o);

  bool Serialize(CArchiveBuffer& ar) override;
  bool VisitFields(CFieldVisitor& v) override;

  uint32_t GetCount() const { return static_cast<uint32_t>(m_IFs.size()); }
  // -1 with "CIFList::AddIF bAddr = ..." logged when a text is null; else
  // stores the record under its address, replacing one with that address.
  int AddIF(const char* address, const char* mask, const char* broadcast, const char* hwAddr, int32_t eIF,
            const std::string& name);
  // Stores a whole record (version included) under its address, as a read
  // does.
  void Put(const CIF& rec) { m_IFs[rec.m_strAddress] = rec; }
  // Index getters in address order: 0, or -1 (output untouched) past the end.
  int GetAddress(uint32_t index, std::string& address) const;
  int GetAddress(uint32_t index, std::string& address, int32_t& eIF) const;
  int GetName(uint32_t index, std::string& name) const;
  // The record at an index, or null.
  const CIF* GetAt(uint32_t index) const;
  bool Contains(const std::string& address) const { return m_IFs.count(address) != 0; }
  void Clear() { m_IFs.clear(); }
  const std::map<std::string, CIF>& GetIFs() const { return m_IFs; }

  // True when some record of o has no equal record here, or the counts
  // differ; false for the same object and for two empty lists.
  bool operator!=(const CIFList& o) const;
  bool operator==(const CIFList& o) const { return !(*this != o); }

  // The version read; written as CURRENT_VERSION, as for the records.
  uint32_t m_uiVersion;

 private:
  std::map<std::string, CIF> m_IFs;
};
